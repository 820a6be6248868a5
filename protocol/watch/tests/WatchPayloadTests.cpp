// The watch payload's byte form, pinned by hand-worked examples, its reader's error for every malformed
// byte, the status operations, and the connection summary texts.
#include <gtest/gtest.h>

#include "WatchTestSupport.h"
#include "protocol/watch/WatchConnectionSummary.h"
#include "protocol/watch/WatchPayload.h"

namespace watch_test {
namespace {

using Mac = WatchStatus::Mac;

Data concat(std::initializer_list<Data> parts) {
    Data out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(WatchPayloadFormat, HandWorkedBytes) {
    EXPECT_EQ(WatchPayload(WatchPayload::StatusRequest{}).encoded(), (Data{1, 1}));

    const Message m = move(1.5f, -2);
    const Data input = WatchPayload(WatchPayload::Input{m, std::nullopt, 5}).encoded();
    EXPECT_EQ(input, concat({{1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 5}, MessageCodec::encode(m)}));

    const Data targeted = WatchPayload(WatchPayload::Input{m, uuid(0xAB), 0x0102030405060708}).encoded();
    EXPECT_EQ(targeted,
              concat({{1, 2, 1}, Data(16, 0xAB), {1, 2, 3, 4, 5, 6, 7, 8}, MessageCodec::encode(m)}));

    // notConnected without a name and with a one-letter problem; no target; session 0.
    const WatchStatus problem(false, Mac::NotConnected{std::nullopt, "x"}, std::nullopt, 0);
    EXPECT_EQ(WatchPayload(WatchPayload::Status{problem}).encoded(),
              (Data{1, 3, 0, 6, 0, 1, 0, 1, 'x', 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    const WatchStatus named = connected("Ab", uuid(7), 9);
    EXPECT_EQ(WatchPayload(WatchPayload::InputResult{true, named}).encoded(),
              concat({{1, 4, 1, 1, 4, 0, 2, 'A', 'b', 1}, Data(16, 7), {0, 0, 0, 0, 0, 0, 0, 9}}));

    // A negative session in a status block is written as 0; an input with one is refused.
    const WatchStatus negative(true, Mac::Demo{}, std::nullopt, -1);
    EXPECT_EQ(WatchPayload(WatchPayload::Status{negative}).encoded(),
              (Data{1, 3, 1, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    const auto refused = writeError(WatchPayload::Input{m, std::nullopt, -1});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->kind(), EncodingError::Kind::invalidValue);
}

TEST(WatchPayloadFormat, EveryCaseRoundTrips) {
    const std::vector<WatchStatus> statuses = {
        WatchStatus::unavailable,
        WatchStatus(true, Mac::NoMacPaired{}, std::nullopt, 0),
        WatchStatus(true, Mac::NoMacSelected{}, uuid(1), 1),
        WatchStatus(false, Mac::Pairing{}, std::nullopt, 2),
        WatchStatus(true, Mac::Connecting{"Studio"}, uuid(2), 3),
        connected("Büro 🖥", uuid(3), INT64_MAX),
        WatchStatus(true, Mac::NeedsAccessibility{""}, std::nullopt, 5),
        WatchStatus(true, Mac::NotConnected{"Desk", std::nullopt}, uuid(4), 6),
        WatchStatus(true, Mac::NotConnected{"Desk", "Asleep"}, uuid(4), 6),
        WatchStatus(true, Mac::Demo{}, std::nullopt, 7),
    };
    std::vector<WatchPayload> payloads = {WatchPayload::StatusRequest{}};
    for (const auto& status : statuses) {
        payloads.push_back(WatchPayload::Status{status});
        payloads.push_back(WatchPayload::InputResult{false, status});
        payloads.push_back(status.inputPayload(Message::Text{"hello"}));
    }
    for (const auto& payload : payloads) {
        SCOPED_TRACE(payload.description());
        const auto bytes = payload.encoded();
        EXPECT_EQ(WatchPayload(bytes), payload);
        EXPECT_EQ(WatchPayload(bytes).kind(), payload.kind());
    }
}

TEST(WatchPayloadFormat, ReaderGivesTheExactErrorForEachMalformedByte) {
    const Data status = WatchPayload(WatchPayload::Status{connected("A", uuid(1), 1)}).encoded();
    struct Case {
        const char* name;
        Data bytes;
        DecodingError expected;
    };
    const std::vector<Case> cases = {
        {"empty", {}, DecodingError::truncated()},
        {"version 2", {2, 1}, DecodingError::unsupportedVersion(2)},
        {"version 0", {0}, DecodingError::unsupportedVersion(0)},
        {"no kind", {1}, DecodingError::truncated()},
        {"kind 0", {1, 0}, DecodingError::unknownMessageType(0)},
        {"kind 5", {1, 5}, DecodingError::unknownMessageType(5)},
        {"status request with leftovers", {1, 1, 9, 9}, DecodingError::trailingBytes(2)},
        {"input without flag", {1, 2}, DecodingError::truncated()},
        {"input flag 2", {1, 2, 2}, DecodingError::invalidValue()},
        {"input with a short target", concat({{1, 2, 1}, Data(15, 0)}), DecodingError::truncated()},
        {"input with a short session", {1, 2, 0, 0, 0, 0}, DecodingError::truncated()},
        {"input session with its top bit set",
         {1, 2, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0x10},
         DecodingError::invalidValue()},
        {"input without a message", {1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DecodingError::truncated()},
        {"input with an unknown message type",
         {1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xEE},
         DecodingError::unknownMessageType(0xEE)},
        {"phone-app byte 2", {1, 3, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DecodingError::invalidValue()},
        {"Mac kind 8", {1, 3, 1, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0}, DecodingError::invalidValue()},
        {"missing Mac kind", {1, 3, 1}, DecodingError::truncated()},
        {"name flag 2", {1, 3, 1, 6, 2}, DecodingError::invalidValue()},
        {"problem flag 2", {1, 3, 1, 6, 0, 2}, DecodingError::invalidValue()},
        {"target flag 2", {1, 3, 1, 0, 2}, DecodingError::invalidValue()},
        {"status session with its top bit set",
         {1, 3, 1, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0},
         DecodingError::invalidValue()},
        {"short text length", {1, 3, 1, 4, 0}, DecodingError::truncated()},
        {"text of 513 bytes", concat({{1, 3, 1, 4, 0x02, 0x01}, Data(513, 'a'), Data(9, 0)}),
         DecodingError::invalidValue()},
        {"text shorter than its length", {1, 3, 1, 4, 0, 5, 'a', 'b'}, DecodingError::truncated()},
        {"overlong UTF-8",
         {1, 3, 1, 4, 0, 2, 0xC0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         DecodingError::invalidValue()},
        {"surrogate",
         {1, 3, 1, 4, 0, 3, 0xED, 0xA0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         DecodingError::invalidValue()},
        {"past U+10FFFF",
         {1, 3, 1, 4, 0, 4, 0xF4, 0x90, 0x80, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         DecodingError::invalidValue()},
        {"input result without delivered", {1, 4}, DecodingError::truncated()},
        {"delivered byte 2", {1, 4, 2}, DecodingError::invalidValue()},
        {"status with a leftover", concat({status, {0}}), DecodingError::trailingBytes(1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto error = readError(c.bytes);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(*error, c.expected) << error->what();
    }
    // Every shorter prefix of a valid payload is truncated.
    for (std::size_t length = 1; length < status.size(); ++length) {
        const auto error =
            readError(Data(status.begin(), status.begin() + static_cast<std::ptrdiff_t>(length)));
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, DecodingError::truncated()) << length;
    }
    // The largest session that fits reads back.
    const Data largest = {1, 3, 1, 7, 0, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(WatchPayload(largest).carriedStatus()->inputSession, INT64_MAX);
}

std::string repeat(const std::string& piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

std::string writtenName(const std::string& name) {
    const auto bytes = WatchPayload(WatchPayload::Status{connected(name, std::nullopt, 0)}).encoded();
    return WatchPayload(bytes).carriedStatus()->mac.name().value();
}

TEST(WatchPayloadFormat, TextsAreCutTo512BytesOnWholeCharacters) {
    EXPECT_EQ(writtenName(std::string(600, 'a')), std::string(512, 'a'));
    EXPECT_EQ(writtenName(std::string(512, 'a')), std::string(512, 'a'));
    // A three-byte character across the limit stays out whole.
    EXPECT_EQ(writtenName(std::string(511, 'a') + "€"), std::string(511, 'a'));
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // 18 bytes, one character
    EXPECT_EQ(writtenName(std::string(500, 'a') + family), std::string(500, 'a'));
    EXPECT_EQ(writtenName(repeat(family, 40)), repeat(family, 28));
    // Bytes that are not UTF-8 are replaced, so the reader accepts what the writer wrote.
    EXPECT_EQ(writtenName("a\xFF"
                          "b"),
              "a\uFFFD"
              "b");
}

TEST(WatchStatusOperations, AcceptsInputMatchesAndInputPayload) {
    EXPECT_TRUE(connected("A", std::nullopt, 0).acceptsInput());
    EXPECT_FALSE(WatchStatus(false, Mac::Connected{"A"}, std::nullopt, 0).acceptsInput());
    EXPECT_TRUE(WatchStatus(true, Mac::Demo{}, std::nullopt, 0).acceptsInput());
    for (const Mac& mac :
         {Mac(Mac::Connecting{"A"}), Mac(Mac::NeedsAccessibility{"A"}), Mac(Mac::NotConnected{}),
          Mac(Mac::Pairing{}), Mac(Mac::NoMacSelected{}), Mac(Mac::NoMacPaired{})})
        EXPECT_FALSE(WatchStatus(true, mac, std::nullopt, 0).acceptsInput());

    const auto status = connected("A", std::nullopt, 4);
    EXPECT_TRUE(status.matches(std::nullopt, 4));
    EXPECT_FALSE(status.matches(uuid(1), 4));
    EXPECT_FALSE(status.matches(std::nullopt, 5));
    EXPECT_FALSE(connected("A", uuid(1), 4).matches(std::nullopt, 4));
    EXPECT_TRUE(connected("A", uuid(1), 4).matches(uuid(1), 4));

    EXPECT_EQ(connected("A", uuid(2), 3).inputPayload(move(1, 2)),
              WatchPayload(WatchPayload::Input{move(1, 2), uuid(2), 3}));
    EXPECT_TRUE(WatchPayload(WatchPayload::InputResult{true, status}).isDelivered());
    EXPECT_FALSE(WatchPayload(WatchPayload::InputResult{false, status}).isDelivered());
    EXPECT_FALSE(WatchPayload(WatchPayload::Status{status}).isDelivered());
}

TEST(WatchPayloadFormat, KindsAndWatchInputCases) {
    EXPECT_FALSE(WatchPayload::kindFromRaw(0));
    EXPECT_EQ(WatchPayload::kindFromRaw(4), WatchPayload::Kind::inputResult);
    EXPECT_FALSE(WatchPayload::kindFromRaw(5));
    EXPECT_EQ(Mac(Mac::Demo{}).kind(), Mac::Kind::demo);
    EXPECT_EQ(Mac(Mac::NotConnected{}).kind(), Mac::Kind::notConnected);

    int inputs = 0;
    for (const auto& message :
         std::vector<Message>{move(1, 1), Message::Tap{}, Message::Drag{}, scroll(0, 1), Message::Gesture{},
                              Message::KeyCombination{}, Message::Text{"a"}, Message::MediaCommand{},
                              Message::QuickAction{}, Message::RightClick{}})
        inputs += isWatchInput(message);
    EXPECT_EQ(inputs, 10);
    for (const auto& message : std::vector<Message>{
             Message::Annotation{}, Message::UnlockRequest{}, Message::SetVolume{}, Message::AppsRequest{},
             Message::Positioned{move(1, 1), {}}, Message::Probe{}, Message::PairingRequest{}})
        EXPECT_FALSE(isWatchInput(message)) << message.description();
}

TEST(WatchPayloadFormat, DescriptionRedactsPasswords) {
    UnlockRequest request{7, "hunter2"};
    const WatchPayload payload = WatchPayload::Input{Message::UnlockRequest{request}, std::nullopt, 0};
    EXPECT_EQ(payload.description().find("hunter2"), std::string::npos);
    EXPECT_NE(payload.description().find("<redacted>"), std::string::npos);
}

// ---- Connection summary ----------------------------------------------------------------------------

using Health = WatchConnectionSummary::Health;
using Item = WatchConnectionSummary::Item;

TEST(WatchConnectionSummaryTexts, PhoneStates) {
    EXPECT_EQ(WatchConnectionSummary(WatchPhoneState{WatchPhoneState::Checking{}}),
              WatchConnectionSummary({Health::pending, "Checking\u2026"}, {Health::unknown, "Unknown"},
                                     std::nullopt));
    EXPECT_EQ(WatchConnectionSummary(WatchPhoneState{WatchPhoneState::Unreachable{}}),
              WatchConnectionSummary({Health::problem, "Not reachable"}, {Health::unknown, "Unknown"},
                                     "Keep your iPhone nearby with Bluetooth on, then open Lumivex on it."));
    EXPECT_EQ(WatchConnectionSummary(WatchPhoneState{WatchPhoneState::NoAnswer{}}),
              WatchConnectionSummary({Health::problem, "Not answering"}, {Health::unknown, "Unknown"},
                                     "Open Lumivex on your iPhone, then tap Check Again."));
    EXPECT_EQ(std::string("Checking\u2026"), "Checking\xE2\x80\xA6");

    const WatchPhoneState a{WatchPhoneState::Answered{connected("A", std::nullopt, 1)}};
    EXPECT_EQ(a, (WatchPhoneState{WatchPhoneState::Answered{connected("A", std::nullopt, 1)}}));
    EXPECT_NE(a, (WatchPhoneState{WatchPhoneState::Answered{connected("A", std::nullopt, 2)}}));
    EXPECT_NE(WatchPhoneState{WatchPhoneState::Checking{}}, WatchPhoneState{WatchPhoneState::NoAnswer{}});
}

TEST(WatchConnectionSummaryTexts, EveryComputerState) {
    struct Case {
        Mac mac;
        Item line;
        std::optional<std::string> advice;
    };
    const std::vector<Case> cases = {
        {Mac::Connected{"Desk"}, {Health::ready, "Connected", "Desk"}, std::nullopt},
        {Mac::Connecting{"Desk"}, {Health::pending, "Connecting\u2026", "Desk"}, std::nullopt},
        {Mac::NeedsAccessibility{"Desk"},
         {Health::problem, "Needs permission", "Desk"},
         "On the Mac, turn on Lumivex in System Settings > Privacy & Security > Accessibility."},
        {Mac::NotConnected{"Desk", "Asleep."}, {Health::problem, "Not connected", "Desk"}, "Asleep."},
        {Mac::NotConnected{},
         {Health::problem, "Not connected", std::nullopt},
         "Make sure the Mac is awake, on the same Wi-Fi as your iPhone and running Lumivex."},
        {Mac::Pairing{}, {Health::pending, "Pairing"}, "Finish adding the Mac on your iPhone."},
        {Mac::Demo{},
         {Health::pending, "Demo mode", "Demo Mac"},
         "Lumivex on your iPhone is in demo mode. Choose a Mac there to control it."},
        {Mac::NoMacSelected{}, {Health::problem, "No Mac chosen"}, "Choose a Mac in Lumivex on your iPhone."},
        {Mac::NoMacPaired{}, {Health::problem, "No Mac added"}, "Add a Mac in Lumivex on your iPhone."},
    };
    for (const auto& c : cases) {
        const WatchStatus status(true, c.mac, std::nullopt, 0);
        const WatchConnectionSummary summary(WatchPhoneState{WatchPhoneState::Answered{status}});
        EXPECT_EQ(summary, WatchConnectionSummary({Health::ready, "Connected"}, c.line, c.advice))
            << c.line.status;
        EXPECT_EQ(summary.isReady(), c.mac.kind() == Mac::Kind::connected);

        // An inactive phone app gives the closed summary whatever the computer, keeping its name.
        const WatchConnectionSummary closed(WatchStatus(false, c.mac, std::nullopt, 0));
        EXPECT_EQ(closed,
                  WatchConnectionSummary(
                      {Health::pending, "Lumivex closed"}, {Health::unknown, "Not connected", c.mac.name()},
                      "Open Lumivex on your iPhone. It connects to your Mac while it's open."));
        EXPECT_FALSE(closed.isReady());
    }
    EXPECT_EQ(Mac(Mac::Demo{}).name(), "Demo Mac");
    EXPECT_EQ(Mac(Mac::Pairing{}).name(), std::nullopt);
    // The texts go through the localizer.
    const WatchConnectionSummary german(
        WatchStatus(true, Mac::Demo{}, std::nullopt, 0),
        [](std::string_view english) { return "de:" + std::string(english); });
    EXPECT_EQ(german.mac.name, "de:Demo Mac");
    EXPECT_EQ(german.phone.status, "de:Connected");
}

}  // namespace
}  // namespace watch_test
