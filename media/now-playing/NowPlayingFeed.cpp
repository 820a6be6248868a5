#include "media/now-playing/NowPlayingFeed.h"

#include <utility>

namespace media {
namespace {

// Decodes the code point starting at `at`; none for an invalid sequence.
std::optional<std::pair<char32_t, std::size_t>> decodeAt(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = lead < 0x80           ? 1
                         : (lead >> 5) == 0x6  ? 2
                         : (lead >> 4) == 0xE  ? 3
                         : (lead >> 3) == 0x1E ? 4
                                               : 0;
    if (length == 0 || at + length > text.size()) {
        return std::nullopt;
    }
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        point = (point << 6) | (byte(at + i) & 0x3F);
    }
    return std::make_pair(point, length);
}

bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

}  // namespace

std::string NowPlayingFeed::trimmed(const std::string& text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto decoded = decodeAt(text, begin);
        if (!decoded || !isWhiteSpace(decoded->first)) {
            break;
        }
        begin += decoded->second;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the start of the last character.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        const auto decoded = decodeAt(text, start);
        if (!decoded || start + decoded->second != end || !isWhiteSpace(decoded->first)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

struct NowPlayingFeed::State {
    struct Reported {
        std::optional<NowPlaying> value;
    };
    void handleReading(const NowPlayingReading& reading, std::uint64_t generation,
                       const std::atomic<bool>& stopScaling);
    // Stops the scaling of the running start, whose result nobody will take.
    void stopScaling();

    Scale scale;
    OnChange onChange;
    mutable std::mutex mutex;
    std::uint64_t generation = 0;
    // Raised by the stop that ends the start it was made for.
    std::shared_ptr<std::atomic<bool>> scalingStop = std::make_shared<std::atomic<bool>>(false);
    bool isRunning = false;
    // None: nothing reported since the last start.
    std::optional<Reported> reported;
    std::optional<ScaledArtwork> artwork;
};

NowPlayingFeed::NowPlayingFeed(std::unique_ptr<NowPlayingProvider> provider, ArtworkScaler scaler,
                               OnChange onChange)
    : NowPlayingFeed(
          std::move(provider),
          [scaler](const Data& data, const std::atomic<bool>& stop) { return scaler.scale(data, &stop); },
          std::move(onChange)) {}

NowPlayingFeed::NowPlayingFeed(std::unique_ptr<NowPlayingProvider> provider, Scale scale, OnChange onChange)
    : provider_(std::move(provider)), state_(std::make_shared<State>()) {
    state_->scale = std::move(scale);
    state_->onChange = std::move(onChange);
}

// The provider is released right after this, waiting for its queue: the scaling it may be running ends
// first.
NowPlayingFeed::~NowPlayingFeed() {
    stop();
}

void NowPlayingFeed::start() {
    std::uint64_t generation = 0;
    auto stopScaling = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(state_->mutex);
        generation = ++state_->generation;
        state_->isRunning = true;
        state_->reported.reset();
        state_->scalingStop = stopScaling;
    }
    provider_->start(
        [weak = std::weak_ptr<State>(state_), generation, stopScaling](const NowPlayingReading& reading) {
            if (auto self = weak.lock()) {
                self->handleReading(reading, generation, *stopScaling);
            }
        });
}

void NowPlayingFeed::stop() {
    {
        std::lock_guard lock(state_->mutex);
        ++state_->generation;
        state_->isRunning = false;
    }
    state_->stopScaling();
    provider_->stop();
}

void NowPlayingFeed::State::stopScaling() {
    std::lock_guard lock(mutex);
    scalingStop->store(true);
}

std::optional<NowPlaying> NowPlayingFeed::current() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->reported) {
        return std::nullopt;
    }
    return state_->reported->value;
}

std::optional<NowPlaying> NowPlayingFeed::makeNowPlaying(const NowPlayingReading& reading,
                                                         const std::optional<ScaledArtwork>& artwork) {
    const NowPlayingTrack* track = reading.trackValue();
    if (track == nullptr) {
        return std::nullopt;
    }
    // Text that is not UTF-8 cannot be sent; it counts as missing.
    const auto wireText = [](const std::string& text) {
        return TrackpadProtocol::isValidUTF8(text) ? TrackpadProtocol::truncatedForWire(trimmed(text))
                                                   : std::string{};
    };
    std::string title = wireText(track->title);
    std::string artist = wireText(track->artist);
    if (title.empty() && artist.empty()) {
        return std::nullopt;
    }
    std::optional<Data> jpeg;
    if (track->artwork && !track->artwork->empty() && artwork && artwork->source == *track->artwork &&
        artwork->scaled &&
        artwork->scaled->size() <= static_cast<std::size_t>(ArtworkScaler::maximumByteCount)) {
        jpeg = artwork->scaled;
    }
    return NowPlaying(std::move(title), std::move(artist), std::move(jpeg));
}

void NowPlayingFeed::State::handleReading(const NowPlayingReading& reading, std::uint64_t generation,
                                          const std::atomic<bool>& stopScaling) {
    std::optional<ScaledArtwork> previous;
    {
        std::lock_guard lock(mutex);
        if (!isRunning || generation != this->generation) {
            return;
        }
        previous = artwork;
    }
    // Scaled without the lock: a stop that lands meanwhile wins below.
    std::optional<ScaledArtwork> entry = std::move(previous);
    const NowPlayingTrack* track = reading.trackValue();
    if (track != nullptr && track->artwork && !track->artwork->empty() &&
        (!entry || entry->source != *track->artwork)) {
        entry = ScaledArtwork{*track->artwork, scale ? scale(*track->artwork, stopScaling) : std::nullopt};
    }
    std::optional<NowPlaying> value = makeNowPlaying(reading, entry);
    {
        std::lock_guard lock(mutex);
        if (!isRunning || generation != this->generation) {
            return;
        }
        artwork = std::move(entry);
        if (reported && reported->value == value) {
            return;
        }
        reported = Reported{value};
    }
    if (onChange) {
        onChange(std::move(value));
    }
}

}  // namespace media
