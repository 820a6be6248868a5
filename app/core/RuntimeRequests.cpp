// Service requests (apps, screen view, volume), the feeds, and unlock requests.
#include <atomic>
#include <exception>

#include "app/core/CompanionRuntime.h"
#include "app/core/StatusLog.h"
#include "protocol/messages/LargePayloads.h"
#include "platform/Log.h"

namespace Shell {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "runtime");
const platform::Logger unlockLog("dev.quelmar.trackpad.mac", "unlock");

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

// ---- apps -----------------------------------------------------------------------------------------------

std::shared_ptr<AppCatalogService> CompanionRuntime::startAppCatalog() {
    if (appCatalog_) {
        return appCatalog_;
    }
    AppCatalogService::Options options;
    if (!ownBundleID_.empty()) {
        options.excludedBundleIDs.insert(ownBundleID_);
    }
    options.excludedProcessID = ownProcessID_;
    options.iconByteBudget = 61440;
    options.onChange = [weak = weak_from_this(), &executor = executor_](AppCatalogUpdate update) {
        // Installed-list changes are not pushed to phones.
        if (update.kind != TrackpadProtocol::AppListKind::running) {
            return;
        }
        executor.post([weak, apps = std::move(update.apps)]() mutable {
            if (auto self = weak.lock()) {
                self->publishRunningApps(std::move(apps));
            }
        });
    };
    appCatalog_ = services_.makeAppCatalog(std::move(options));
    return appCatalog_;
}

std::function<void()> CompanionRuntime::finisher(RequestScheduler CompanionRuntime::*scheduler,
                                                RequestScheduler::Ticket ticket) {
    auto once = std::make_shared<std::atomic<bool>>(false);
    return [weak = weak_from_this(), &executor = executor_, scheduler, ticket, once] {
        if (once->exchange(true)) {
            return;
        }
        executor.post([weak, scheduler, ticket] {
            if (auto self = weak.lock()) {
                ((*self).*scheduler).finished(ticket);
            }
        });
    };
}

void CompanionRuntime::answerAppRequest(const Message& message, const DeviceID& device,
                                        CompanionNetwork::CompanionListener::AppReply reply) {
    std::weak_ptr<CompanionRuntime> weak = weak_from_this();
    if (auto open = message.as<Message::OpenApp>()) {
        const std::string bundleID = open->bundleID;
        appLaunches_.submit(
            device,
            [weak, bundleID, reply](RequestScheduler::Ticket ticket) {
                if (auto self = weak.lock()) {
                    self->openApp(bundleID, reply, self->finisher(&CompanionRuntime::appLaunches_, ticket));
                }
            },
            [reply, bundleID] {
                reply({Message{Message::OpenAppResult{TrackpadProtocol::OpenAppResult{
                    trimmed(bundleID), TrackpadProtocol::OpenAppResult::Status::failed}}}});
            });
        return;
    }
    appAnswers_.submit(
        device,
        [weak, message, reply](RequestScheduler::Ticket ticket) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            self->appWork_([catalog = self->startAppCatalog(), message, reply,
                            finished = self->finisher(&CompanionRuntime::appAnswers_, ticket)] {
                std::optional<std::vector<Message>> answer;
                try {
                    answer = catalog->answer(message);
                } catch (const std::exception& error) {
                    logger.error(std::string("The app catalog failed to answer: ") + error.what());
                }
                reply(answer ? std::move(*answer) : std::vector<Message>{});
                finished();
            });
        },
        [message, reply] {
            // A phone past its line gets what a request the catalog cannot answer gets.
            std::vector<Message> answer;
            if (auto icon = message.as<Message::AppIconRequest>()) {
                try {
                    answer.push_back(
                        Message{Message::AppIcon{TrackpadProtocol::AppIcon(icon->request.bundleID, std::nullopt)}});
                } catch (const std::exception&) {
                    answer.clear();
                }
            }
            reply(std::move(answer));
        });
}

