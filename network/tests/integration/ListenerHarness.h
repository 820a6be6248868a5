#pragma once
// A computer for the listener's end-to-end tests: a pairing coordinator over an in-memory list and a
// CompanionListener on 127.0.0.1 (system-chosen ports) running on a loop thread of its own, with every
// callback recorded. Test threads play phones with PhoneTestClient and wait for what was recorded.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "network/CompanionListener.h"
#include "network/InMemoryServiceAdvertiser.h"
#include "network/PairingCoordinator.h"
#include "network/PathMonitor.h"
#include "network/TrustedDevice.h"
#include "testing/LoopThread.h"
#include "testing/PhoneTestClient.h"

namespace CompanionNetwork::tests {

using TrackpadProtocol::Message;
using TrackpadProtocol::UUID;

struct Delivered {
    Message message;
    UUID device;
};

class ListenerHarness {
  public:
    struct Options {
        CompanionListener::Configuration configuration = loopbackConfiguration();
        PairingCoordinator::Configuration pairing{};
        bool unlockCallback = true;
        bool volumeCallback = true;
        // Without app and screen-view callbacks (unlock and volume follow their own switches).
        bool appAndScreenCallbacks = true;
        // Every callback, and the coordinator's event handler, throws once it has recorded what came.
        bool throwing = false;
        // When set, the listener advertises through an AbsentServiceAdvertiser with this reason (and
        // `advertiser` stays null).
        std::optional<std::string> absentAdvertiser;
    };

    static CompanionListener::Configuration loopbackConfiguration() {
        CompanionListener::Configuration configuration;
        configuration.serviceName = "Lumivex Test";
        configuration.loopbackOnly = true;
        configuration.wakeAddresses.clear();
        return configuration;
    }

    ListenerHarness() : ListenerHarness(Options()) {}
    explicit ListenerHarness(Options options) : options_(std::move(options)) {
        store = std::make_shared<InMemoryTrustedDeviceStore>();
        coordinator = std::make_shared<PairingCoordinator>(store, "Test Computer", options_.pairing,
                                                           [] { return std::chrono::system_clock::now(); });
        coordinator->setEventHandler([this](const PairingEvent& event) {
            {
                std::lock_guard lock(mutex);
                events.push_back(event);
                if (const auto* changed = event.as<PairingEvent::PendingPairingChanged>()) {
                    pending = changed->pairing;
                }
            }
            throwIfAsked();
        });
        makeListener();
    }

    ~ListenerHarness() {
        loop.call([this] { listener.reset(); });
    }

    void makeListener() {
        CompanionListener::UnlockRequestHandler unlock;
        if (options_.unlockCallback) {
            unlock = [this](const TrackpadProtocol::UnlockRequest& request, const UUID& device,
                            std::shared_ptr<UnlockCancellation> cancellation,
                            CompanionListener::UnlockCompletion done) {
                {
                    std::lock_guard lock(mutex);
                    unlocks.push_back({request, device, std::move(cancellation), std::move(done)});
                }
                throwIfAsked();
            };
        }
        CompanionListener::VolumeRequestHandler volume;
        if (options_.volumeCallback) {
            volume = [this](const Message&, const UUID&, CompanionListener::VolumeReply reply) {
                throwIfAsked();
                reply(TrackpadProtocol::VolumeStatus{40, false, true});
            };
        }
        CompanionListener::AppRequestHandler apps;
        CompanionListener::ScreenViewRequestHandler screenView;
        if (options_.appAndScreenCallbacks) {
            apps = [this](const Message&, const UUID&, CompanionListener::AppReply reply) {
                throwIfAsked();
                reply({Message::OpenAppResult{
                    {"org.example.app", TrackpadProtocol::OpenAppResult::Status::opened}}});
            };
            screenView = [this](const Message& message, const ScreenViewLink& link) {
                {
                    std::lock_guard lock(mutex);
                    screenViewRequests.push_back(message);
                    links.push_back(link);
                }
                throwIfAsked();
            };
        }
        listener = std::make_unique<CompanionListener>(
            coordinator, options_.configuration, loop.loop(),
            [this](const Message& message, const UUID& device) {
                record(delivered, message, device);
                throwIfAsked();
            },
            [this](const Message& message, const UUID& device) {
                record(cleanups, message, device);
                throwIfAsked();
            },
            [this](const CompanionListener::State& state) {
                {
                    std::lock_guard lock(mutex);
                    states.push_back(state);
                }
                throwIfAsked();
            },
            apps, screenView,
            [this](ConnectionID id) {
                {
                    std::lock_guard lock(mutex);
                    screenViewsEnded.push_back(id);
                }
                throwIfAsked();
            },
            unlock, volume,
            CompanionListener::Services{[this]() -> std::unique_ptr<ServiceAdvertiser> {
                                            if (options_.absentAdvertiser) {
                                                return std::make_unique<AbsentServiceAdvertiser>(
                                                    loop.loop(), *options_.absentAdvertiser);
                                            }
                                            auto made =
                                                std::make_unique<InMemoryServiceAdvertiser>(loop.loop());
                                            advertiser = made.get();
                                            return made;
                                        },
                                        [this]() -> std::unique_ptr<PathMonitor> {
                                            auto made = std::make_unique<ManualPathMonitor>(loop.loop());
                                            pathMonitor = made.get();
                                            return made;
                                        }});
    }

