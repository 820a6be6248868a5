// The D-Bus helpers against a private dbus-daemon and a small media-player service written with python3-dbus.
#include "platform/DBus.h"

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/EventLoop.h"
#include "testing/PrivateBus.h"
#include "testing/Subprocess.h"

namespace platform::dbus {
namespace {

using namespace std::chrono_literals;
using testing_support::PrivateBus;
using testing_support::Subprocess;

constexpr const char* playerName = "org.mpris.MediaPlayer2.probe";
constexpr const char* playerPath = "/org/mpris/MediaPlayer2";
constexpr const char* playerInterface = "org.mpris.MediaPlayer2.Player";
constexpr const char* probeInterface = "org.example.Probe";

// Owns the player name, answers Properties.Get/GetAll, echoes typed arguments, refuses one method, never
// answers another, and emits PropertiesChanged when told a new title.
constexpr const char* service = R"(
import sys, dbus, dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib
DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
PLAYER = 'org.mpris.MediaPlayer2.Player'

def metadata(title):
    return dbus.Dictionary({
        'mpris:trackid': dbus.ObjectPath('/org/mpris/MediaPlayer2/track/1'),
        'mpris:length': dbus.Int64(215000000),
        'xesam:title': dbus.String(title),
        'xesam:artist': dbus.Array(['Ann', 'Bo'], signature='s'),
        'mpris:artUrl': dbus.String('file:///tmp/art.png'),
        'xesam:trackNumber': dbus.Int32(-3, variant_level=1),
        'nested': dbus.Int32(7, variant_level=2),
        'pair': dbus.Struct((1, 2), signature='ii'),
    }, signature='sv')

class Player(dbus.service.Object):
    def __init__(self):
        dbus.service.Object.__init__(self, bus, '/org/mpris/MediaPlayer2')
        self.props = {'PlaybackStatus': dbus.String('Playing'), 'Metadata': metadata('First'),
                      'Volume': dbus.Double(0.5), 'CanPlay': dbus.Boolean(True)}
        self.hung = []

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='ss', out_signature='v')
    def Get(self, interface, name):
        if interface != PLAYER or name not in self.props:
            raise dbus.exceptions.DBusException('no such property', name='org.freedesktop.DBus.Error.UnknownProperty')
        return self.props[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature='s', out_signature='a{sv}')
    def GetAll(self, interface):
        return self.props if interface == PLAYER else {}

    @dbus.service.signal(dbus.PROPERTIES_IFACE, signature='sa{sv}as')
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method('org.example.Probe', in_signature='bynqiuxtdsoasa{sv}', out_signature='bynqiuxtdsoasa{sv}')
    def Echo(self, b, y, n, q, i, u, x, t, d, s, o, strings, dictionary):
        return (b, y, n, q, i, u, x, t, d, s, o, strings, dictionary)

    @dbus.service.method('org.example.Probe', in_signature='', out_signature='')
    def Refuse(self):
        raise dbus.exceptions.DBusException('not now', name='org.example.Error.Refused')

    @dbus.service.method('org.example.Probe', in_signature='', out_signature='', async_callbacks=('ok', 'err'))
    def Hang(self, ok, err):
        self.hung.append((ok, err))

    @dbus.service.method('org.example.Probe', in_signature='s', out_signature='')
    def SetTitle(self, title):
        self.props['Metadata'] = metadata(title)
        self.props['PlaybackStatus'] = dbus.String('Paused')
        self.PropertiesChanged(PLAYER, {'Metadata': self.props['Metadata'],
                                        'PlaybackStatus': self.props['PlaybackStatus']}, ['Position'])

player = Player()
name = dbus.service.BusName('org.mpris.MediaPlayer2.probe', bus)
print('ready', flush=True)
GLib.MainLoop().run()
)";

// Runs the loop until `done` holds or a generous time has passed; returns whether it held.
template <class Condition>
bool runUntil(EventLoop& loop, Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        loop.runFor(0.02);
    return done();
}

class DBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto reason = PrivateBus::unavailableReason())
            GTEST_SKIP() << *reason;
        if (!testing_support::findExecutable("/usr/bin/python3"))
            GTEST_SKIP() << "/usr/bin/python3 is not installed (scripts/install-deps.sh installs it)";
        bus_ = std::make_unique<PrivateBus>();
        auto connection = Connection::openAddress(bus_->address());
        ASSERT_TRUE(connection) << connection.error().message;
        connection_ = std::move(connection.value());
    }

    void startPlayer() {
        const auto script = bus_->folder() / "player.py";
        std::ofstream(script) << service;
        const auto log = bus_->folder() / "player.log";
        player_ = std::make_unique<Subprocess>(
            std::vector<std::string>{"/usr/bin/python3", script.string(), bus_->address()},
            testing_support::EnvironmentChanges{}, log);
        const bool ready = testing_support::waitUntil(
            [&] {
                std::ifstream in(log);
                std::string word;
                in >> word;
                return word == "ready" || !player_->running();
            },
            10s);
        ASSERT_TRUE(ready && player_->running()) << "the player service did not start";
    }

    EventLoop loop_;  // outlives the connection attached to it
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<Connection> connection_;
    std::unique_ptr<Subprocess> player_;
};

TEST_F(DBusTest, ReadsPropertiesIncludingMetadataDictionaries) {
    startPlayer();
    auto status = connection_->property(playerName, playerPath, playerInterface, "PlaybackStatus");
    ASSERT_TRUE(status) << status.error().message;
    ASSERT_NE(status->string(), nullptr);
    EXPECT_EQ(*status->string(), "Playing");

    auto metadata = connection_->property(playerName, playerPath, playerInterface, "Metadata");
    ASSERT_TRUE(metadata) << metadata.error().message;
    const PropertyMap* map = metadata->dictionary();
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(*find(*map, "xesam:title")->string(), "First");
    EXPECT_EQ(*find(*map, "xesam:artist")->strings(), (std::vector<std::string>{"Ann", "Bo"}));
    EXPECT_EQ(*find(*map, "mpris:artUrl")->string(), "file:///tmp/art.png");
    EXPECT_EQ(find(*map, "mpris:length")->integer(), 215000000);
    EXPECT_EQ(find(*map, "mpris:trackid")->objectPath()->path, "/org/mpris/MediaPlayer2/track/1");
    EXPECT_EQ(find(*map, "xesam:trackNumber")->integer(), -3);
    EXPECT_EQ(find(*map, "nested")->integer(), 7);  // a variant inside a variant
    // A struct is skipped over, and what follows it is still read.
    EXPECT_EQ(find(*map, "pair")->signature(), "(ii)");
    EXPECT_EQ(find(*map, "missing"), nullptr);

    auto all = connection_->allProperties(playerName, playerPath, playerInterface);
    ASSERT_TRUE(all) << all.error().message;
    EXPECT_EQ(find(*all, "Volume")->number(), 0.5);
    EXPECT_EQ(find(*all, "CanPlay")->boolean(), true);
    EXPECT_EQ(find(*all, "Metadata")->dictionary()->size(), map->size());

    auto unknown = connection_->property(playerName, playerPath, playerInterface, "Shuffle");
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().name, "org.freedesktop.DBus.Error.UnknownProperty");

    auto names = connection_->listNames();
    ASSERT_TRUE(names) << names.error().message;
    EXPECT_NE(std::find(names->begin(), names->end(), playerName), names->end());
    auto owner = connection_->nameOwner(playerName);
    ASSERT_TRUE(owner && owner.value());
    EXPECT_EQ(owner.value()->front(), ':');
    auto nobody = connection_->nameOwner("org.mpris.MediaPlayer2.absent");
    ASSERT_TRUE(nobody);
    EXPECT_FALSE(nobody.value());
}

