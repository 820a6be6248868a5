#include <gtest/gtest.h>

#include "network/TrustedDeviceFile.h"
#include "network/tests/TestSupport.h"

namespace CompanionNetwork {
namespace {

using namespace std::chrono;
using tests::referenceDate;

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TrustedDeviceList sampleList() {
    TrustedDeviceList list;
    list.hostID = *UUID::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    list.devices.push_back({*UUID::parse("00000000-0000-4000-8000-000000000001"), "Ana’s iPhone 📱",
                            referenceDate(), referenceDate(3600.25), tests::digestFilledWith(0xAB)});
    list.devices.push_back({*UUID::parse("00000000-0000-4000-8000-000000000002"), "Second \"quoted\"\n",
                            referenceDate(-86400 * 400) + nanoseconds(7), std::nullopt,
                            tests::digestFilledWith(0)});
    list.tlsPrivateKey = {0x30, 0x81, 0x87, 0x02, 0x01, 0x00, 0xFF};
    return list;
}

TEST(TrustedDeviceFile, RoundTripKeepsEveryField) {
    TrustedDeviceList list = sampleList();
    EXPECT_EQ(TrustedDeviceFile::decode(bytesOf(TrustedDeviceFile::encode(list))), list);

    TrustedDeviceList empty;
    empty.hostID = UUID::random();
    empty.tlsPrivateKey = {1};
    EXPECT_EQ(TrustedDeviceFile::decode(bytesOf(TrustedDeviceFile::encode(empty))), empty);
}

TEST(TrustedDeviceFile, ReadsTheDocumentedForm) {
    std::string text = R"({
      "format": 1,
      "hostID": "e621e1f8-c36c-495a-93fc-0c247a3e6e5f",
      "devices": [
        {"id": "00000000-0000-4000-8000-000000000001", "name": "Phone", "pairedAt": "2024-05-01T09:30:00Z",
         "lastConnectedAt": null, "tokenDigest": "q6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6s="},
        {"id": "00000000-0000-4000-8000-000000000002", "name": "Other", "pairedAt": "2024-05-01T09:30:00.5Z",
         "tokenDigest": "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", "extra": true}
      ],
      "tlsPrivateKey": "MIGH"
    })";
    TrustedDeviceList list = TrustedDeviceFile::decode(bytesOf(text));
    EXPECT_EQ(list.hostID.uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    ASSERT_EQ(list.devices.size(), 2u);
    EXPECT_EQ(list.devices[0].name, "Phone");
    EXPECT_EQ(list.devices[0].pairedAt, referenceDate());
    EXPECT_FALSE(list.devices[0].lastConnectedAt);
    EXPECT_EQ(list.devices[0].tokenDigest, tests::digestFilledWith(0xAB));
    EXPECT_EQ(list.devices[1].pairedAt, referenceDate(0.5));
    EXPECT_FALSE(list.devices[1].lastConnectedAt) << "an absent lastConnectedAt reads as none";
    EXPECT_EQ(list.tlsPrivateKey, (Data{0x30, 0x81, 0x87}));
}

TEST(TrustedDeviceFile, WritesTheDocumentedForm) {
    std::string text = TrustedDeviceFile::encode(sampleList());
    EXPECT_NE(text.find(R"("format": 1)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("hostID": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F")"), std::string::npos);
    EXPECT_NE(text.find(R"("pairedAt": "2024-05-01T09:30:00Z")"), std::string::npos);
    EXPECT_NE(text.find(R"("lastConnectedAt": "2024-05-01T10:30:00.25Z")"), std::string::npos);
    EXPECT_NE(text.find(R"("lastConnectedAt": null)"), std::string::npos);
    EXPECT_NE(text.find(R"("tokenDigest": "q6urq6urq6urq6urq6urq6urq6urq6urq6urq6urq6s=")"),
              std::string::npos);
    EXPECT_NE(text.find(R"("tlsPrivateKey": "MIGHAgEA/w==")"), std::string::npos);
}

TEST(TrustedDeviceFile, NameThatIsNotUTF8StillSaves) {
    TrustedDeviceList list = sampleList();
    list.devices[0].name = "bad \xFF\xFE name";
    TrustedDeviceList read = TrustedDeviceFile::decode(bytesOf(TrustedDeviceFile::encode(list)));
    EXPECT_EQ(read.devices[0].name, "bad \xEF\xBF\xBD\xEF\xBF\xBD name");
}

struct DamagedCase {
    const char* label;
    std::string text;
    std::string reason;
};

std::string withDevice(const std::string& device) {
    return R"({"format": 1, "hostID": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "devices": [)" + device +
           R"(], "tlsPrivateKey": "AQ=="})";
}
const std::string goodDigest = R"("tokenDigest": "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=")";
const std::string goodID = R"("id": "00000000-0000-4000-8000-000000000001")";

TEST(TrustedDeviceFile, DamagedListsAreUnreadableWithAReason) {
    const std::vector<DamagedCase> cases = {
        {"empty", "", "the file is empty"},
        {"not JSON", "hello", "not valid JSON at byte 1"},
        {"cut short", R"({"format": 1, "hostID": )", "not valid JSON at byte 25"},
        {"array", "[1, 2]", "not a JSON object"},
        {"number beyond double", R"({"format": 1E621})", "not valid JSON: a number is out of range"},
        {"no format", R"({"hostID": "x"})", "\"format\" is missing"},
        {"format as text", R"({"format": "1"})", "\"format\" is not a whole number"},
        {"fractional format", R"({"format": 1.5})", "\"format\" is not a whole number"},
        {"format zero", R"({"format": 0})", "unknown format 0"},
        {"negative format", R"({"format": -3})", "unknown format -3"},
        {"format beyond Int", R"({"format": 18446744073709551615})", "\"format\" is out of range"},
        {"no host", R"({"format": 1, "devices": []})", "\"hostID\" is missing"},
        {"bad host", R"({"format": 1, "hostID": "E621E1F8"})", "\"hostID\" is not a UUID"},
        {"devices not a list",
         R"({"format": 1, "hostID": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "devices": {}})",
         "\"devices\" is not a list"},
        {"device not an object", withDevice("7"), "device 1: not an object"},
        {"device without id", withDevice(R"({"name": "a"})"), "device 1: \"id\" is missing"},
        {"device name a number",
         withDevice("{" + goodID + R"(, "name": 5, "pairedAt": "2024-05-01T09:30:00Z", )" + goodDigest + "}"),
         "device 1: \"name\" is not text"},
        {"impossible date",
         withDevice("{" + goodID + R"(, "name": "a", "pairedAt": "2024-02-30T09:30:00Z", )" + goodDigest +
                    "}"),
         "device 1: \"pairedAt\" is not a date"},
        {"date out of the clock's range",
         withDevice("{" + goodID + R"(, "name": "a", "pairedAt": "9999-12-31T23:59:59Z", )" + goodDigest +
                    "}"),
         "device 1: \"pairedAt\" is not a date"},
        {"lastConnectedAt a number",
         withDevice("{" + goodID +
                    R"(, "name": "a", "pairedAt": "2024-05-01T09:30:00Z", "lastConnectedAt": 3, )" +
                    goodDigest + "}"),
         "device 1: \"lastConnectedAt\" is not a date"},
        {"short digest",
         withDevice("{" + goodID +
                    R"(, "name": "a", "pairedAt": "2024-05-01T09:30:00Z", "tokenDigest": "AAAA"})"),
         "device 1: \"tokenDigest\" is not 32 bytes of base64"},
        {"digest not base64",
         withDevice(
             "{" + goodID +
             R"(, "name": "a", "pairedAt": "2024-05-01T09:30:00Z", "tokenDigest": "!AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="})"),
         "device 1: \"tokenDigest\" is not 32 bytes of base64"},
        {"same device twice",
         withDevice("{" + goodID + R"(, "name": "a", "pairedAt": "2024-05-01T09:30:00Z", )" + goodDigest +
                    "}, {" + goodID + R"(, "name": "b", "pairedAt": "2024-05-01T09:30:00Z", )" + goodDigest +
                    "}"),
         "device 2 appears twice"},
        {"no key", R"({"format": 1, "hostID": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "devices": []})",
         "\"tlsPrivateKey\" is missing"},
        {"empty key",
         R"({"format": 1, "hostID": "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "devices": [], "tlsPrivateKey": ""})",
         "\"tlsPrivateKey\" is not base64"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        try {
            TrustedDeviceFile::decode(bytesOf(c.text));
            ADD_FAILURE() << "decoded";
        } catch (const TrustedDeviceStoreError& error) {
            EXPECT_EQ(error.kind(), TrustedDeviceStoreError::Kind::unreadable);
            EXPECT_EQ(error.reason(), c.reason);
        }
    }
}

TEST(TrustedDeviceFile, NewerFormatIsRecognisedBeforeAnythingElse) {
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {R"({"format": 2})", 2},
        {R"({"devices": "whatever shape a newer version chose", "format": 3})", 3},
        {R"({"format": 9223372036854775807, "hostID": 5})", 9223372036854775807},
    };
    for (const auto& [text, format] : cases) {
        SCOPED_TRACE(text);
        try {
            TrustedDeviceFile::decode(bytesOf(text));
            ADD_FAILURE() << "decoded";
        } catch (const TrustedDeviceStoreError& error) {
            EXPECT_EQ(error, TrustedDeviceStoreError::unsupportedFormat(format));
        }
    }
}

