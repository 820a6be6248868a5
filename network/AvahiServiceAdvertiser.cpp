#include "network/AvahiServiceAdvertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "network/AvahiEventLoopPoll.h"
#include "platform/Log.h"

namespace CompanionNetwork {
namespace {

// A name taken by another service of the same daemon is renamed on the spot; this many renames in a row
// mean something else is wrong.
constexpr int maxLocalRenames = 32;

std::string errorText(int error) {
    return avahi_strerror(error);
}

}  // namespace

class AvahiServiceAdvertiser::Impl {
public:
    Impl(platform::EventLoop& loop, Options options)
        : loop_(loop), options_(options), poll_(loop), retryDelay_(options.firstRetryDelay) {}

    ~Impl() { disconnect(); }

    void setStateHandler(StateHandler handler) { handler_ = std::move(handler); }

    void advertise(ServiceAdvertisement advertisement) {
        ++*generation_;
        lastReported_.reset();
        name_ = advertisedInstanceName(advertisement.instanceName);
        wanted_ = std::move(advertisement);
        if (!client_) {
            cancelRetry();
            retryDelay_ = options_.firstRetryDelay;
            connect();
            return;
        }
        if (group_)
            avahi_entry_group_reset(group_);
        onClientState(client_, avahi_client_get_state(client_));
    }

    void withdraw() {
        if (!wanted_)
            return;
        ++*generation_;
        wanted_.reset();
        lastReported_.reset();
        // Closing the client's bus connection makes the daemon drop the services at once.
        disconnect();
    }

private:
    static void clientCallback(AvahiClient* client, AvahiClientState state, void* userdata) {
        static_cast<Impl*>(userdata)->onClientState(client, state);
    }

    static void groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
        static_cast<Impl*>(userdata)->onGroupState(group, state);
    }

    void connect() {
        int error = 0;
        // The callback may run inside avahi_client_new, before it returns the client.
        AvahiClient* client = avahi_client_new(poll_.api(), AVAHI_CLIENT_NO_FAIL, &clientCallback, this, &error);
        if (!client) {
            // A client that fails half-way frees the entry group made from its callback with it.
            client_ = nullptr;
            group_ = nullptr;
            report(Unavailable{"Avahi is not available (" + errorText(error) + ")."});
            scheduleRetry();
            return;
        }
        client_ = client;
    }

    void disconnect() {
        cancelRetry();
        if (group_)
            avahi_entry_group_free(group_);
        group_ = nullptr;
        if (client_)
            avahi_client_free(client_);
        client_ = nullptr;
    }

    void scheduleRetry() {
        cancelRetry();
        retryTimer_ = loop_.schedule(retryDelay_, [this] {
            retryTimer_ = 0;
            if (wanted_ && !client_)
                connect();
        });
        retryDelay_ = std::min(retryDelay_ * 2, options_.maxRetryDelay);
    }

    void cancelRetry() {
        if (retryTimer_ != 0)
            loop_.cancel(retryTimer_);
        retryTimer_ = 0;
    }

