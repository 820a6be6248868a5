#include "media/now-playing/MprisPlayerControl.h"

#include <atomic>
#include <map>
#include <set>

#include "media/now-playing/MprisReader.h"
#include "platform/Log.h"
#include "platform/LoopQueue.h"
#include "platform/NoticeBudget.h"

namespace media {
namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "MediaControl");

const char* memberOf(MprisPlayerControl::Command command) {
    switch (command) {
        case MprisPlayerControl::Command::playPause:
            return "PlayPause";
        case MprisPlayerControl::Command::next:
            return "Next";
        case MprisPlayerControl::Command::previous:
            return "Previous";
    }
    return "PlayPause";
}

bool isPlayerName(const std::string& name) {
    const std::string_view prefix = MprisReader::playerPrefix;
    return name.starts_with(prefix) && name.size() > prefix.size();
}

}  // namespace

void ShownPlayer::set(std::optional<std::string> player) {
    std::lock_guard lock(mutex_);
    player_ = std::move(player);
}

std::optional<std::string> ShownPlayer::get() const {
    std::lock_guard lock(mutex_);
    return player_;
}

struct MprisPlayerControl::State : std::enable_shared_from_this<State> {
    State(Options given, std::shared_ptr<const ShownPlayer> shownPlayer)
        : options(std::move(given)), shown(std::move(shownPlayer)) {}

    // Queue only.
    void connect();
    void keepConnected();
    void playersChanged();
    void deliver(Command command);
    void call(const std::string& player, Command command);
    void refused(const std::string& line);
    void tellHeldBack();

    Options options;
    std::shared_ptr<const ShownPlayer> shown;
    std::unique_ptr<platform::LoopQueue> queue =
        std::make_unique<platform::LoopQueue>("dev.quelmar.trackpad.mac.media-control");
    std::atomic<bool> hasPlayer{false};

    // Queue only.
    std::unique_ptr<platform::dbus::Connection> connection;
    std::unique_ptr<MprisReader> reader;
    platform::dbus::Slot ownerMatch;
    std::set<std::string> players;
    std::map<std::uint64_t, platform::dbus::Slot> calls;
    std::uint64_t nextCall = 0;
    platform::Executor::TimerID timer = 0;
    bool toldMissing = false;
    // A phone can send commands as fast as it likes to a player that refuses each one.
    platform::NoticeBudget refusedLines{20, 10};
};

void MprisPlayerControl::State::refused(const std::string& line) {
    const platform::NoticeBudget::Decision decision = refusedLines.take(queue->now());
    if (decision.heldBack > 0) {
        logger.notice(std::to_string(decision.heldBack) + " more refused media commands were not logged in " +
                      std::to_string(static_cast<int>(refusedLines.window())) + " s");
    }
    if (decision.log) {
        logger.notice(line);
    }
}

void MprisPlayerControl::State::tellHeldBack() {
    if (const std::uint64_t count = refusedLines.takeHeldBack(); count > 0) {
        logger.notice(std::to_string(count) + " more refused media commands were not logged");
    }
}

void MprisPlayerControl::State::connect() {
    ownerMatch.reset();
    calls.clear();
    reader.reset();
    connection.reset();
    players.clear();
    playersChanged();
    auto opened = options.busAddress.empty()
                      ? platform::dbus::Connection::open(platform::dbus::Connection::Bus::session)
                      : platform::dbus::Connection::openAddress(options.busAddress);
    if (!opened) {
        if (!toldMissing) {
            toldMissing = true;
            logger.notice("the session bus cannot be reached; media keys go to the desktop until it can");
        }
        return;
    }
    toldMissing = false;
    connection = std::move(*opened);
    connection->attach(queue->loop());
    reader = std::make_unique<MprisReader>(
        *connection, [this] { return queue->now(); }, options.callTimeout);
    std::weak_ptr<State> weak = weak_from_this();
    // Watched before listing, so that a player coming in between is not missed.
    auto match = connection->matchNameOwnerChanged(
        "org.mpris.MediaPlayer2",
        [weak](const std::string& name, const std::string&, const std::string& owner) {
            auto self = weak.lock();
            if (!self || !isPlayerName(name)) {
                return;
            }
            if (owner.empty()) {
                self->players.erase(name);
            } else {
                self->players.insert(name);
            }
            self->playersChanged();
        });
    if (match) {
        ownerMatch = std::move(*match);
    }
    if (auto names = connection->listNames(options.callTimeout)) {
        for (const auto& name : *names) {
            if (isPlayerName(name)) {
                players.insert(name);
            }
        }
    }
    playersChanged();
}

void MprisPlayerControl::State::keepConnected() {
    if (!connection || !connection->isOpen()) {
        connect();
    }
    timer = queue->schedule(
        std::chrono::duration_cast<std::chrono::microseconds>(options.reconnectInterval),
        [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->keepConnected();
            }
        },
        std::chrono::milliseconds{500});
}

void MprisPlayerControl::State::playersChanged() {
    hasPlayer = !players.empty();
}

void MprisPlayerControl::State::deliver(Command command) {
    if (!connection || !connection->isOpen() || players.empty()) {
        return;
    }
    if (const std::optional<std::string> player = shown ? shown->get() : std::nullopt;
        player && players.contains(*player)) {
        call(*player, command);
        return;
    }
    reader->read([weak = weak_from_this(), command](std::optional<MprisTrack> track) {
        auto self = weak.lock();
        if (!self || self->players.empty()) {
            return;
        }
        // Stopped players only: the first one listed takes it.
        self->call(track && self->players.contains(track->player) ? track->player : *self->players.begin(),
                   command);
    });
}

void MprisPlayerControl::State::call(const std::string& player, Command command) {
    const std::uint64_t id = ++nextCall;
    auto sent = connection->callAsync(
        {player, MprisReader::playerPath, MprisReader::playerInterface, memberOf(command), {}},
        [weak = weak_from_this(), id, player](platform::dbus::Result<platform::dbus::Message> reply) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            if (!reply) {
                self->refused("the media player " + player + " refused a command: " + reply.error().name);
            }
            self->calls.erase(id);
        },
        options.callTimeout);
    if (sent) {
        calls.emplace(id, std::move(*sent));
    }
}

MprisPlayerControl::MprisPlayerControl(Options options, std::shared_ptr<const ShownPlayer> shown)
    : state_(std::make_shared<State>(std::move(options), std::move(shown))) {
    state_->queue->sync([state = state_.get()] { state->keepConnected(); });
}

MprisPlayerControl::~MprisPlayerControl() {
    // Everything that lives on the queue is released there.
    state_->queue->sync([state = state_.get()] {
        if (state->timer != 0) {
            state->queue->cancel(state->timer);
        }
        state->ownerMatch.reset();
        state->calls.clear();
        state->reader.reset();
        state->connection.reset();
        state->tellHeldBack();
    });
    state_->queue.reset();
}

bool MprisPlayerControl::hasPlayer() const {
    return state_->hasPlayer;
}

bool MprisPlayerControl::send(Command command) {
    if (!state_->hasPlayer) {
        return false;
    }
    state_->queue->post([weak = std::weak_ptr<State>(state_), command] {
        if (auto self = weak.lock()) {
            self->deliver(command);
        }
    });
    return true;
}

}  // namespace media
