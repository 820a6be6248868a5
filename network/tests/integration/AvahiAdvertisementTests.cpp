// The advertisement through a real avahi-daemon, which runs in a network namespace of its own with only
// loopback, on a private system bus; avahi-browse checks what it publishes.
#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "network/AvahiServiceAdvertiser.h"
#include "platform/EventLoop.h"
#include "testing/AvahiSandbox.h"

namespace CompanionNetwork {
namespace {

using namespace std::chrono_literals;
using testing_support::AvahiSandbox;
using testing_support::BrowsedService;

struct Recorder {
    void attach(ServiceAdvertiser& advertiser) {
        advertiser.setStateHandler([this](const ServiceAdvertiser::State& state) { states.push_back(state); });
    }
    const ServiceAdvertiser::State* last() const { return states.empty() ? nullptr : &states.back(); }
    template <typename Case>
    bool lastIs() const {
        return last() && std::holds_alternative<Case>(*last());
    }
    std::string advertisedName() const { return std::get<ServiceAdvertiser::Advertising>(*last()).instanceName; }

    std::vector<ServiceAdvertiser::State> states;
};

std::string describe(const std::vector<ServiceAdvertiser::State>& states) {
    std::string text;
    for (const auto& state : states) {
        if (const auto* advertising = std::get_if<ServiceAdvertiser::Advertising>(&state))
            text += "advertising(" + advertising->instanceName + ") ";
        else if (const auto* unavailable = std::get_if<ServiceAdvertiser::Unavailable>(&state))
            text += "unavailable(" + unavailable->reason + ") ";
        else
            text += "failed(" + std::get<ServiceAdvertiser::Failed>(state).reason + ") ";
    }
    return text;
}

class AvahiAdvertisement : public ::testing::Test {
protected:
    // libdbus reads the system bus address once per process, so the tests of a process share one bus
    // (restarted at the same address when a test stopped it); each test gets a daemon of its own.
    static void SetUpTestSuite() {
        skipReason_ = AvahiSandbox::unavailableReason();
        if (skipReason_)
            return;
        sandbox_ = new AvahiSandbox();
        environment_ = new testing_support::ScopedEnvironment(
            testing_support::EnvironmentChanges{{"DBUS_SYSTEM_BUS_ADDRESS", sandbox_->systemBusAddress()}});
    }

    static void TearDownTestSuite() {
        delete environment_;
        environment_ = nullptr;
        delete sandbox_;
        sandbox_ = nullptr;
    }

    void SetUp() override {
        if (skipReason_)
            GTEST_SKIP() << "no private Avahi here: " << *skipReason_;
        sandbox = sandbox_;
        if (!sandbox->busRunning())
            sandbox->startBus();
    }

    void TearDown() override {
        if (sandbox)
            sandbox->stopAvahi();
    }

    // Runs the loop until `done` holds (bounded: a daemon's probing takes about a second).
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 15s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            loop.runFor(0.02);
        }
        return true;
    }

    // Browses until `wanted` holds for what is found (bounded).
    std::vector<BrowsedService> browseUntil(std::string_view type,
                                            const std::function<bool(const std::vector<BrowsedService>&)>& wanted) {
        std::vector<BrowsedService> found;
        testing_support::waitUntil(
            [&] {
                found = sandbox->browse(type);
                return wanted(found);
            },
            10s);
        return found;
    }

    static bool has(const std::vector<BrowsedService>& services, const std::string& name) {
        return std::any_of(services.begin(), services.end(), [&](const auto& s) { return s.name == name; });
    }

    platform::EventLoop loop;
    AvahiSandbox* sandbox = nullptr;
    AvahiServiceAdvertiser::Options quickRetry{50ms, 200ms};

    static inline std::optional<std::string> skipReason_;
    static inline AvahiSandbox* sandbox_ = nullptr;
    static inline testing_support::ScopedEnvironment* environment_ = nullptr;
};

