#include "media/now-playing/NowPlayingHelperChild.h"

#include "platform/Base64.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "media/now-playing/ArtworkScaler.h"
#include "platform/DBus.h"
#include "platform/EventLoop.h"

namespace media {
namespace {

// Text that is not UTF-8 is sent with replacement characters rather than not at all.
std::string dump(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string encodeBase64(const Data& bytes) {
    return platform::base64Encode(bytes);
}

double NowPlayingHelperChild::argument(const char* text, double fallback, double floor) {
    double value = fallback;
    if (text != nullptr) {
        char* end = nullptr;
        errno = 0;
        const double parsed = std::strtod(text, &end);
        if (end != text && *end == '\0' && errno == 0 && std::isfinite(parsed) && parsed != 0) {
            value = parsed;
        }
    }
    return std::max(value, floor);
}

NowPlayingHelperChild::NowPlayingHelperChild(double interval, Print print, LoadArtwork load,
                                             DescribeArtwork describe, std::function<double()> now)
    : interval_(interval),
      print_(std::move(print)),
      load_(std::move(load)),
      describe_(std::move(describe)),
      now_(std::move(now)) {}

const NowPlayingHelperChild::ArtworkCache& NowPlayingHelperChild::artworkFor(const MprisTrack& track) {
    if (!track.artURL || track.artURL->empty()) {
        artwork_ = ArtworkCache{};
        return artwork_;
    }
    const std::string key = "ref:" + dump(nlohmann::json::array({track.trackID, *track.artURL,
                                                                 describe_ ? describe_(*track.artURL) : ""}));
    if (key != artwork_.key) {
        artwork_ = ArtworkCache{key, "", 0, 0};
    }
    const double now = now_();
    if (artwork_.base64.empty() && artwork_.tries < maximumArtworkTries && now >= artwork_.retryAt) {
        ++artwork_.tries;
        artwork_.retryAt = now + artworkRetryDelay;
        if (const std::optional<Data> bytes = load_ ? load_(*track.artURL) : std::nullopt) {
            artwork_.base64 = encodeBase64(*bytes);
        }
    }
    return artwork_;
}

void NowPlayingHelperChild::observe(const std::optional<MprisTrack>& track) {
    std::string state = "{}";
    std::string line = "{}";
    const bool hasInformation =
        track && (track->info.title || track->info.artist || (track->artURL && !track->artURL->empty()));
    if (hasInformation) {
        const std::string title = track->info.title.value_or("");
        const std::string artist = track->info.artist.value_or("");
        const ArtworkCache& artwork = artworkFor(*track);
        state = dump(nlohmann::json::array({title, artist, artwork.key, artwork.base64.size()}));
        line = dump(nlohmann::json{{"title", title}, {"artist", artist}, {"artwork", artwork.base64}});
    }
    if (state != last_) {
        last_ = state;
        quiet_ = 0;
        print_(line);
        return;
    }
    quiet_ += interval_;
    if (quiet_ >= keepAliveAfter - 1e-9) {
        quiet_ = 0;
        print_("");
    }
}

namespace {

void writeLine(const std::string& line) {
    std::string text = line + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = ::write(STDOUT_FILENO, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            // Nobody reads any more: the companion is gone.
            std::_Exit(0);
        }
        written += static_cast<std::size_t>(count);
    }
}

}  // namespace

int runNowPlayingHelper(int argc, char** argv) {
    const double interval = NowPlayingHelperChild::argument(argc > 1 ? argv[1] : nullptr, 1.0, 0.2);
    const int pixelSize =
        static_cast<int>(NowPlayingHelperChild::argument(argc > 2 ? argv[2] : nullptr, 360, 32));
    ::signal(SIGPIPE, SIG_IGN);

    auto opened = platform::dbus::Connection::open(platform::dbus::Connection::Bus::session);
    if (!opened) {
        writeLine(R"({"unsupported":true})");
        return 0;
    }
    std::unique_ptr<platform::dbus::Connection> connection = std::move(*opened);
    platform::EventLoop loop;
    connection->attach(loop);
    MprisReader reader(*connection, [&] { return loop.now(); });
    ArtworkFiles files;
    // The artwork is scaled here already, so that lines stay short whatever the file holds.
    const ArtworkScaler scaler(pixelSize, ArtworkScaler::maximumByteCount);
    NowPlayingHelperChild child(
        interval, writeLine,
        [&](const std::string& url) -> std::optional<Data> {
            const std::optional<Data> bytes = files.read(url, ArtworkScaler::maximumSourceBytes);
            return bytes ? scaler.scale(*bytes) : std::nullopt;
        },
        [](const std::string& url) {
            const auto description = ArtworkFiles::describe(url, ArtworkScaler::maximumSourceBytes);
            return description
                       ? std::to_string(description->modified) + ":" + std::to_string(description->size)
                       : std::string{};
        },
        [&] { return loop.now(); });

    const auto interval_us = std::chrono::microseconds(static_cast<std::int64_t>(interval * 1e6));
    std::function<void()> poll = [&] {
        if (!connection->isOpen()) {
            // The bus went away; the companion starts the helper again later.
            loop.stop();
            return;
        }
        reader.read([&](std::optional<MprisTrack> track) {
            child.observe(track);
            loop.schedule(interval_us, poll);
        });
    };
    poll();
    loop.run();
    return 1;
}

}  // namespace media
