#include "media/volume/PulseAudioVolumeProvider.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>
#include <pulse/volume.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "platform/Log.h"
#include "platform/LoopQueue.h"

namespace media {
namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "Volume");

class MainloopLock {
  public:
    explicit MainloopLock(pa_threaded_mainloop* mainloop) : mainloop_(mainloop) {
        pa_threaded_mainloop_lock(mainloop_);
    }
    ~MainloopLock() { pa_threaded_mainloop_unlock(mainloop_); }
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

  private:
    pa_threaded_mainloop* mainloop_;
};

// One request to the server, waited for by a caller's thread. Its fields other than `done` belong to
// the main loop's lock; `done` to the provider's wait mutex.
struct Request {
    pa_operation* operation = nullptr;
    bool done = false;
    bool succeeded = false;
    // Sink queries.
    std::uint32_t index = PA_INVALID_INDEX;
    pa_cvolume volume{};
    bool muted = false;
};

struct SinkState {
    std::uint32_t index = PA_INVALID_INDEX;
    pa_cvolume volume{};
    bool muted = false;
};

// The proportions between a sink's channels, kept apart from its volumes: a sink set to 0 has none left,
// and volumes read back at a low level have lost precision to rounding.
struct Balance {
    std::uint32_t index = PA_INVALID_INDEX;
    std::array<double, PA_CHANNELS_MAX> ratios{};
    // The volumes last set from these proportions: while the sink still has them, nobody else changed it.
    pa_cvolume lastSet{};
};

// `current` scaled to `level` in the proportions of `balance`, which it updates: proportions are taken
// from `current` anew only when someone else changed the sink and it has a level to take them from.
pa_cvolume balancedVolume(std::optional<Balance>& balance, std::uint32_t index, const pa_cvolume& current,
                          pa_volume_t level) {
    const bool sameSink = balance && balance->index == index && balance->lastSet.channels == current.channels;
    const bool ours = sameSink && pa_cvolume_equal(&balance->lastSet, &current) != 0;
    const pa_volume_t loudest = pa_cvolume_max(&current);
    if (!ours && (loudest > 0 || !sameSink)) {
        Balance taken;
        taken.index = index;
        for (unsigned channel = 0; channel < current.channels; ++channel) {
            taken.ratios[channel] = loudest > 0 ? double(current.values[channel]) / loudest : 1.0;
        }
        balance = taken;
    }
    pa_cvolume volume = current;
    for (unsigned channel = 0; channel < current.channels; ++channel) {
        volume.values[channel] = static_cast<pa_volume_t>(std::lround(balance->ratios[channel] * level));
    }
    balance->lastSet = volume;
    return volume;
}

}  // namespace

struct PulseAudioVolumeProvider::Impl {
    explicit Impl(Options given);
    ~Impl();

    // Caller's thread.
    bool waitUntilReady();
    template <typename Start>
    bool perform(Request& request, Start start);
    std::optional<SinkState> defaultSink();
    void finish(Request& request, bool succeeded);

    // Main loop thread, with its lock held.
    static void onState(pa_context* context, void* userdata);
    static void onEvent(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                        void* userdata);
    static void onWatchedServerInfo(pa_context* context, const pa_server_info* info, void* userdata);
    static void onWatchedSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userdata);
    void resolveDefaultSink();
    void notifyChange();

    // Queue.
    void connect();
    void connectionLost();
    void dropContext();

    Options options;
    pa_threaded_mainloop* mainloop = nullptr;
    std::unique_ptr<platform::LoopQueue> queue;

    // The main loop's lock.
    pa_context* context = nullptr;
    std::uint32_t watchedIndex = PA_INVALID_INDEX;
    bool closing = false;

    // Waiters sleep on `waitSignal` until their request is done or the connection's state moves.
    std::mutex waitMutex;
    std::condition_variable waitSignal;
    std::uint64_t stateChanges = 0;

    // The caller's thread (the controller's queue).
    std::mutex balanceMutex;
    std::optional<Balance> balance;

    // Queue only.
    std::function<void()> onChange;
    platform::Executor::TimerID retryTimer = 0;
    std::chrono::milliseconds retryDelay;
    bool wasConnected = false;
    bool toldUnreachable = false;
};

