#include "media/now-playing/MprisReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace media {

using platform::dbus::PropertyMap;
using platform::dbus::Value;

struct MprisReader::Read {
    Done done;
    // Asked for again while under way: read once more after answering.
    bool again = false;
    std::size_t waiting = 0;
    std::vector<platform::dbus::Slot> calls;
    // In the order the bus listed the names.
    std::vector<std::string> players;
    std::map<std::string, PropertyMap> answers;
};

MprisReader::MprisReader(platform::dbus::Connection& connection, std::function<double()> now,
                         std::chrono::milliseconds callTimeout)
    : connection_(connection), now_(std::move(now)), callTimeout_(callTimeout) {}

MprisReader::~MprisReader() = default;

void MprisReader::read(Done done) {
    if (current_) {
        // Players signal often; restarting the read at every signal would never finish while one player
        // hangs. The read under way answers the latest caller, and a fresh read follows at once.
        current_->done = std::move(done);
        current_->again = true;
        return;
    }
    auto read = std::make_shared<Read>();
    read->done = std::move(done);
    current_ = read;
    std::weak_ptr<Read> weak = read;
    auto listed = connection_.callAsync(
        {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames", {}},
        [this, weak](platform::dbus::Result<platform::dbus::Message> reply) {
            auto read = weak.lock();
            if (!read || read != current_) {
                return;
            }
            const std::vector<std::string>* names = reply ? reply->argument(0).strings() : nullptr;
            if (names != nullptr) {
                for (const auto& name : *names) {
                    if (name.starts_with(playerPrefix) &&
                        name.size() > std::string_view(playerPrefix).size()) {
                        read->players.push_back(name);
                    }
                }
            }
            std::sort(read->players.begin(), read->players.end());
            read->calls.clear();
            read->waiting = read->players.size();
            for (const auto& player : read->players) {
                auto call = connection_.callAsync(
                    {player,
                     playerPath,
                     "org.freedesktop.DBus.Properties",
                     "GetAll",
                     {Value(playerInterface)}},
                    [this, weak, player](platform::dbus::Result<platform::dbus::Message> answer) {
                        auto read = weak.lock();
                        if (!read || read != current_) {
                            return;
                        }
                        if (answer) {
                            if (const PropertyMap* properties = answer->argument(0).dictionary()) {
                                read->answers[player] = *properties;
                            }
                        }
                        if (--read->waiting == 0) {
                            finish(read);
                        }
                    },
                    callTimeout_);
                if (call) {
                    read->calls.push_back(std::move(*call));
                } else {
                    --read->waiting;
                }
            }
            if (read->waiting == 0) {
                finish(read);
            }
        },
        callTimeout_);
    if (listed) {
        read->calls.push_back(std::move(*listed));
    } else {
        current_.reset();
        read->done(std::nullopt);
    }
}

void MprisReader::finish(const std::shared_ptr<Read>& read) {
    current_.reset();
    const double now = now_();
    std::optional<std::string> playing;
    std::optional<std::string> paused;
    double pausedSince = -1;
    for (const auto& player : read->players) {
        const auto answer = read->answers.find(player);
        if (answer == read->answers.end()) {
            continue;
        }
        const Value* status = platform::dbus::find(answer->second, "PlaybackStatus");
        const std::string* text = status != nullptr ? status->string() : nullptr;
        if (text == nullptr) {
            continue;
        }
        if (*text == "Playing") {
            lastPlaying_[player] = now;
            if (!playing) {
                playing = player;
            }
        } else if (*text == "Paused") {
            const auto seen = lastPlaying_.find(player);
            const double since = seen != lastPlaying_.end() ? seen->second : 0;
            if (!paused || since > pausedSince) {
                paused = player;
                pausedSince = since;
            }
        }
    }
    // Players that left are forgotten.
    std::erase_if(lastPlaying_, [&](const auto& entry) { return !read->answers.contains(entry.first); });
    const std::optional<std::string> chosen = playing ? playing : paused;
    Done done = read->done;
    done(chosen ? std::optional<MprisTrack>(trackOf(*chosen, read->answers[*chosen])) : std::nullopt);
    if (read->again && !current_) {
        this->read(std::move(done));
    }
}

MprisTrack MprisReader::trackOf(const std::string& player, const PropertyMap& properties) {
    MprisTrack track;
    track.player = player;
    const Value* metadata = platform::dbus::find(properties, "Metadata");
    const PropertyMap* fields = metadata != nullptr ? metadata->dictionary() : nullptr;
    if (fields == nullptr) {
        return track;
    }
    if (const Value* id = platform::dbus::find(*fields, "mpris:trackid")) {
        if (const auto* path = id->objectPath()) {
            track.trackID = path->path;
        } else if (const std::string* text = id->string()) {
            track.trackID = *text;
        }
    }
    if (const Value* title = platform::dbus::find(*fields, "xesam:title")) {
        if (const std::string* text = title->string()) {
            track.info.title = *text;
        }
    }
    if (const Value* artist = platform::dbus::find(*fields, "xesam:artist")) {
        if (const auto* names = artist->strings()) {
            std::string joined;
            for (const auto& name : *names) {
                joined += (joined.empty() ? "" : ", ") + name;
            }
            track.info.artist = joined;
        }
    }
    if (const Value* art = platform::dbus::find(*fields, "mpris:artUrl")) {
        if (const std::string* text = art->string()) {
            track.artURL = *text;
        }
    }
    return track;
}

bool MprisReader::watch(std::function<void()> onChange) {
    unwatch();
    auto owners = connection_.matchNameOwnerChanged(
        "org.mpris.MediaPlayer2",
        [onChange](const std::string&, const std::string&, const std::string&) { onChange(); });
    auto properties = connection_.matchPropertiesChanged(
        "", playerPath, playerInterface,
        [onChange](const platform::dbus::PropertiesChanged&) { onChange(); });
    if (!owners || !properties) {
        return false;
    }
    ownerMatch_ = std::move(*owners);
    propertiesMatch_ = std::move(*properties);
    return true;
}

void MprisReader::unwatch() {
    ownerMatch_.reset();
    propertiesMatch_.reset();
}

// ---- Artwork files -----------------------------------------------------------------------------------

std::optional<std::string> ArtworkFiles::pathOf(const std::string& url) {
    std::string_view rest = url;
    if (!rest.starts_with("file://")) {
        return std::nullopt;
    }
    rest.remove_prefix(7);
    // Only the local host: "file:///path" or "file://localhost/path".
    if (rest.starts_with("localhost/")) {
        rest.remove_prefix(9);
    }
    if (!rest.starts_with('/')) {
        return std::nullopt;
    }
    std::string path;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const char c = rest[i];
        if (c == '?' || c == '#') {
            break;
        }
        if (c == '%') {
            const auto hex = [](char h) -> int {
                if (h >= '0' && h <= '9')
                    return h - '0';
                if (h >= 'a' && h <= 'f')
                    return h - 'a' + 10;
                if (h >= 'A' && h <= 'F')
                    return h - 'A' + 10;
                return -1;
            };
            if (i + 2 >= rest.size() || hex(rest[i + 1]) < 0 || hex(rest[i + 2]) < 0) {
                return std::nullopt;
            }
            const char decoded = static_cast<char>(hex(rest[i + 1]) * 16 + hex(rest[i + 2]));
            if (decoded == '\0') {
                return std::nullopt;
            }
            path += decoded;
            i += 2;
            continue;
        }
        path += c;
    }
    return path;
}