TEST_F(AvahiAdvertisement, PublishesBothServiceTypesWithTheTXTRecordsAndWithdrawsThem) {
    sandbox->startAvahi();
    AvahiServiceAdvertiser advertiser(loop, quickRetry);
    Recorder recorder;
    recorder.attach(advertiser);
    const auto hostID = *TrackpadProtocol::UUID::parse("6f1c2d3e-4a5b-4c6d-8e7f-0123456789ab");
    const std::vector<std::string> wake{"3C:22:FB:01:02:0A", "3c:22:fb:01:02:0b"};
    advertiser.advertise({"Ada's Workstation", 50123, 50124, makeServiceTXT(hostID, wake)});
    ASSERT_TRUE(runUntil([&] { return recorder.lastIs<ServiceAdvertiser::Advertising>(); }))
        << describe(recorder.states) << "\n" << sandbox->avahiLog();
    EXPECT_EQ(recorder.advertisedName(), "Ada's Workstation");

    for (const auto& [type, port] : {std::pair{serviceTypeTCP, 50123}, std::pair{serviceTypeUDP, 50124}}) {
        const auto services = browseUntil(type, [](const auto& found) { return !found.empty(); });
        ASSERT_EQ(services.size(), 1u) << type;
        const BrowsedService& service = services[0];
        EXPECT_EQ(service.name, "Ada's Workstation");
        EXPECT_EQ(service.type, type);
        EXPECT_EQ(service.domain, "local");
        EXPECT_EQ(service.interfaceName, "lo");
        EXPECT_EQ(service.port, port);
        std::vector<std::string> txt = service.txt;
        std::sort(txt.begin(), txt.end());
        EXPECT_EQ(txt, (std::vector<std::string>{"hw=3c:22:fb:01:02:0a,3c:22:fb:01:02:0b",
                                                 "id=6F1C2D3E-4A5B-4C6D-8E7F-0123456789AB", "v=1"}))
            << type;
    }

    // A new advertisement replaces the old one on the same connection.
    advertiser.advertise({"Ada's Workstation", 50125, 50126, makeServiceTXT(hostID, {})});
    ASSERT_TRUE(runUntil([&] { return recorder.states.size() == 2; })) << describe(recorder.states);
    EXPECT_EQ(recorder.states[1], ServiceAdvertiser::State(ServiceAdvertiser::Advertising{"Ada's Workstation"}));
    const auto replaced = browseUntil(serviceTypeUDP, [](const auto& found) {
        return found.size() == 1 && found[0].port == 50126;
    });
    ASSERT_EQ(replaced.size(), 1u);
    EXPECT_EQ(replaced[0].port, 50126);
    EXPECT_EQ(replaced[0].txt.size(), 2u) << "hw left out without addresses";

    advertiser.withdraw();
    loop.runFor(0.05);
    for (const auto type : {serviceTypeTCP, serviceTypeUDP})
        EXPECT_TRUE(browseUntil(type, [](const auto& found) { return found.empty(); }).empty()) << type;
    EXPECT_EQ(recorder.states.size(), 2u) << describe(recorder.states);
}

TEST_F(AvahiAdvertisement, ALongNameIsCutAndATakenNameGetsAvahisAlternative) {
    sandbox->startAvahi();
    std::string longName;
    for (int i = 0; i < 40; ++i)
        longName += "é";  // 80 bytes
    const std::string cut = advertisedInstanceName(longName);
    ASSERT_EQ(cut.size(), 62u);

    AvahiServiceAdvertiser first(loop, quickRetry), second(loop, quickRetry);
    Recorder firstStates, secondStates;
    firstStates.attach(first);
    secondStates.attach(second);
    first.advertise({longName, 50200, 50201, {{"v", "1"}}});
    ASSERT_TRUE(runUntil([&] { return firstStates.lastIs<ServiceAdvertiser::Advertising>(); }))
        << describe(firstStates.states);
    EXPECT_EQ(firstStates.advertisedName(), cut);

    // The same daemon holds the name already: the second one moves to "<name> #2", still one label.
    second.advertise({longName, 50300, 50301, {{"v", "1"}}});
    ASSERT_TRUE(runUntil([&] { return secondStates.lastIs<ServiceAdvertiser::Advertising>(); }))
        << describe(secondStates.states);
    const std::string renamed = secondStates.advertisedName();
    EXPECT_NE(renamed, cut);
    EXPECT_LE(renamed.size(), maxInstanceNameBytes);
    EXPECT_TRUE(renamed.ends_with(" #2")) << renamed;
    EXPECT_EQ(advertisedInstanceName(renamed), renamed) << "not cut on a character boundary";

    for (const auto type : {serviceTypeTCP, serviceTypeUDP}) {
        const auto services =
            browseUntil(type, [&](const auto& found) { return has(found, cut) && has(found, renamed); });
        EXPECT_TRUE(has(services, cut) && has(services, renamed)) << type;
    }

    // A name the daemon refuses outright fails, and says which.
    AvahiServiceAdvertiser refused(loop, quickRetry);
    Recorder refusedStates;
    refusedStates.attach(refused);
    refused.advertise({"", 50400, 50401, {}});
    ASSERT_TRUE(runUntil([&] { return refusedStates.lastIs<ServiceAdvertiser::Failed>(); }))
        << describe(refusedStates.states);
    EXPECT_NE(std::get<ServiceAdvertiser::Failed>(refusedStates.states.back()).reason.find("\"\""),
              std::string::npos);
}