PulseAudioVolumeProvider::Impl::Impl(Options given)
    : options(std::move(given)), retryDelay(options.firstRetryDelay) {
    queue = std::make_unique<platform::LoopQueue>("dev.quelmar.trackpad.mac.volume.pulseaudio");
    mainloop = pa_threaded_mainloop_new();
    if (mainloop != nullptr && pa_threaded_mainloop_start(mainloop) < 0) {
        pa_threaded_mainloop_free(mainloop);
        mainloop = nullptr;
    }
    if (mainloop == nullptr) {
        // Without it the provider reads as unavailable for good.
        logger.error("the sound server's event loop could not be started");
        return;
    }
    queue->sync([this] { connect(); });
}

PulseAudioVolumeProvider::Impl::~Impl() {
    if (mainloop != nullptr) {
        MainloopLock lock(mainloop);
        closing = true;
    }
    // A task that saw `closing` still unset may be running and about to schedule a retry on the queue:
    // it finishes first. Every later task sees `closing` and leaves the queue alone, so the queue can
    // go while it runs what the main loop already handed over; nothing new arrives now.
    queue->sync([] {});
    queue.reset();
    if (mainloop == nullptr) {
        return;
    }
    pa_threaded_mainloop_stop(mainloop);
    if (context != nullptr) {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
    pa_threaded_mainloop_free(mainloop);
}

// ---- Connection (queue) -----------------------------------------------------------------------------

void PulseAudioVolumeProvider::Impl::connect() {
    retryTimer = 0;
    MainloopLock lock(mainloop);
    if (closing) {
        return;
    }
    dropContext();
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Lumivex");
    context = pa_context_new_with_proplist(api, "Lumivex", properties);
    pa_proplist_free(properties);
    if (context == nullptr) {
        queue->post([this] { connectionLost(); });
        return;
    }
    pa_context_set_state_callback(context, &Impl::onState, this);
    pa_context_set_subscribe_callback(context, &Impl::onEvent, this);
    const char* server = options.server.empty() ? nullptr : options.server.c_str();
    if (pa_context_connect(context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 &&
        pa_context_get_state(context) != PA_CONTEXT_FAILED) {
        // Refused before any state change, so the state callback will not report it.
        queue->post([this] { connectionLost(); });
    }
}

void PulseAudioVolumeProvider::Impl::dropContext() {
    if (context == nullptr) {
        return;
    }
    // Detached first: disconnecting reports a state change, and cancels every pending request.
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
    watchedIndex = PA_INVALID_INDEX;
}

void PulseAudioVolumeProvider::Impl::connectionLost() {
    if (retryTimer != 0) {
        return;
    }
    {
        MainloopLock lock(mainloop);
        if (closing) {
            return;
        }
        dropContext();
    }
    {
        std::lock_guard lock(waitMutex);
        ++stateChanges;
    }
    waitSignal.notify_all();
    if (!wasConnected && !toldUnreachable) {
        toldUnreachable = true;
        logger.notice("no sound server can be reached; volume is unsupported until one can");
    }
    if (wasConnected) {
        logger.notice("lost the sound server; reconnecting");
        wasConnected = false;
        // The reading is unavailable now: the phone is told that volume is not supported.
        if (onChange) {
            onChange();
        }
    }
    const auto delay = retryDelay;
    retryDelay = std::min(retryDelay * 2, options.maximumRetryDelay);
    retryTimer = queue->schedule(
        delay, [this] { connect(); }, delay / 4);
}

// ---- Main loop callbacks ----------------------------------------------------------------------------

void PulseAudioVolumeProvider::Impl::onState(pa_context* context, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if (context != self->context || self->closing) {
        return;
    }
    {
        std::lock_guard lock(self->waitMutex);
        ++self->stateChanges;
    }
    self->waitSignal.notify_all();
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY: {
            const pa_subscription_mask_t mask =
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SERVER);
            if (pa_operation* operation = pa_context_subscribe(context, mask, nullptr, nullptr)) {
                pa_operation_unref(operation);
            }
            self->queue->post([self] {
                self->wasConnected = true;
                self->retryDelay = self->options.firstRetryDelay;
            });
            self->resolveDefaultSink();
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            self->queue->post([self] { self->connectionLost(); });
            break;
        default:
            break;
    }
}

void PulseAudioVolumeProvider::Impl::onEvent(pa_context* context, pa_subscription_event_type_t type,
                                             std::uint32_t index, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if (context != self->context || self->closing) {
        return;
    }
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        // Perhaps another default sink: follow it, then report.
        self->resolveDefaultSink();
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK && index == self->watchedIndex) {
        self->notifyChange();
    }
}

