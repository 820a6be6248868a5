#pragma once
// D-Bus client helpers over sd-bus: a bus connection, method calls with a time-out, properties, and signal
// matches. Failures of the bus or of the other side come back as an `Error` value, never as an exception.
//
// Thread: a Connection lives on the thread that uses it. Attached to an EventLoop, it is used on the loop's
// thread and delivers signals and asynchronous replies there; unattached, processFor() delivers them on the
// caller's thread.
//
// Typical uses, each a few lines:
//   auto bus = Connection::open(Connection::Bus::system);          // Result: check ok() first
//   (*bus)->call({"org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
//                 "Suspend", {false}});
//   auto locked = (*bus)->property("org.freedesktop.login1", "/org/freedesktop/login1/session/auto",
//                                  "org.freedesktop.login1.Session", "LockedHint");   // locked->boolean()
//   auto sleep = (*bus)->matchSignal({"org.freedesktop.login1", "/org/freedesktop/login1",
//                                     "org.freedesktop.login1.Manager", "PrepareForSleep", "", ""},
//                                    [](const Message& m) { m.argument(0).boolean(); });
//   auto metadata = session->property(player, "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player",
//                                     "Metadata");   // metadata->dictionary(), find(map, "xesam:title")
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

class EventLoop;

namespace dbus {

struct ObjectPath {
    std::string path;
    bool operator==(const ObjectPath&) const = default;
};

class Value;
// A dictionary with string keys and variant values (a{sv}), as properties and MPRIS metadata come.
using PropertyMap = std::map<std::string, Value, std::less<>>;

// One D-Bus value of the commonly used types. Variants are unwrapped: a "v" holding a string is a string.
// Values of other types (structs, other arrays or dictionaries) are kept as `Unsupported` with their
// signature, so that the rest of a message can still be read.
class Value {
public:
    struct Unsupported {
        std::string signature;
        bool operator==(const Unsupported&) const = default;
    };
    using Storage = std::variant<std::monostate, bool, std::uint8_t, std::int16_t, std::uint16_t, std::int32_t,
                                 std::uint32_t, std::int64_t, std::uint64_t, double, std::string, ObjectPath,
                                 std::vector<std::string>, std::shared_ptr<const PropertyMap>, Unsupported>;

    Value() = default;
    Value(bool v) : storage_(v) {}
    Value(std::uint8_t v) : storage_(v) {}
    Value(std::int16_t v) : storage_(v) {}
    Value(std::uint16_t v) : storage_(v) {}
    Value(std::int32_t v) : storage_(v) {}
    Value(std::uint32_t v) : storage_(v) {}
    Value(std::int64_t v) : storage_(v) {}
    Value(std::uint64_t v) : storage_(v) {}
    Value(double v) : storage_(v) {}
    Value(std::string v) : storage_(std::move(v)) {}
    Value(const char* v) : storage_(std::string(v)) {}
    Value(ObjectPath v) : storage_(std::move(v)) {}
    Value(std::vector<std::string> v) : storage_(std::move(v)) {}
    Value(PropertyMap v) : storage_(std::make_shared<const PropertyMap>(std::move(v))) {}
    Value(Unsupported v) : storage_(std::move(v)) {}

    // The D-Bus signature ("s", "as", "a{sv}", ...); empty for an empty Value.
    std::string signature() const;
    bool empty() const { return std::holds_alternative<std::monostate>(storage_); }

    // None (or null) unless the value has that type. integer() takes every integer type whose value fits
    // in an int64; number() takes doubles and integers.
    const std::string* string() const { return std::get_if<std::string>(&storage_); }
    const ObjectPath* objectPath() const { return std::get_if<ObjectPath>(&storage_); }
    const std::vector<std::string>* strings() const { return std::get_if<std::vector<std::string>>(&storage_); }
    const PropertyMap* dictionary() const;
    std::optional<bool> boolean() const;
    std::optional<std::int64_t> integer() const;
    std::optional<double> number() const;

    const Storage& storage() const { return storage_; }
    bool operator==(const Value& other) const;

private:
    Storage storage_;
};

// The value under `key`, or null when the dictionary lacks it.
const Value* find(const PropertyMap& map, std::string_view key);

// What a refused or failed call, or a broken connection, comes back as. `name` is the D-Bus error name
// ("org.freedesktop.DBus.Error.ServiceUnknown", ...).
struct Error {
    std::string name;
    std::string message;

