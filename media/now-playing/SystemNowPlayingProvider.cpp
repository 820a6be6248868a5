#include "media/now-playing/SystemNowPlayingProvider.h"

#include "media/now-playing/MprisReader.h"
#include "platform/Log.h"
#include "platform/LoopQueue.h"

namespace media {
namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "NowPlaying");

}  // namespace

struct SystemNowPlayingProvider::State : std::enable_shared_from_this<State> {
    explicit State(Options given) : options(std::move(given)) {}

    // Queue only.
    void startOnQueue(OnChange callback);
    void teardown();
    void refresh();
    void poll(std::uint64_t pollGeneration);
    void deliver(const NowPlayingReading& reading);
    bool connect();

    Options options;
    std::unique_ptr<platform::LoopQueue> queue =
        std::make_unique<platform::LoopQueue>("dev.quelmar.trackpad.mac.now-playing");
    bool inProcess = false;
    std::shared_ptr<NowPlayingHelper> helper;

    OnChange onChange;
    std::optional<NowPlayingReading> lastReading;
    std::uint64_t generation = 0;
    std::unique_ptr<platform::dbus::Connection> connection;
    std::unique_ptr<MprisReader> reader;
    BoundedArtworkReader artwork{artworkReadLimit};
    platform::Executor::TimerID timer = 0;
};

bool SystemNowPlayingProvider::State::connect() {
    reader.reset();
    connection.reset();
    auto opened = options.busAddress.empty()
                      ? platform::dbus::Connection::open(platform::dbus::Connection::Bus::session)
                      : platform::dbus::Connection::openAddress(options.busAddress);
    if (!opened) {
        return false;
    }
    connection = std::move(*opened);
    connection->attach(queue->loop());
    reader = std::make_unique<MprisReader>(
        *connection, [this] { return queue->now(); }, options.callTimeout);
    return true;
}

void SystemNowPlayingProvider::State::startOnQueue(OnChange callback) {
    teardown();
    onChange = std::move(callback);
    std::weak_ptr<State> weak = weak_from_this();
    if (helper) {
        helper->stop();
        helper->setLoop(&queue->loop());
        helper->setOnReading([weak](const NowPlayingReading& reading) {
            if (auto self = weak.lock()) {
                self->deliver(reading);
            }
        });
        helper->launch();
        return;
    }
    if (inProcess) {
        if (!connection || !connection->isOpen()) {
            connect();
        }
        if (reader) {
            reader->watch([weak] {
                if (auto self = weak.lock()) {
                    self->refresh();
                }
            });
        }
        // The first refresh at once, then one per poll interval.
        poll(generation);
        return;
    }
    deliver(NowPlayingReading::unavailable());
}

void SystemNowPlayingProvider::State::poll(std::uint64_t pollGeneration) {
    if (generation != pollGeneration) {
        return;
    }
    refresh();
    const auto interval = std::chrono::microseconds(static_cast<std::int64_t>(options.pollInterval * 1e6));
    timer = queue->schedule(
        interval,
        [weak = weak_from_this(), pollGeneration] {
            if (auto self = weak.lock()) {
                self->poll(pollGeneration);
            }
        },
        std::chrono::seconds{1});
}

void SystemNowPlayingProvider::State::refresh() {
    if (!onChange) {
        return;
    }
    if (!connection || !connection->isOpen()) {
        // The bus went away: nothing can be read until it is back.
        if (!connect()) {
            deliver(NowPlayingReading::unavailable());
            return;
        }
        std::weak_ptr<State> weak = weak_from_this();
        reader->watch([weak] {
            if (auto self = weak.lock()) {
                self->refresh();
            }
        });
    }
    const std::uint64_t current = generation;
    std::weak_ptr<State> weak = weak_from_this();
    reader->read([weak, current](std::optional<MprisTrack> track) {
        auto self = weak.lock();
        if (!self || self->generation != current) {
            return;
        }
        if (self->options.shownPlayer) {
            self->options.shownPlayer->set(track ? std::optional(track->player) : std::nullopt);
        }
        std::optional<NowPlayingInfo> info;
        if (track) {
            info = track->info;
            if (track->artURL) {
                info->artworkData = self->artwork.read(*track->artURL, maximumArtworkBytes);
            }
        }
        self->deliver(NowPlayingReading::fromInfo(info));
    });
}

void SystemNowPlayingProvider::State::deliver(const NowPlayingReading& reading) {
    if (!onChange || lastReading == reading) {
        return;
    }
    lastReading = reading;
    onChange(reading);
}

void SystemNowPlayingProvider::State::teardown() {
    ++generation;
    onChange = nullptr;
    lastReading.reset();
    if (helper) {
        helper->stop();
    }
    if (reader) {
        reader->unwatch();
    }
    if (timer != 0) {
        queue->cancel(timer);
        timer = 0;
    }
}

SystemNowPlayingProvider::SystemNowPlayingProvider(std::shared_ptr<State> state) : state_(std::move(state)) {}

SystemNowPlayingProvider::~SystemNowPlayingProvider() {
    // Everything that lives on the queue is released there.
    state_->queue->sync([this] {
        state_->teardown();
        state_->helper.reset();
        state_->reader.reset();
        state_->connection.reset();
    });
    // Joined here, while the state is still alive for anything the queue runs last.
    state_->queue.reset();
}

std::unique_ptr<SystemNowPlayingProvider> SystemNowPlayingProvider::inProcess(Options options) {
    auto state = std::make_shared<State>(std::move(options));
    // A session bus that is not there yet (a session still starting) is followed once it appears.
    state->inProcess = true;
    state->queue->sync([&] {
        if (!state->connect()) {
            logger.notice("the session bus cannot be reached yet; now playing is read once it can");
        }
    });
    return std::unique_ptr<SystemNowPlayingProvider>(new SystemNowPlayingProvider(state));
}

std::unique_ptr<SystemNowPlayingProvider> SystemNowPlayingProvider::withHelper(
    std::shared_ptr<NowPlayingHelper> helper) {
    auto state = std::make_shared<State>(Options{});
    state->helper = std::move(helper);
    return std::unique_ptr<SystemNowPlayingProvider>(new SystemNowPlayingProvider(state));
}

std::unique_ptr<SystemNowPlayingProvider> SystemNowPlayingProvider::make(std::optional<bool> triesInProcess,
                                                                         Options options) {
    if (triesInProcess.value_or(true)) {
        return inProcess(std::move(options));
    }
    auto helper = NowPlayingHelper::make(NowPlayingHelper::defaultExecutable(), 360, 1.0, 5.0);
    if (!helper) {
        logger.notice("the now-playing helper is missing; nothing will be reported as playing");
    }
    return withHelper(std::move(helper));
}

std::unique_ptr<SystemNowPlayingProvider> SystemNowPlayingProvider::make(std::optional<bool> triesInProcess) {
    return make(triesInProcess, Options{});
}

void SystemNowPlayingProvider::start(OnChange onChange) {
    state_->queue->post([weak = std::weak_ptr<State>(state_), onChange = std::move(onChange)]() mutable {
        if (auto self = weak.lock()) {
            self->startOnQueue(std::move(onChange));
        }
    });
}

void SystemNowPlayingProvider::stop() {
    state_->queue->post([weak = std::weak_ptr<State>(state_)] {
        if (auto self = weak.lock()) {
            self->teardown();
        }
    });
}

bool SystemNowPlayingProvider::isAvailable() const {
    return state_->inProcess || state_->helper != nullptr;
}

bool SystemNowPlayingProvider::usesHelper() const {
    return state_->helper != nullptr;
}

}  // namespace media