void PulseAudioVolumeProvider::Impl::resolveDefaultSink() {
    if (pa_operation* operation = pa_context_get_server_info(context, &Impl::onWatchedServerInfo, this)) {
        pa_operation_unref(operation);
    }
}

void PulseAudioVolumeProvider::Impl::onWatchedServerInfo(pa_context* context, const pa_server_info* info,
                                                         void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if (context != self->context || self->closing) {
        return;
    }
    pa_operation* operation = nullptr;
    if (info != nullptr && info->default_sink_name != nullptr) {
        operation = pa_context_get_sink_info_by_name(context, info->default_sink_name,
                                                     &Impl::onWatchedSinkInfo, self);
    }
    if (operation == nullptr) {
        self->watchedIndex = PA_INVALID_INDEX;
        self->notifyChange();
        return;
    }
    pa_operation_unref(operation);
}

void PulseAudioVolumeProvider::Impl::onWatchedSinkInfo(pa_context* context, const pa_sink_info* info, int eol,
                                                       void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    if (context != self->context || self->closing) {
        return;
    }
    if (eol < 0) {
        self->watchedIndex = PA_INVALID_INDEX;
        self->notifyChange();
    } else if (eol > 0) {
        self->notifyChange();
    } else if (info != nullptr) {
        self->watchedIndex = info->index;
    }
}

void PulseAudioVolumeProvider::Impl::notifyChange() {
    queue->post([this] {
        if (onChange) {
            onChange();
        }
    });
}

// ---- Requests (caller's thread) -----------------------------------------------------------------------

bool PulseAudioVolumeProvider::Impl::waitUntilReady() {
    if (mainloop == nullptr) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + options.operationTimeout;
    std::unique_lock wait(waitMutex);
    for (;;) {
        const std::uint64_t seen = stateChanges;
        wait.unlock();
        pa_context_state_t state = PA_CONTEXT_UNCONNECTED;
        {
            MainloopLock lock(mainloop);
            if (context != nullptr) {
                state = pa_context_get_state(context);
            }
        }
        if (state == PA_CONTEXT_READY) {
            return true;
        }
        // Only a connection under way is waited for; between retries the output is unavailable.
        if (!PA_CONTEXT_IS_GOOD(state)) {
            return false;
        }
        wait.lock();
        if (!waitSignal.wait_until(wait, deadline, [&] { return stateChanges != seen; })) {
            return false;
        }
    }
}

void PulseAudioVolumeProvider::Impl::finish(Request& request, bool succeeded) {
    {
        std::lock_guard lock(waitMutex);
        request.succeeded = succeeded;
        request.done = true;
    }
    waitSignal.notify_all();
}

template <typename Start>
bool PulseAudioVolumeProvider::Impl::perform(Request& request, Start start) {
    std::uint64_t changes = 0;
    {
        std::lock_guard lock(waitMutex);
        changes = stateChanges;
    }
    {
        MainloopLock lock(mainloop);
        if (context == nullptr || pa_context_get_state(context) != PA_CONTEXT_READY) {
            return false;
        }
        request.operation = start(context);
        if (request.operation == nullptr) {
            return false;
        }
    }
    {
        std::unique_lock wait(waitMutex);
        waitSignal.wait_for(wait, options.operationTimeout,
                            [&] { return request.done || stateChanges != changes; });
    }
    // Under the lock a callback is either over or will never run once its request is cancelled.
    MainloopLock lock(mainloop);
    if (request.operation != nullptr) {
        if (pa_operation_get_state(request.operation) == PA_OPERATION_RUNNING) {
            pa_operation_cancel(request.operation);
        }
        pa_operation_unref(request.operation);
        request.operation = nullptr;
    }
    std::lock_guard wait(waitMutex);
    return request.done && request.succeeded;
}