namespace {

// Only regular files: a FIFO would block, and opening a device can have effects of its own, so the kind
// is checked before the file is opened, and again on what was opened.
int openRegular(const std::string& path, std::size_t maximumBytes, struct stat& info) {
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 ||
        static_cast<std::uint64_t>(info.st_size) > maximumBytes) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::optional<ArtworkFiles::Description> ArtworkFiles::describe(const std::string& url,
                                                                std::size_t maximumBytes) {
    const std::optional<std::string> path = pathOf(url);
    if (!path) {
        return std::nullopt;
    }
    struct stat info {};
    const int fd = openRegular(*path, maximumBytes, info);
    if (fd < 0) {
        return std::nullopt;
    }
    ::close(fd);
    return Description{*path,
                       static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
                       static_cast<std::int64_t>(info.st_size)};
}

std::optional<Data> ArtworkFiles::read(const std::string& url, std::size_t maximumBytes) {
    const std::optional<std::string> path = pathOf(url);
    if (!path) {
        return std::nullopt;
    }
    struct stat info {};
    const int fd = openRegular(*path, maximumBytes, info);
    if (fd < 0) {
        return std::nullopt;
    }
    const Description description{
        *path, static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
        static_cast<std::int64_t>(info.st_size)};
    if (cachedDescription_ == description) {
        ::close(fd);
        return cachedBytes_;
    }
    Data bytes(static_cast<std::size_t>(info.st_size));
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t count = ::read(fd, bytes.data() + filled, bytes.size() - filled);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        filled += static_cast<std::size_t>(count);
    }
    ::close(fd);
    // A file that shrank while being read gives what it held.
    bytes.resize(filled);
    cachedDescription_ = description;
    cachedBytes_ = bytes.empty() ? std::nullopt : std::optional<Data>(std::move(bytes));
    return cachedBytes_;
}

// ---- Bounded artwork reads ---------------------------------------------------------------------------

struct BoundedArtworkReader::Shared {
    Read read;
    ArtworkFiles files;  // only the read under way touches it
    std::mutex mutex;
    std::condition_variable finished;
    bool busy = false;
    std::uint64_t started = 0;
    std::uint64_t done = 0;
    std::optional<Data> result;
};

BoundedArtworkReader::BoundedArtworkReader(std::chrono::milliseconds limit, Read read)
    : limit_(limit), shared_(std::make_shared<Shared>()) {
    shared_->read = std::move(read);
}

std::optional<Data> BoundedArtworkReader::read(const std::string& url, std::size_t maximumBytes) {
    std::uint64_t number = 0;
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->busy) {
            return std::nullopt;
        }
        shared_->busy = true;
        number = ++shared_->started;
    }
    // Detached: a read that hangs for good must not hold up whoever ends this process.
    std::thread([shared = shared_, url, maximumBytes, number] {
        std::optional<Data> bytes =
            shared->read ? shared->read(url, maximumBytes) : shared->files.read(url, maximumBytes);
        {
            std::lock_guard lock(shared->mutex);
            shared->result = std::move(bytes);
            shared->done = number;
            shared->busy = false;
        }
        shared->finished.notify_all();
    }).detach();
    std::unique_lock lock(shared_->mutex);
    if (!shared_->finished.wait_for(lock, limit_, [&] { return shared_->done == number; })) {
        return std::nullopt;
    }
    return std::move(shared_->result);
}

}  // namespace media