void CompanionRuntime::openApp(const std::string& bundleID, CompanionNetwork::CompanionListener::AppReply reply,
                               std::function<void()> finished) {
    auto answered = std::make_shared<std::atomic<bool>>(false);
    auto done = [weak = weak_from_this(), &executor = executor_, reply, bundleID, answered,
                 finished](TrackpadProtocol::OpenAppResult result) {
        if (answered->exchange(true)) {
            return;
        }
        const bool opened = result.status == TrackpadProtocol::OpenAppResult::Status::opened;
        reply({Message{Message::OpenAppResult{std::move(result)}}});
        finished();
        if (!opened) {
            return;
        }
        executor.post([weak, bundleID] {
            auto self = weak.lock();
            if (self && self->shouldRun_) {
                self->openedApp.set(OpenedAppNotice{self->appDisplayName(bundleID)});
            }
        });
    };
    try {
        services_.appLauncher->open(bundleID, done);
    } catch (const std::exception& error) {
        logger.error(std::string("Opening an app failed: ") + error.what());
        done(TrackpadProtocol::OpenAppResult{trimmed(bundleID), TrackpadProtocol::OpenAppResult::Status::failed});
    }
}

std::string CompanionRuntime::appDisplayName(const std::string& bundleID) {
    if (auto name = services_.appLauncher->runningName(bundleID); name && !trimmed(*name).empty()) {
        return trimmed(*name);
    }
    if (auto name = services_.appLauncher->installedName(bundleID); name && !name->empty()) {
        std::string text = *name;
        if (text.size() > 4 && text.ends_with(".app")) {
            text.resize(text.size() - 4);
        }
        return text;
    }
    return bundleID;
}

void CompanionRuntime::publishRunningApps(std::vector<TrackpadProtocol::MacApp> list) {
    if (!shouldRun_) {
        return;
    }
    runningApps_ = list;
    if (listener_) {
        listener_->updateRunningApps(std::move(list));
    }
}

// ---- screen view, volume and now playing -------------------------------------------------------------

void CompanionRuntime::handleScreenViewRequest(const Message& message,
                                               const CompanionNetwork::ScreenViewLink& link) {
    if (message.is<Message::ScreenViewStart>() || message.is<Message::ScreenViewSelectDisplay>() ||
        message.is<Message::ScreenshotRequest>() || message.is<Message::ScreenViewStop>()) {
        services_.annotations->observe(message, link.deviceID);
        services_.presentationImages->observe(message, link.deviceID);
    }
    screenViewConnections_.insert(link.connection);
    // A session keeps the send it was made with: every request passes the same watching one.
    CompanionNetwork::ScreenViewLink watched = link;
    watched.send = screenViewSend(link);
    auto hand = [this, message, watched] {
        try {
            services_.screenViews->handle(message, watched, watched.send);
            return true;
        } catch (const std::exception& error) {
            logger.error(std::string("The screen view failed to handle a request: ") + error.what());
            return false;
        }
    };
    const auto* shot = message.as<Message::ScreenshotRequest>();
    if (!shot) {
        hand();
        return;
    }
    const std::uint32_t number = shot->request.number;
    const DeviceID device = link.deviceID;
    auto refuse = [send = link.send, number] {
        std::vector<Message> messages;
        try {
            messages = TrackpadProtocol::Screenshot(TrackpadProtocol::Screenshot::Status::failed).messages(number);
        } catch (const std::exception&) {
            return;
        }
        send(std::move(messages), [] {});
    };
    std::weak_ptr<CompanionRuntime> weak = weak_from_this();
    screenshots_.submit(
        device,
        [weak, hand, refuse, device, number, connection = link.connection](RequestScheduler::Ticket ticket) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            // The phone left while this waited: nobody can read the answer, and handing the request on
            // would open a screen view for a connection that is gone.
            if (!self->screenViewConnections_.contains(connection)) {
                self->finisher(&CompanionRuntime::screenshots_, ticket)();
                return;
            }
            // The answer is known by its number: a second request of a number still under way could
            // never be told apart, and would hold its place for good.
            if (!self->screenshotTickets_.emplace(std::pair{device, number}, ScreenshotTicket{ticket, connection})
                     .second) {
                refuse();
                self->finisher(&CompanionRuntime::screenshots_, ticket)();
                return;
            }
            if (!hand()) {
                self->screenshotTaken(device, number);
            }
        },
        refuse);
}