std::optional<SinkState> PulseAudioVolumeProvider::Impl::defaultSink() {
    if (!waitUntilReady()) {
        return std::nullopt;
    }
    // The server's default sink, then that sink: one request carried on from the first answer to the
    // second, so both share one time-out.
    struct Callbacks {
        static void server(pa_context* context, const pa_server_info* info, void* userdata) {
            auto* call = static_cast<std::pair<Impl*, Request*>*>(userdata);
            Request& request = *call->second;
            pa_operation* next = nullptr;
            if (info != nullptr && info->default_sink_name != nullptr) {
                next = pa_context_get_sink_info_by_name(context, info->default_sink_name, &Callbacks::sink,
                                                        userdata);
            }
            pa_operation_unref(request.operation);
            request.operation = next;
            if (next == nullptr) {
                call->first->finish(request, false);
            }
        }
        static void sink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
            auto* call = static_cast<std::pair<Impl*, Request*>*>(userdata);
            Request& request = *call->second;
            if (eol == 0 && info != nullptr) {
                request.index = info->index;
                request.volume = info->volume;
                request.muted = info->mute != 0;
            } else {
                call->first->finish(request, eol > 0 && request.index != PA_INVALID_INDEX);
            }
        }
    };
    Request request;
    std::pair<Impl*, Request*> call{this, &request};
    if (!perform(request,
                 [&](pa_context* c) { return pa_context_get_server_info(c, &Callbacks::server, &call); })) {
        return std::nullopt;
    }
    return SinkState{request.index, request.volume, request.muted};
}

// ---- The provider ---------------------------------------------------------------------------------------

PulseAudioVolumeProvider::PulseAudioVolumeProvider() : PulseAudioVolumeProvider(Options{}) {}

PulseAudioVolumeProvider::PulseAudioVolumeProvider(Options options)
    : impl_(std::make_shared<Impl>(std::move(options))) {}

PulseAudioVolumeProvider::~PulseAudioVolumeProvider() = default;

VolumeReading PulseAudioVolumeProvider::reading() {
    const std::optional<SinkState> sink = impl_->defaultSink();
    if (!sink || !pa_cvolume_valid(&sink->volume)) {
        return VolumeReading::unavailable;
    }
    const double volume = static_cast<double>(pa_cvolume_max(&sink->volume)) / PA_VOLUME_NORM;
    return VolumeReading{std::min(volume, 1.0), sink->muted};
}

void PulseAudioVolumeProvider::setVolume(double scalar) {
    const double clamped = std::isnan(scalar) ? 0.0 : std::clamp(scalar, 0.0, 1.0);
    std::optional<SinkState> sink = impl_->defaultSink();
    if (!sink || !pa_cvolume_valid(&sink->volume)) {
        return;
    }
    pa_cvolume volume{};
    {
        std::lock_guard lock(impl_->balanceMutex);
        volume = balancedVolume(impl_->balance, sink->index, sink->volume,
                                static_cast<pa_volume_t>(std::lround(clamped * PA_VOLUME_NORM)));
    }
    struct Callbacks {
        static void done(pa_context*, int success, void* userdata) {
            auto* call = static_cast<std::pair<Impl*, Request*>*>(userdata);
            call->first->finish(*call->second, success != 0);
        }
    };
    Request request;
    std::pair<Impl*, Request*> call{impl_.get(), &request};
    // A sink gone since it was read makes the request fail, which is fine: the answer reads again.
    impl_->perform(request, [&](pa_context* c) {
        return pa_context_set_sink_volume_by_index(c, sink->index, &volume, &Callbacks::done, &call);
    });
}

void PulseAudioVolumeProvider::setMuted(bool muted) {
    const std::optional<SinkState> sink = impl_->defaultSink();
    if (!sink) {
        return;
    }
    struct Callbacks {
        static void done(pa_context*, int success, void* userdata) {
            auto* call = static_cast<std::pair<Impl*, Request*>*>(userdata);
            call->first->finish(*call->second, success != 0);
        }
    };
    Request request;
    std::pair<Impl*, Request*> call{impl_.get(), &request};
    impl_->perform(request, [&](pa_context* c) {
        return pa_context_set_sink_mute_by_index(c, sink->index, muted ? 1 : 0, &Callbacks::done, &call);
    });
}

void PulseAudioVolumeProvider::start(std::function<void()> onChange) {
    impl_->queue->sync([this, &onChange] { impl_->onChange = std::move(onChange); });
}

void PulseAudioVolumeProvider::stop() {
    impl_->queue->sync([this] { impl_->onChange = nullptr; });
}

bool PulseAudioVolumeProvider::isConnected() const {
    if (impl_->mainloop == nullptr) {
        return false;
    }
    MainloopLock lock(impl_->mainloop);
    return impl_->context != nullptr && pa_context_get_state(impl_->context) == PA_CONTEXT_READY;
}

}  // namespace media
