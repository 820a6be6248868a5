// WatchPayload's reader on arbitrary bytes: it returns a payload or throws DecodingError, nothing else;
// whatever it reads writes back to the same bytes, and the phone's relay answers the same bytes with a
// payload the watch can read.
#include "FuzzSupport.h"
#include "protocol/messages/MessageCodec.h"
#include "protocol/watch/WatchRelay.h"

using namespace TrackpadProtocol;

namespace {

class Phone : public WatchRelayTarget {
  public:
    bool sendToMac(const Message&) override { return true; }
    WatchStatus watchStatus() const override { return status; }
    WatchStatus status;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    static const auto phone = [] {
        auto p = std::make_shared<Phone>();
        p->status = WatchStatus(true, WatchStatus::Mac::Connected{"Desk"}, std::nullopt, 0);
        return p;
    }();
    const WatchRelay relay(phone);
    const Data answer = relay.receive(input);
    fuzz_support::require(!answer.empty(), "every payload is answered");
    (void)WatchPayload(answer);

    std::optional<WatchPayload> payload;
    try {
        payload.emplace(input);
    } catch (const MessageCodec::DecodingError&) {
        return 0;
    }
    const auto again = payload->encoded();
    fuzz_support::require(std::equal(again.begin(), again.end(), input.begin(), input.end()),
                          "read payload writes back to the same bytes");
    fuzz_support::require(WatchPayload(again) == *payload, "written payload reads back equal");
    fuzz_support::require(!payload->description().empty(), "description");
    return 0;
}