TEST_F(DBusTest, ArgumentsTravelWithTheirTypes) {
    startPlayer();
    const std::vector<Value> sent{true,
                                  std::uint8_t{200},
                                  std::int16_t{-2},
                                  std::uint16_t{65000},
                                  std::int32_t{-70000},
                                  std::uint32_t{4000000000u},
                                  std::int64_t{-5000000000},
                                  std::uint64_t{18000000000000000000u},
                                  2.25,
                                  "text ✓",
                                  ObjectPath{"/a/b"},
                                  std::vector<std::string>{"x", "", "z"},
                                  PropertyMap{{"k", std::int32_t{1}}, {"list", std::vector<std::string>{"v"}}}};
    auto reply = connection_->call({playerName, playerPath, probeInterface, "Echo", sent});
    ASSERT_TRUE(reply) << reply.error().message;
    EXPECT_EQ(reply->arguments, sent);
    EXPECT_EQ(reply->arguments[7].integer(), std::nullopt);  // too large for int64
    EXPECT_EQ(reply->arguments[7].number(), 18000000000000000000.0);

    // Nothing that cannot be sent leaves: a call with an empty value fails before it goes out.
    auto empty = connection_->call({playerName, playerPath, probeInterface, "Echo", {Value()}});
    EXPECT_FALSE(empty);
}

TEST_F(DBusTest, RefusalsAbsentServicesAndSilenceBecomeErrors) {
    startPlayer();
    auto refused = connection_->call({playerName, playerPath, probeInterface, "Refuse", {}});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().name, "org.example.Error.Refused");
    EXPECT_EQ(refused.error().message, "not now");
    EXPECT_FALSE(refused.error().timedOut());

    auto absent = connection_->call({"org.example.Absent", "/", probeInterface, "Refuse", {}});
    ASSERT_FALSE(absent);
    EXPECT_EQ(absent.error().name, "org.freedesktop.DBus.Error.ServiceUnknown");

    const auto start = std::chrono::steady_clock::now();
    auto silent = connection_->call({playerName, playerPath, probeInterface, "Hang", {}}, 200ms);
    ASSERT_FALSE(silent);
    EXPECT_TRUE(silent.error().timedOut()) << silent.error().name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    // The same on the loop: the time-out arrives as an error reply.
    EventLoop& loop = loop_;
    connection_->attach(loop);
    std::optional<Result<Message>> late;
    auto pending = connection_->callAsync({playerName, playerPath, probeInterface, "Hang", {}},
                                          [&](Result<Message> reply) {
                                              late = std::move(reply);
                                          },
                                          200ms);
    ASSERT_TRUE(pending);
    ASSERT_TRUE(runUntil(loop, [&] { return late.has_value(); }));
    ASSERT_FALSE(*late);
    EXPECT_TRUE(late->error().timedOut()) << late->error().name;

    // The bus going away ends the connection rather than the process.
    player_.reset();
    bus_.reset();
    auto gone = connection_->call({playerName, playerPath, probeInterface, "Refuse", {}});
    EXPECT_FALSE(gone);
    EXPECT_FALSE(connection_->isOpen());
}