CompanionNetwork::ScreenViewLink::Send CompanionRuntime::screenViewSend(const CompanionNetwork::ScreenViewLink& link) {
    return [weak = weak_from_this(), &executor = executor_, device = link.deviceID, inner = link.send](
               std::vector<Message> messages, CompanionNetwork::ScreenViewLink::Completion completion) {
        // A screen view hands an answer over a few parts at a time, the next once the connection has taken
        // the previous. A phone has one screenshot under way at a time, so its answer's first parts go
        // out as soon as it is made, and once its last parts are taken the phone may have its next.
        std::vector<std::uint32_t> begun;
        std::vector<std::uint32_t> ended;
        for (const Message& message : messages) {
            if (const auto* shot = message.as<Message::Screenshot>()) {
                const TrackpadProtocol::ScreenDataPart& part = shot->part;
                if (begun.empty() || begun.back() != part.transfer) {
                    begun.push_back(part.transfer);
                }
                if (part.part + 1 >= part.partCount) {
                    ended.push_back(part.transfer);
                }
            }
        }
        if (!begun.empty()) {
            executor.post([weak, device, begun] {
                if (auto self = weak.lock()) {
                    for (std::uint32_t number : begun) {
                        self->screenshotMade(device, number);
                    }
                }
            });
        }
        if (!ended.empty()) {
            completion = [weak, &executor, device, ended, handed = std::move(completion)] {
                // The screen view hears first, so that it is done with the answer before the phone's next
                // request reaches it.
                if (handed) {
                    handed();
                }
                executor.post([weak, device, ended] {
                    if (auto self = weak.lock()) {
                        for (std::uint32_t number : ended) {
                            self->screenshotTaken(device, number);
                        }
                    }
                });
            };
        }
        inner(std::move(messages), std::move(completion));
    };
}

void CompanionRuntime::screenshotMade(const DeviceID& device, std::uint32_t number) {
    const auto found = screenshotTickets_.find({device, number});
    if (found != screenshotTickets_.end()) {
        screenshots_.answered(found->second.ticket);
    }
}

void CompanionRuntime::screenshotTaken(const DeviceID& device, std::uint32_t number) {
    const auto found = screenshotTickets_.find({device, number});
    if (found == screenshotTickets_.end()) {
        return;
    }
    const RequestScheduler::Ticket ticket = found->second.ticket;
    screenshotTickets_.erase(found);
    screenshots_.finished(ticket);
}

void CompanionRuntime::screenViewEnded(CompanionNetwork::ConnectionID connection) {
    screenViewConnections_.erase(connection);
    std::vector<RequestScheduler::Ticket> freed;
    std::erase_if(screenshotTickets_, [&](const auto& entry) {
        if (entry.second.connection != connection) {
            return false;
        }
        freed.push_back(entry.second.ticket);
        return true;
    });
    for (RequestScheduler::Ticket ticket : freed) {
        screenshots_.finished(ticket);
    }
}

void CompanionRuntime::answerVolumeRequest(const Message& message, const DeviceID& device,
                                           CompanionNetwork::CompanionListener::VolumeReply reply) {
    std::weak_ptr<CompanionRuntime> weak = weak_from_this();
    volumeRequests_.submit(
        device,
        [weak, message, reply](RequestScheduler::Ticket ticket) {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            std::function<void()> finished = self->finisher(&CompanionRuntime::volumeRequests_, ticket);
            bool handled = false;
            try {
                handled = self->services_.volume->handle(message, [reply, finished](TrackpadProtocol::VolumeStatus status) {
                    reply(status);
                    finished();
                });
            } catch (const std::exception& error) {
                logger.error(std::string("The volume control failed to handle a request: ") + error.what());
            }
            if (!handled) {
                reply(TrackpadProtocol::VolumeStatus::unsupported);
                finished();
            }
        },
        [reply] { reply(TrackpadProtocol::VolumeStatus::unsupported); });
}