    // The other side did not answer within the time-out.
    bool timedOut() const;
};

// A value or the error that prevented it.
template <class T>
class Result {
public:
    Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : storage_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return storage_.index() == 0; }
    explicit operator bool() const { return ok(); }
    // Precondition: ok().
    T& value() { return std::get<0>(storage_); }
    const T& value() const { return std::get<0>(storage_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    // Precondition: !ok().
    const Error& error() const { return std::get<1>(storage_); }

private:
    std::variant<T, Error> storage_;
};

struct Message {
    std::string sender;  // unique name
    std::string path;
    std::string interface;
    std::string member;
    std::vector<Value> arguments;

    // The argument at `index`, or an empty Value when there are fewer.
    const Value& argument(std::size_t index) const;
};

struct MethodCall {
    std::string destination;
    std::string path;
    std::string interface;
    std::string member;
    std::vector<Value> arguments;  // sent with their own types; an empty Value or Unsupported cannot be sent
};

// Which signals a match receives; an empty field matches everything. `arg0` matches the first argument
// when it is a string equal to it; `arg0Namespace` matches a bus name or interface of that namespace
// (e.g. "org.mpris.MediaPlayer2" matches "org.mpris.MediaPlayer2.player").
struct SignalRule {
    std::string sender;
    std::string path;
    std::string interface;
    std::string member;
    std::string arg0;
    std::string arg0Namespace;
};

struct PropertiesChanged {
    std::string interface;
    PropertyMap changed;
    std::vector<std::string> invalidated;  // changed, but the value was not sent along
};

constexpr std::chrono::milliseconds defaultTimeout{1000};

class Connection;

// Keeps a signal match or an outstanding asynchronous call alive; destroying or resetting it ends the
// match (or drops the call's reply) at once, also from within its own handler.
class Slot {
public:
    Slot() = default;
    Slot(Slot&& other) noexcept : slot_(std::exchange(other.slot_, nullptr)) {}
    Slot& operator=(Slot&& other) noexcept;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot() { reset(); }

    void reset();
    bool active() const { return slot_ != nullptr; }

private:
    friend class Connection;
    explicit Slot(void* slot) : slot_(slot) {}
    void* slot_ = nullptr;
};

class Connection {
public:
    enum class Bus { session, system };
    using SignalHandler = std::function<void(const Message&)>;
    using ReplyHandler = std::function<void(Result<Message>)>;

    // The session or system bus; DBUS_SESSION_BUS_ADDRESS / DBUS_SYSTEM_BUS_ADDRESS are honoured.
    static Result<std::unique_ptr<Connection>> open(Bus bus);
    // A bus at an explicit address ("unix:path=/run/...").
    static Result<std::unique_ptr<Connection>> openAddress(const std::string& address);

    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // This connection's unique name (":1.42").
    std::string uniqueName() const;

    // Delivers signals and asynchronous replies on `loop` from now on; call on the loop's thread. Detached
    // again when the connection goes or by detach(); the loop must outlive the attachment.
    void attach(EventLoop& loop);
    void detach();
    // Unattached use: waits up to `timeout` for traffic and delivers it on this thread; returns once
    // something was delivered or the time is up. Returns false when the connection is broken.
    bool processFor(std::chrono::milliseconds timeout);

    // Blocks until the reply comes or the time-out passes. Signals that arrive meanwhile are kept and
    // delivered afterwards, in order.
    Result<Message> call(const MethodCall& call, std::chrono::milliseconds timeout = defaultTimeout);
    // The reply (or the error, a time-out included) goes to `handler` on the connection's thread, unless
    // the returned slot was destroyed before. Needs attach() or processFor() to be delivered.
    [[nodiscard]] Result<Slot> callAsync(const MethodCall& call, ReplyHandler handler,
                                         std::chrono::milliseconds timeout = defaultTimeout);

    // org.freedesktop.DBus.Properties.Get and GetAll.
    Result<Value> property(const std::string& destination, const std::string& path, const std::string& interface,
                           const std::string& name, std::chrono::milliseconds timeout = defaultTimeout);
    Result<PropertyMap> allProperties(const std::string& destination, const std::string& path,
                                      const std::string& interface,
                                      std::chrono::milliseconds timeout = defaultTimeout);
    // The names on the bus (org.freedesktop.DBus.ListNames), unique names included.
    Result<std::vector<std::string>> listNames(std::chrono::milliseconds timeout = defaultTimeout);
    // The unique name owning `name`, or none when nobody owns it.
    Result<std::optional<std::string>> nameOwner(const std::string& name,
                                                 std::chrono::milliseconds timeout = defaultTimeout);

    // False once the bus has closed the connection (the bus went away, or broken data came).
    bool isOpen() const;

    // Handlers run on the connection's thread (see attach / processFor); an exception from a handler is
    // logged and dropped.
    [[nodiscard]] Result<Slot> matchSignal(const SignalRule& rule, SignalHandler handler);
    // PropertiesChanged of `path` (all paths when empty) from `sender`; `interface` (all when empty) is the
    // interface whose properties changed.
    [[nodiscard]] Result<Slot> matchPropertiesChanged(const std::string& sender, const std::string& path,
                                                      const std::string& interface,
                                                      std::function<void(const PropertiesChanged&)> handler);
    // NameOwnerChanged of the bus for names in `nameNamespace` (all names when empty). An empty owner
    // means the name has none (before or after).
    [[nodiscard]] Result<Slot> matchNameOwnerChanged(
        const std::string& nameNamespace,
        std::function<void(const std::string& name, const std::string& oldOwner, const std::string& newOwner)>
            handler);

    struct Internals;

private:
    explicit Connection(std::shared_ptr<Internals> internals);
    std::shared_ptr<Internals> d_;  // shared with a delivery pass under way, which a handler may outlive
};

}  // namespace dbus
}  // namespace platform
