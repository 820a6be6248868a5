#pragma once
// Fair admission of clients' requests to one kind of work: at most `running` requests are with the
// service at once; the others wait in their client's own line (at most `waitingPerClient` long; beyond
// that the request is refused at once), and a freed place goes to the waiting client served least
// recently. A client that floods therefore delays another's request by at most the requests already
// running, and its backlog never grows past its own line, which a stop or its departure drops.
//
// Thread: one thread (the main queue); the work's completion must be brought back there before
// finished() is called.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <iterator>
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
    };

    explicit FairScheduler(Limits limits) : limits_(limits) {}

    // Starts the request now when a place is free and nobody waits, else queues it in the client's line;
    // refuses it when that line is full.
    void submit(const Client& client, Start start, Refuse refuse) {
        if (running_.size() < limits_.running && waiting_.empty()) {
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

    // The service answered: its place goes to the next client in turn. An unknown or already finished
    // ticket (one dropped with its client) is ignored.
    void finished(Ticket ticket) {
        const auto found = running_.find(ticket);
        if (found == running_.end()) {
            return;
        }
        const std::optional<Client> client = found->second;
        running_.erase(found);
        if (client) {
            forgetIfIdle(*client);
        }
        startWaiting();
    }

    // The client left: its waiting requests are dropped unanswered and its running ones no longer hold
    // a place (unless departedKeepPlace: then each holds it until finished()).
    void removeClient(const Client& client) {
        removeClientsIf([&](const Client& other) { return other == client; });
    }
    template <class Predicate>
    void removeClientsIf(Predicate leaves) {
        std::erase_if(waiting_, [&](const auto& entry) { return leaves(entry.first); });
        std::erase_if(lastServed_, [&](const auto& entry) { return leaves(entry.first); });
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
        while (running_.size() < limits_.running && !waiting_.empty()) {
            // The waiting client served least recently (never, for one that just came) goes first.
            auto next = waiting_.begin();
            Ticket oldest = servedAt(next->first);
            for (auto it = std::next(waiting_.begin()); it != waiting_.end(); ++it) {
                if (const Ticket served = servedAt(it->first); served < oldest) {
                    next = it;
                    oldest = served;
                }
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

    // A client with nothing running or waiting starts afresh next time.
    void forgetIfIdle(const Client& client) {
        if (waiting_.contains(client)) {
            return;
        }
        for (const auto& [ticket, owner] : running_) {
            if (owner && *owner == client) {
                return;
            }
        }
        lastServed_.erase(client);
    }

    Limits limits_;
    Ticket nextTicket_ = 1;
    std::map<Ticket, std::optional<Client>> running_;  // none: its client left (departedKeepPlace)
    std::map<Client, std::deque<Start>> waiting_;
    std::map<Client, Ticket> lastServed_;  // while the client has work running or waiting
};

}  // namespace platform
