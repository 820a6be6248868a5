#pragma once
// Valid messages of every case for round-trip tests, fuzzer seeds and benchmarks.
#include <string>
#include <vector>

#include "protocol/messages/Message.h"

namespace testing_support {

// At least one message of each of the 51 cases and of each alternative of their nested payloads, with
// values at the edges of the stated ranges (255-byte strings, 61440-byte parts, 32 displays, ...).
std::vector<TrackpadProtocol::Message> sampleMessages();

// Small messages only (no part or image larger than a few bytes), one or more of each case.
std::vector<TrackpadProtocol::Message> smallSampleMessages();

// The case name of a message, e.g. "move" or "unlockRequest".
std::string caseName(const TrackpadProtocol::Message& message);

}  // namespace testing_support