    // Starts the listener and waits for it to be ready.
    CompanionListener::Details start() {
        const std::size_t before = stateCount();
        listener->start();
        std::optional<CompanionListener::Details> details;
        const bool ready = testing_support::eventually([&] {
            std::lock_guard lock(mutex);
            for (std::size_t i = before; i < states.size(); ++i) {
                if (const auto* r = states[i].as<CompanionListener::State::Ready>()) {
                    details = r->details;
                }
            }
            return details.has_value();
        });
        if (!ready) {
            throw std::runtime_error("the listener did not become ready");
        }
        endpoint = {"127.0.0.1", details->tcpPort, details->udpPort};
        return *details;
    }

    std::unique_ptr<testing_support::PhoneTestClient> phone(const std::string& name = "Test iPhone") {
        return std::make_unique<testing_support::PhoneTestClient>(endpoint, name);
    }
    // A phone on a host of its own: 127.0.0.`host`.
    std::unique_ptr<testing_support::PhoneTestClient> phoneFrom(int host, const std::string& name) {
        testing_support::PhoneTestClient::Endpoint from = endpoint;
        from.source = "127.0.0." + std::to_string(host);
        return std::make_unique<testing_support::PhoneTestClient>(from, name);
    }

    // The code of the pairing in progress, as the pairing panel would show it.
    std::string waitForCode() {
        std::string digits;
        testing_support::eventually([&] {
            std::lock_guard lock(mutex);
            if (pending) {
                digits = std::string(pending->code.digits());
            }
            return !digits.empty();
        });
        return digits;
    }

    // A phone that has paired and holds a session (and a DTLS flow when asked).
    std::unique_ptr<testing_support::PhoneTestClient> sessionPhone(const std::string& name = "Test iPhone",
                                                                   bool datagrams = true) {
        auto client = phone(name);
        client->connect();
        const auto asked = client->requestPairing();
        if (!std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(asked)) {
            throw std::runtime_error("pairing was refused");
        }
        const auto paired = client->enterCode(waitForCode());
        if (!std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(paired)) {
            throw std::runtime_error("pairing failed");
        }
        const auto session = client->openSession();
        if (!std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(session)) {
            throw std::runtime_error("the session was refused");
        }
        if (datagrams) {
            client->connectDatagrams();
        }
        return client;
    }

    // Waits until `count` messages have been delivered; returns them all.
    std::vector<Delivered> waitForDelivered(std::size_t count, double timeout = 5) {
        testing_support::eventually(
            [&] {
                std::lock_guard lock(mutex);
                return delivered.size() >= count;
            },
            timeout);
        std::lock_guard lock(mutex);
        return delivered;
    }

    std::size_t deliveredCount() {
        std::lock_guard lock(mutex);
        return delivered.size();
    }
    std::size_t stateCount() {
        std::lock_guard lock(mutex);
        return states.size();
    }
    template <class Case>
    std::size_t countEvents() {
        std::lock_guard lock(mutex);
        std::size_t count = 0;
        for (const PairingEvent& event : events) {
            count += event.as<Case>() != nullptr ? 1 : 0;
        }
        return count;
    }

    struct UnlockCall {
        TrackpadProtocol::UnlockRequest request;
        UUID device;
        std::shared_ptr<UnlockCancellation> cancellation;
        CompanionListener::UnlockCompletion done;
    };

    testing_support::LoopThread loop;
    std::shared_ptr<InMemoryTrustedDeviceStore> store;
    std::shared_ptr<PairingCoordinator> coordinator;
    std::unique_ptr<CompanionListener> listener;
    testing_support::PhoneTestClient::Endpoint endpoint;
    // Made by the listener at start unless it is loopback-only; touch them on the loop thread only.
    InMemoryServiceAdvertiser* advertiser = nullptr;
    ManualPathMonitor* pathMonitor = nullptr;

    std::mutex mutex;
    std::vector<Delivered> delivered;
    std::vector<Delivered> cleanups;
    std::vector<CompanionListener::State> states;
    std::vector<PairingEvent> events;
    std::optional<PendingPairing> pending;
    std::vector<Message> screenViewRequests;
    std::vector<ScreenViewLink> links;
    std::vector<ConnectionID> screenViewsEnded;
    std::vector<UnlockCall> unlocks;

  private:
    void throwIfAsked() const {
        if (options_.throwing) {
            throw std::runtime_error("a service fault");
        }
    }
    void record(std::vector<Delivered>& into, const Message& message, const UUID& device) {
        std::lock_guard lock(mutex);
        into.push_back({message, device});
    }

    Options options_;
};

}  // namespace CompanionNetwork::tests
