// MessageCodec::decode on arbitrary bytes: it returns a message or throws DecodingError, nothing else;
// whatever it accepts is canonical (encoding it again gives the same bytes) and can be framed and
// described.
#include "FuzzSupport.h"
#include "protocol/messages/MessageCodec.h"
#include "protocol/messages/MessageFraming.h"

using namespace TrackpadProtocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    Message message;
    try {
        message = MessageCodec::decode(input);
    } catch (const MessageCodec::DecodingError&) {
        return 0;
    }
    const auto again = MessageCodec::encode(message);
    fuzz_support::require(std::equal(again.begin(), again.end(), input.begin(), input.end()),
                          "decoded message encodes to the same bytes");
    fuzz_support::require(MessageFraming::frame(message).size() == size + 2, "decoded message frames");
    fuzz_support::require(!message.description().empty(), "description");
    (void)message.transport();
    return 0;
}
