#include "protocol/phone/PhoneUnlockFlow.h"

#include <stdexcept>
#include <utility>

namespace TrackpadProtocol {

std::uint32_t PhoneUnlockFlow::nextNumber() {
    // Numbers run from 1 and wrap; a number still waiting for its answer is skipped so that one answer
    // can never complete two requests.
    do {
        ++lastNumber_;
    } while (lastNumber_ == 0 || pending_.count(lastNumber_) != 0);
    return lastNumber_;
}

Message PhoneUnlockFlow::request(std::string password, Completion completion) {
    UnlockRequest request{0, std::move(password)};
    if (!request.hasValidPassword()) {
        throw std::invalid_argument(
            "an unlock password must be 1 to 255 UTF-8 bytes without control characters");
    }
    request.number = nextNumber();
    pending_.emplace(request.number, std::move(completion));
    return Message::UnlockRequest{std::move(request)};
}

bool PhoneUnlockFlow::receive(const Message& message) {
    const auto* answer = message.as<Message::UnlockResult>();
    if (answer == nullptr) {
        return false;
    }
    const auto found = pending_.find(answer->result.number);
    if (found == pending_.end()) {
        return false;
    }
    // Taken out first: the completion may start another request.
    Completion completion = std::move(found->second);
    pending_.erase(found);
    if (completion) {
        completion(answer->result);
    }
    return true;
}

void PhoneUnlockFlow::connectionClosed() {
    std::map<std::uint32_t, Completion> open = std::exchange(pending_, {});
    for (auto& [number, completion] : open) {
        if (completion) {
            completion(UnlockResult{number, UnlockResult::Status::notReached});
        }
    }
}

}  // namespace TrackpadProtocol
