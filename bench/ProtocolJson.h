#pragma once
// The JSON twin of a message, as a peer that speaks JSON documents would carry it: one object with a
// "type" key and the fields by name, bytes as base64. Only the cases the benchmark compares are covered.
#include <string>
#include <string_view>

#include "protocol/messages/Message.h"

namespace protocol_bench {

std::string toJsonText(const TrackpadProtocol::Message& message);
// Throws on a document that is not one of the covered messages.
TrackpadProtocol::Message fromJsonText(std::string_view text);

}  // namespace protocol_bench