void CompanionRuntime::removeRequestsOf(const std::function<bool(const DeviceID&)>& leaves) {
    for (RequestScheduler* scheduler : {&appAnswers_, &appLaunches_, &volumeRequests_, &screenshots_}) {
        scheduler->removeClientsIf(leaves);
    }
    std::erase_if(screenshotTickets_, [&](const auto& entry) { return leaves(entry.first.first); });
}

void CompanionRuntime::publishNowPlaying(std::optional<TrackpadProtocol::NowPlaying> value) {
    if (!shouldRun_) {
        return;
    }
    nowPlaying_ = value;
    if (listener_) {
        listener_->updateNowPlaying(std::move(value));
    }
}

// ---- unlock -----------------------------------------------------------------------------------------------

void CompanionRuntime::handleUnlockRequest(const TrackpadProtocol::UnlockRequest& request,
                                           const DeviceID& device,
                                           std::shared_ptr<CompanionNetwork::UnlockCancellation> cancellation,
                                           CompanionNetwork::CompanionListener::UnlockCompletion completion) {
    using Status = TrackpadProtocol::UnlockResult::Status;
    const std::uint32_t number = request.number;
    auto refuse = [&](Status status, const char* reason) {
        logWithinBudget(unlockLog, unlockRefusalLines_, platform::monotonicSeconds(), platform::LogLevel::notice,
                        std::string("Unlock ended ") + TrackpadProtocol::toString(status) + ": " + reason,
                        "about refused unlock requests");
        LastUnlock last{UnlockReport{status, reason, std::nullopt}, now_()};
        onMain([last](CompanionRuntime& self) { self.finishUnlockAttempt(nullptr, last); });
        completion(TrackpadProtocol::UnlockResult{number, status});
    };
    if (!preferences_.allowsUnlockFromIPhone().value()) {
        refuse(Status::notAllowed, Texts::unlockTurnedOff);
        return;
    }
    if (!cancellation || cancellation->isCancelled()) {
        refuse(Status::notAllowed, Texts::unlockSessionEnded);
        return;
    }
    if (!permission_.isTrusted()) {
        permission_.refresh();
        refuse(Status::accessibilityRequired, Texts::unlockNeedsAccessibility);
        return;
    }

    const CompanionNetwork::UnlockCancellation* key = cancellation.get();
    // Recorded before the hand-over: the unlocker may finish before unlock() returns.
    unlockAttempts_[key] = UnlockAttempt{device, cancellation};
    auto answered = std::make_shared<std::atomic<bool>>(false);
    // The cancellation is held until the attempt is finished on the main queue, so that its address, the
    // key, cannot be reused for another attempt before then.
    auto finished = [weak = weak_from_this(), &executor = executor_, now = now_, key, keep = cancellation,
                     number, completion, answered](UnlockReport report) {
        if (answered->exchange(true)) {
            return;
        }
        const Status status = report.status;
        LastUnlock last{std::move(report), now()};
        executor.post([weak, key, keep, last = std::move(last)] {
            if (auto self = weak.lock()) {
                self->finishUnlockAttempt(key, last);
            }
        });
        completion(TrackpadProtocol::UnlockResult{number, status});
    };
    try {
        services_.unlocker->unlock(
            request.password, [cancellation] { return cancellation->isCancelled(); }, finished);
    } catch (const std::exception& error) {
        unlockLog.error(std::string("The unlocker failed: ") + error.what());
        finished(
            UnlockReport{Status::notReached, "The unlock could not run. Nothing was entered.", std::nullopt});
    }
}

void CompanionRuntime::finishUnlockAttempt(const CompanionNetwork::UnlockCancellation* attempt,
                                           LastUnlock last) {
    if (attempt) {
        unlockAttempts_.erase(attempt);
    }
    lastUnlock.set(std::move(last));
}

}  // namespace Shell