TEST(TrustedDeviceFile, ErrorDescriptions) {
    EXPECT_STREQ(TrustedDeviceStoreError::unsupportedFormat(3).what(),
                 "The paired iPhones list was saved by a newer version of Lumivex (format 3).");
    EXPECT_EQ(TrustedDeviceStoreError::unreadable("not valid JSON at byte 1").description(),
              "The paired iPhones list is damaged and can't be read (not valid JSON at byte 1).");
}

TEST(TrustedDeviceFile, Dates) {
    using namespace std::chrono;
    const std::vector<std::pair<Date, std::string>> written = {
        {referenceDate(), "2024-05-01T09:30:00Z"},
        {referenceDate(0.5), "2024-05-01T09:30:00.5Z"},
        {referenceDate() + nanoseconds(1), "2024-05-01T09:30:00.000000001Z"},
        {Date{}, "1970-01-01T00:00:00Z"},
        {Date{} - seconds(1), "1969-12-31T23:59:59Z"},
        {sys_days(year{2000} / February / 29) + hours(23) + minutes(59) + seconds(59),
         "2000-02-29T23:59:59Z"},
    };
    for (const auto& [date, text] : written) {
        EXPECT_EQ(TrustedDeviceFile::formatDate(date), text);
        EXPECT_EQ(TrustedDeviceFile::parseDate(text), date) << text;
    }
    for (const char* bad :
         {"", "2024-05-01", "2024-05-01T09:30:00", "2024-05-01T09:30:00+00:00", "2024-05-01 09:30:00Z",
          "2024-13-01T09:30:00Z", "2023-02-29T09:30:00Z", "2024-05-01T24:00:00Z", "2024-05-01T09:60:00Z",
          "2024-05-01T09:30:60Z", "2024-05-01T09:30:00.Z", "2024-05-01T09:30:00.1234567890Z",
          "2024-05-01T09:30:00.1aZ", "+024-05-01T09:30:00Z", "0000-01-01T00:00:00Z", "1677-01-01T00:00:00Z"})
        EXPECT_FALSE(TrustedDeviceFile::parseDate(bad)) << bad;
}

TEST(TrustedDeviceFile, Base64) {
    const std::vector<std::pair<std::string, std::string>> vectors = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xFB\xFF", "+/8="},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(TrustedDeviceFile::base64Encode(bytesOf(plain)), encoded);
        auto decoded = TrustedDeviceFile::base64Decode(encoded);
        ASSERT_TRUE(decoded) << encoded;
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), plain);
    }
    for (const char* bad :
         {"Zg", "Zg=", "Z===", "Zh==", "Zm9=", "Zg==Zg==", "Zm 9v", "Zm9v\n", "Zm-v", "=Zm9"})
        EXPECT_FALSE(TrustedDeviceFile::base64Decode(bad)) << bad;
}

}  // namespace
}  // namespace CompanionNetwork