    void onClientState(AvahiClient* client, AvahiClientState state) {
        if (!client_)
            client_ = client;
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                retryDelay_ = options_.firstRetryDelay;
                registerServices(client);
                break;
            case AVAHI_CLIENT_S_REGISTERING:
            case AVAHI_CLIENT_S_COLLISION:
                // The daemon is (re)establishing its host name; it takes services back to be registered
                // again once it runs.
                if (group_)
                    avahi_entry_group_reset(group_);
                break;
            case AVAHI_CLIENT_CONNECTING:
                // The daemon is not running, or has gone: its entry groups went with it. The client
                // comes back to S_RUNNING by itself when a daemon appears.
                if (group_)
                    avahi_entry_group_free(group_);
                group_ = nullptr;
                report(Unavailable{"The Avahi daemon is not running."});
                break;
            case AVAHI_CLIENT_FAILURE: {
                // The bus connection itself is gone. The client cannot be freed from its own callback.
                report(Unavailable{"The connection to the Avahi daemon was lost (" +
                                   errorText(avahi_client_errno(client)) + ")."});
                std::weak_ptr<std::uint64_t> alive = generation_;
                loop_.post([this, alive, client] {
                    if (!alive.lock() || client_ != client)
                        return;
                    disconnect();
                    if (wanted_)
                        scheduleRetry();
                });
                break;
            }
        }
    }

    void registerServices(AvahiClient* client) {
        if (!wanted_)
            return;
        if (!group_) {
            group_ = avahi_entry_group_new(client, &groupCallback, this);
            if (!group_) {
                report(Failed{"Avahi refused the registration (" + errorText(avahi_client_errno(client)) + ")."});
                return;
            }
        }
        if (!avahi_entry_group_is_empty(group_))
            return;  // registered already, or on its way

        AvahiStringList* txt = nullptr;
        // The list grows at its head, so adding the records backwards keeps them in order.
        for (auto record = wanted_->txt.rbegin(); record != wanted_->txt.rend(); ++record)
            txt = avahi_string_list_add_pair_arbitrary(
                txt, record->key.c_str(), reinterpret_cast<const std::uint8_t*>(record->value.data()),
                record->value.size());
        const std::string domain(serviceDomain);
        int result = AVAHI_OK;
        for (int attempt = 0; attempt <= maxLocalRenames; ++attempt) {
            result = addService(txt, serviceTypeTCP, wanted_->tcpPort, domain);
            if (result == AVAHI_OK)
                result = addService(txt, serviceTypeUDP, wanted_->udpPort, domain);
            if (result != AVAHI_ERR_COLLISION)
                break;
            // Both types keep one name, so a rename starts the group over.
            avahi_entry_group_reset(group_);
            if (!rename()) {
                avahi_string_list_free(txt);
                return;
            }
        }
        avahi_string_list_free(txt);
        if (result == AVAHI_OK)
            result = avahi_entry_group_commit(group_);
        if (result != AVAHI_OK) {
            avahi_entry_group_reset(group_);
            report(Failed{"Avahi refused the registration of \"" + name_ + "\" (" + errorText(result) + ")."});
        }
    }

    int addService(AvahiStringList* txt, std::string_view type, std::uint16_t port, const std::string& domain) {
        return avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags{},
                                                    name_.c_str(), std::string(type).c_str(), domain.c_str(),
                                                    nullptr, port, txt);
    }

    // Moves to Avahi's alternative name ("Name #2", "Name #3", ...), which stays within 63 bytes.
    bool rename() {
        char* alternative = avahi_alternative_service_name(name_.c_str());
        if (!alternative) {
            report(Failed{"No other name is left for \"" + name_ + "\"."});
            return false;
        }
        log_.notice("The service name \"" + name_ + "\" is taken; advertising as \"" + alternative + "\".");
        name_ = alternative;
        avahi_free(alternative);
        return true;
    }

    void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state) {
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                report(Advertising{name_});
                break;
            case AVAHI_ENTRY_GROUP_COLLISION:
                // Another host on the network uses the name.
                avahi_entry_group_reset(group);
                if (rename())
                    registerServices(avahi_entry_group_get_client(group));
                break;
            case AVAHI_ENTRY_GROUP_FAILURE: {
                AvahiClient* client = avahi_entry_group_get_client(group);
                // A group fails along with a daemon that leaves; the client's state reports that.
                if (avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING)
                    break;
                report(Failed{"Avahi could not register \"" + name_ + "\" (" +
                              errorText(avahi_client_errno(client)) + ")."});
                break;
            }
            case AVAHI_ENTRY_GROUP_UNCOMMITED:
            case AVAHI_ENTRY_GROUP_REGISTERING:
                break;
        }
    }

    // The handler runs from the loop, never inside an Avahi callback: it may withdraw, advertise again or
    // destroy the advertiser, none of which Avahi allows from its own callbacks.
    void report(State state) {
        if (!wanted_ || lastReported_ == state)
            return;
        lastReported_ = state;
        if (const auto* advertising = std::get_if<Advertising>(&state))
            log_.info("Advertising \"" + advertising->instanceName + "\".");
        else if (const auto* unavailable = std::get_if<Unavailable>(&state))
            log_.notice(unavailable->reason);
        else
            log_.error(std::get<Failed>(state).reason);
        std::weak_ptr<std::uint64_t> generation = generation_;
        loop_.post([this, generation, expected = *generation_, state = std::move(state)] {
            const auto alive = generation.lock();
            if (alive && *alive == expected && handler_)
                handler_(state);
        });
    }

    platform::EventLoop& loop_;
    Options options_;
    AvahiEventLoopPoll poll_;  // outlives the client, whose watches and timeouts it holds
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    std::optional<ServiceAdvertisement> wanted_;
    std::string name_;  // the instance name as registered now
    StateHandler handler_;
    std::optional<State> lastReported_;
    platform::Executor::TimerID retryTimer_ = 0;
    std::chrono::milliseconds retryDelay_;
    // Moves on with each advertise() and withdraw(); posted work of an older generation is dropped.
    std::shared_ptr<std::uint64_t> generation_ = std::make_shared<std::uint64_t>(0);
    platform::Logger log_{"dev.quelmar.trackpad.mac", "advertisement"};
};

AvahiServiceAdvertiser::AvahiServiceAdvertiser(platform::EventLoop& loop)
    : AvahiServiceAdvertiser(loop, Options{}) {}

AvahiServiceAdvertiser::AvahiServiceAdvertiser(platform::EventLoop& loop, Options options)
    : impl_(std::make_unique<Impl>(loop, options)) {}

AvahiServiceAdvertiser::~AvahiServiceAdvertiser() = default;

void AvahiServiceAdvertiser::setStateHandler(StateHandler handler) {
    impl_->setStateHandler(std::move(handler));
}

void AvahiServiceAdvertiser::advertise(ServiceAdvertisement advertisement) {
    impl_->advertise(std::move(advertisement));
}

void AvahiServiceAdvertiser::withdraw() {
    impl_->withdraw();
}

}  // namespace CompanionNetwork