TEST_F(DBusTest, SignalsAndRepliesArriveOnTheLoop) {
    EventLoop& loop = loop_;
    connection_->attach(loop);

    std::vector<std::string> owners;
    auto ownerMatch = connection_->matchNameOwnerChanged(
        "org.mpris.MediaPlayer2", [&](const std::string& name, const std::string&, const std::string& newOwner) {
            EXPECT_TRUE(loop.isCurrent());
            owners.push_back(name + (newOwner.empty() ? " left" : " came"));
        });
    ASSERT_TRUE(ownerMatch) << ownerMatch.error().message;
    startPlayer();
    ASSERT_TRUE(runUntil(loop, [&] { return !owners.empty(); }));
    EXPECT_EQ(owners, (std::vector<std::string>{std::string(playerName) + " came"}));

    std::vector<PropertiesChanged> changes;
    auto propertiesMatch =
        connection_->matchPropertiesChanged(playerName, playerPath, playerInterface, [&](const PropertiesChanged& c) {
            changes.push_back(c);
        });
    ASSERT_TRUE(propertiesMatch) << propertiesMatch.error().message;
    // A match that drops itself from its own handler is called once.
    int selfDropping = 0;
    Result<Slot> once = Slot();
    once = connection_->matchSignal({"", playerPath, "org.freedesktop.DBus.Properties", "", "", ""},
                                    [&](const Message&) {
                                        ++selfDropping;
                                        once.value().reset();
                                    });
    ASSERT_TRUE(once);

    std::optional<Result<Message>> reply;
    auto pending = connection_->callAsync({playerName, playerPath, probeInterface, "SetTitle", {"Second"}},
                                          [&](Result<Message> r) { reply = std::move(r); });
    ASSERT_TRUE(pending);
    ASSERT_TRUE(runUntil(loop, [&] { return !changes.empty() && reply.has_value(); }));
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].interface, playerInterface);
    EXPECT_EQ(*find(*find(changes[0].changed, "Metadata")->dictionary(), "xesam:title")->string(), "Second");
    EXPECT_EQ(*find(changes[0].changed, "PlaybackStatus")->string(), "Paused");
    EXPECT_EQ(changes[0].invalidated, std::vector<std::string>{"Position"});
    EXPECT_TRUE(*reply) << reply->error().message;

    // A dropped match hears nothing more; a blocking call's signals still reach the loop afterwards.
    propertiesMatch.value().reset();
    std::vector<std::string> titles;
    auto again = connection_->matchPropertiesChanged(playerName, playerPath, "", [&](const PropertiesChanged& c) {
        titles.push_back(*find(*find(c.changed, "Metadata")->dictionary(), "xesam:title")->string());
    });
    ASSERT_TRUE(again);
    ASSERT_TRUE(connection_->call({playerName, playerPath, probeInterface, "SetTitle", {"Third"}}));
    ASSERT_TRUE(runUntil(loop, [&] { return !titles.empty(); }));
    loop.runFor(0.1);
    EXPECT_EQ(titles, std::vector<std::string>{"Third"});
    EXPECT_EQ(changes.size(), 1u);
    EXPECT_EQ(selfDropping, 1);

    player_.reset();
    owners.clear();
    ASSERT_TRUE(runUntil(loop, [&] { return !owners.empty(); }));
    EXPECT_EQ(owners, (std::vector<std::string>{std::string(playerName) + " left"}));
}

TEST_F(DBusTest, AHandlerMayDestroyTheConnection) {
    startPlayer();
    EventLoop& loop = loop_;
    connection_->attach(loop);
    auto match = connection_->matchPropertiesChanged(playerName, playerPath, "", [&](const PropertiesChanged&) {
        connection_.reset();
    });
    ASSERT_TRUE(match);
    ASSERT_TRUE(connection_->call({playerName, playerPath, probeInterface, "SetTitle", {"x"}}));
    ASSERT_TRUE(runUntil(loop, [&] { return connection_ == nullptr; }));
    match.value().reset();  // the match outlives its connection harmlessly
    loop.runFor(0.05);
}

TEST_F(DBusTest, ProcessForDeliversOnTheCallersThread) {
    startPlayer();
    std::vector<std::string> titles;
    auto match = connection_->matchPropertiesChanged(playerName, playerPath, "", [&](const PropertiesChanged& c) {
        titles.push_back(*find(*find(c.changed, "Metadata")->dictionary(), "xesam:title")->string());
    });
    ASSERT_TRUE(match);
    // A second connection makes the change, so that the first one only learns of it by processing.
    auto other = Connection::openAddress(bus_->address());
    ASSERT_TRUE(other);
    ASSERT_TRUE(other.value()->call({playerName, playerPath, probeInterface, "SetTitle", {"Fourth"}}));
    for (int i = 0; i < 50 && titles.empty(); ++i)
        ASSERT_TRUE(connection_->processFor(100ms));
    EXPECT_EQ(titles, std::vector<std::string>{"Fourth"});
}

}  // namespace
}  // namespace platform::dbus
