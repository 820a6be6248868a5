#pragma once
// Fair admission of clients' requests to one kind of work: at most `running` requests are with the
// service at once; the others wait in their client's own line (at most `waitingPerClient` long; beyond
// that the request is refused at once), and a freed place goes to the waiting client served least
// recently. A client that floods therefore delays another's request by at most the requests already
// running, and its backlog never grows past its own line, which a stop or its departure drops.
// An answer the service has made may still have to wait for its client to take it (answered()): it no
// longer holds a place, but counts against its client's own requests under way, so that what a client
// leaves untaken holds up that client alone.
//
// Thread: one thread (the main queue); the work's completion must be brought back there before
// finished() is called.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <utility>

namespace platform {

template <class Client>
class FairScheduler {
  public:
    using Ticket = std::uint64_t;
    // Hands the request to its service; the ticket goes to finished() once the service has answered.
    using Start = std::function<void(Ticket)>;
    // Answers the request at once as the service answers one it cannot take.
    using Refuse = std::function<void()>;

    struct Limits {
        std::size_t running = 1;
        std::size_t waitingPerClient = 8;
        // A running request of a client that left keeps its place until the service has answered it
        // (its answer then goes nowhere). For services that work on one request after another and
        // always answer: freeing the place early would only queue the next request behind the
        // abandoned one, out of sight.
        bool departedKeepPlace = false;
        // Requests of one client under way at once, running or answered and not yet taken; its next
        // request waits in its line until one of them is finished().
        std::size_t underWayPerClient = SIZE_MAX;
    };

    explicit FairScheduler(Limits limits) : limits_(limits) {}

    // Starts the request now when a place is free, nobody waits who may start, and the client has room
    // for another request under way; else queues it in the client's line, or refuses it when that line
    // is full.
    void submit(const Client& client, Start start, Refuse refuse) {
        if (running_.size() < limits_.running && !waiting_.contains(client) && mayStart(client) &&
            !someoneWaitingMayStart()) {
            begin(client, std::move(start));
            return;
        }
        std::deque<Start>& line = waiting_[client];
        if (line.size() >= limits_.waitingPerClient) {
            if (line.empty()) {
                waiting_.erase(client);
            }
            if (refuse) {
                refuse();
            }
            return;
        }
        line.push_back(std::move(start));
    }

    // The service answered (and the client took the answer): its place, or its turn among its client's
    // requests under way, goes to the next request in turn. An unknown or already finished ticket (one
    // dropped with its client) is ignored.
    void finished(Ticket ticket) {
        std::optional<Client> client;
        if (const auto found = running_.find(ticket); found != running_.end()) {
            client = found->second;
            running_.erase(found);
        } else if (const auto owed = answered_.find(ticket); owed != answered_.end()) {
            client = owed->second;
            answered_.erase(owed);
        } else {
            return;
        }
        if (client) {
            forgetIfIdle(*client);
        }
        startWaiting();
    }

    // The service has made its answer, which now waits for the client to take it: the place goes to the
    // next request in turn, while the request stays under way for its client until finished(). A ticket
    // not running (already answered, finished or dropped) is ignored; one of a departed client is done.
    void answered(Ticket ticket) {
        const auto found = running_.find(ticket);
        if (found == running_.end()) {
            return;
        }
        const std::optional<Client> client = found->second;
        running_.erase(found);
        if (client) {
            answered_.emplace(ticket, *client);
        }
        startWaiting();
    }

    // The client left: its waiting requests are dropped unanswered, its answers not yet taken are
    // forgotten, and its running ones no longer hold a place (unless departedKeepPlace: then each holds
    // it until answered() or finished()).
    void removeClient(const Client& client) {
        removeClientsIf([&](const Client& other) { return other == client; });
    }
    template <class Predicate>
    void removeClientsIf(Predicate leaves) {
        std::erase_if(waiting_, [&](const auto& entry) { return leaves(entry.first); });
        std::erase_if(lastServed_, [&](const auto& entry) { return leaves(entry.first); });
        std::erase_if(answered_, [&](const auto& entry) { return leaves(entry.second); });
        if (limits_.departedKeepPlace) {
            for (auto& [ticket, owner] : running_) {
                if (owner && leaves(*owner)) {
                    owner.reset();
                }
            }
        } else {
            std::erase_if(running_, [&](const auto& entry) { return entry.second && leaves(*entry.second); });
        }
        startWaiting();
    }

    // Drops every waiting request unanswered (a stop does not wait for a backlog nobody will read) and
    // forgets the running ones, departed clients' included.
    void clear() {
        waiting_.clear();
        lastServed_.clear();
        running_.clear();
        answered_.clear();
    }

    std::size_t runningCount() const { return running_.size(); }
    std::size_t waitingCount() const {
        std::size_t count = 0;
        for (const auto& [client, line] : waiting_) {
            count += line.size();
        }
        return count;
    }

  private:
    void begin(const Client& client, Start start) {
        const Ticket ticket = nextTicket_++;
        running_.emplace(ticket, client);
        lastServed_[client] = ticket;
        start(ticket);
    }

    void startWaiting() {
        while (running_.size() < limits_.running) {
            // The waiting client served least recently (never, for one that just came) goes first, of
            // those with room for another request under way.
            auto next = waiting_.end();
            Ticket oldest = 0;
            for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
                if (!mayStart(it->first)) {
                    continue;
                }
                if (const Ticket served = servedAt(it->first); next == waiting_.end() || served < oldest) {
                    next = it;
                    oldest = served;
                }
            }
            if (next == waiting_.end()) {
                return;
            }
            const Client client = next->first;
            Start start = std::move(next->second.front());
            next->second.pop_front();
            if (next->second.empty()) {
                waiting_.erase(next);
            }
            // May re-enter (a service that answers at once calls finished() from here).
            begin(client, std::move(start));
        }
    }

    Ticket servedAt(const Client& client) const {
        const auto found = lastServed_.find(client);
        return found == lastServed_.end() ? 0 : found->second;
    }

    // Running, or answered and not yet taken.
    std::size_t underWay(const Client& client) const {
        std::size_t count = 0;
        for (const auto& [ticket, owner] : running_) {
            count += owner && *owner == client ? 1 : 0;
        }
        for (const auto& [ticket, owner] : answered_) {
            count += owner == client ? 1 : 0;
        }
        return count;
    }

    bool mayStart(const Client& client) const {
        return limits_.underWayPerClient == SIZE_MAX || underWay(client) < limits_.underWayPerClient;
    }

    bool someoneWaitingMayStart() const {
        for (const auto& [client, line] : waiting_) {
            if (mayStart(client)) {
                return true;
            }
        }
        return false;
    }

    // A client with nothing under way or waiting starts afresh next time.
    void forgetIfIdle(const Client& client) {
        if (waiting_.contains(client) || underWay(client) > 0) {
            return;
        }
        lastServed_.erase(client);
    }

    Limits limits_;
    Ticket nextTicket_ = 1;
    std::map<Ticket, std::optional<Client>> running_;  // none: its client left (departedKeepPlace)
    std::map<Ticket, Client> answered_;                // made, not yet taken by the client
    std::map<Client, std::deque<Start>> waiting_;
    std::map<Client, Ticket> lastServed_;  // while the client has work running or waiting
};

}  // namespace platform