TEST_F(AvahiAdvertisement, FollowsTheDaemonAwayAndBack) {
    AvahiServiceAdvertiser advertiser(loop, quickRetry);
    Recorder recorder;
    recorder.attach(advertiser);
    advertiser.advertise({"Follower", 50400, 50401, {{"v", "1"}}});
    ASSERT_TRUE(runUntil([&] { return recorder.lastIs<ServiceAdvertiser::Unavailable>(); }))
        << describe(recorder.states);

    sandbox->startAvahi();
    ASSERT_TRUE(runUntil([&] { return recorder.lastIs<ServiceAdvertiser::Advertising>(); }))
        << describe(recorder.states) << "\n" << sandbox->avahiLog();
    EXPECT_TRUE(has(browseUntil(serviceTypeTCP, [](const auto& f) { return has(f, "Follower"); }), "Follower"));

    sandbox->stopAvahi();
    ASSERT_TRUE(runUntil([&] { return recorder.lastIs<ServiceAdvertiser::Unavailable>(); }))
        << describe(recorder.states);

    sandbox->startAvahi();
    ASSERT_TRUE(runUntil([&] { return recorder.lastIs<ServiceAdvertiser::Advertising>(); }))
        << describe(recorder.states) << "\n" << sandbox->avahiLog();
    EXPECT_TRUE(has(browseUntil(serviceTypeUDP, [](const auto& f) { return has(f, "Follower"); }), "Follower"));
    EXPECT_FALSE(std::any_of(recorder.states.begin(), recorder.states.end(), [](const auto& state) {
        return std::holds_alternative<ServiceAdvertiser::Failed>(state);
    })) << describe(recorder.states);
}

TEST_F(AvahiAdvertisement, ComesBackAfterTheSystemBusRestarts) {
    sandbox->startAvahi();
    AvahiServiceAdvertiser advertiser(loop, quickRetry);
    Recorder recorder;
    recorder.attach(advertiser);
    advertiser.advertise({"Survivor", 50500, 50501, {{"v", "1"}}});
    ASSERT_TRUE(runUntil([&] { return recorder.lastIs<ServiceAdvertiser::Advertising>(); }))
        << describe(recorder.states);

    // The bus goes, and the daemon with it: the client's connection fails and is made anew.
    sandbox->stopAvahi();
    sandbox->stopBus();
    ASSERT_TRUE(runUntil([&] { return recorder.lastIs<ServiceAdvertiser::Unavailable>(); }))
        << describe(recorder.states);
    loop.runFor(0.3);  // a few retries against no bus at all

    sandbox->startBus();
    sandbox->startAvahi();
    ASSERT_TRUE(runUntil([&] { return recorder.lastIs<ServiceAdvertiser::Advertising>(); }))
        << describe(recorder.states) << "\n" << sandbox->avahiLog();
    EXPECT_EQ(recorder.advertisedName(), "Survivor");
    EXPECT_TRUE(has(browseUntil(serviceTypeTCP, [](const auto& f) { return has(f, "Survivor"); }), "Survivor"));
}

}  // namespace
}  // namespace CompanionNetwork
