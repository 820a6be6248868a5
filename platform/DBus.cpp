#include "platform/DBus.h"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>
#include <type_traits>

#include "platform/EventLoop.h"
#include "platform/Log.h"

namespace platform::dbus {
namespace {

const Logger logger("dev.quelmar.trackpad.mac", "dbus");

constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* busName = "org.freedesktop.DBus";
constexpr const char* busPath = "/org/freedesktop/DBus";
// How many messages one pass on the loop handles before it lets other work run.
constexpr int messagesPerPass = 64;

std::uint64_t monotonicMicroseconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

std::uint64_t toMicroseconds(std::chrono::milliseconds timeout) {
    // sd-bus reads 0 as its own 25 s default; the shortest time-out we ask for is 1 µs.
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    return us <= 0 ? 1 : static_cast<std::uint64_t>(us);
}

Error errorFromErrno(int negativeErrno, const char* what) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_error_set_errno(&error, negativeErrno);
    Error result{error.name ? error.name : "System.Error",
                 std::string(what) + ": " + std::strerror(-negativeErrno)};
    sd_bus_error_free(&error);
    return result;
}

Error errorFrom(const sd_bus_error& error, int negativeErrno, const char* what) {
    if (sd_bus_error_is_set(&error))
        return Error{error.name, error.message ? error.message : ""};
    return errorFromErrno(negativeErrno, what);
}

Error malformed(const char* what) {
    return Error{"org.freedesktop.DBus.Error.InvalidSignature", what};
}

// The whole signature of the single complete type starting at `type`, for skipping it.
std::string completeSignature(char type, const char* contents) {
    const std::string inner = contents ? contents : "";
    switch (type) {
        case 'a':
            return "a" + inner;
        case 'r':
            return "(" + inner + ")";
        case 'e':
            return "{" + inner + "}";
        default:
            return std::string(1, type);
    }
}

int readValue(sd_bus_message* m, char type, const char* contents, Value& out);

template <class T>
int readBasic(sd_bus_message* m, char type, Value& out) {
    T v{};
    const int r = sd_bus_message_read_basic(m, type, &v);
    if (r > 0)
        out = Value(v);
    return r;
}

int skipAs(sd_bus_message* m, char type, const char* contents, Value& out) {
    const std::string signature = completeSignature(type, contents);
    const int r = sd_bus_message_skip(m, signature.c_str());
    if (r >= 0)
        out = Value(Value::Unsupported{signature});
    return r;
}

int readArray(sd_bus_message* m, const char* contents, Value& out) {
    const std::string_view element = contents ? contents : "";
    if (element == "s" || element == "o" || element == "g") {
        int r = sd_bus_message_enter_container(m, 'a', contents);
        if (r < 0)
            return r;
        std::vector<std::string> items;
        const char* item = nullptr;
        while ((r = sd_bus_message_read_basic(m, element[0], &item)) > 0)
            items.emplace_back(item);
        if (r < 0)
            return r;
        if ((r = sd_bus_message_exit_container(m)) < 0)
            return r;
        out = Value(std::move(items));
        return 1;
    }
    // Dictionaries with string keys: a{sv} above all, also a{ss} and the like.
    if (element.size() >= 4 && element.front() == '{' && element[1] == 's') {
        const std::string entry(element.substr(1, element.size() - 2));
        int r = sd_bus_message_enter_container(m, 'a', contents);
        if (r < 0)
            return r;
        PropertyMap map;
        while ((r = sd_bus_message_enter_container(m, 'e', entry.c_str())) > 0) {
            const char* key = nullptr;
            if ((r = sd_bus_message_read_basic(m, 's', &key)) <= 0)
                return r < 0 ? r : -EBADMSG;
            char type = 0;
            const char* valueContents = nullptr;
            if ((r = sd_bus_message_peek_type(m, &type, &valueContents)) <= 0)
                return r < 0 ? r : -EBADMSG;
            Value value;
            if ((r = readValue(m, type, valueContents, value)) < 0)
                return r;
            if ((r = sd_bus_message_exit_container(m)) < 0)
                return r;
            map.insert_or_assign(key, std::move(value));
        }
        if (r < 0)
            return r;
        if ((r = sd_bus_message_exit_container(m)) < 0)
            return r;
        out = Value(std::move(map));
        return 1;
    }
    return skipAs(m, 'a', contents, out);
}

// Reads the complete value starting at the current position; its type and contents come from peek_type.
int readValue(sd_bus_message* m, char type, const char* contents, Value& out) {
    switch (type) {
        case 'y':
            return readBasic<std::uint8_t>(m, type, out);
        case 'b': {
            int v = 0;
            const int r = sd_bus_message_read_basic(m, 'b', &v);
            if (r > 0)
                out = Value(v != 0);
            return r;
        }
        case 'n':
            return readBasic<std::int16_t>(m, type, out);
        case 'q':
            return readBasic<std::uint16_t>(m, type, out);
        case 'i':
            return readBasic<std::int32_t>(m, type, out);
        case 'u':
            return readBasic<std::uint32_t>(m, type, out);
        case 'x':
            return readBasic<std::int64_t>(m, type, out);
        case 't':
            return readBasic<std::uint64_t>(m, type, out);
        case 'd':
            return readBasic<double>(m, type, out);
        case 's':
        case 'g':
        case 'o': {
            const char* v = nullptr;
            const int r = sd_bus_message_read_basic(m, type, &v);
            if (r > 0)
                out = type == 'o' ? Value(ObjectPath{v}) : Value(std::string(v));
            return r;
        }
        case 'v': {
            int r = sd_bus_message_enter_container(m, 'v', contents);
            if (r < 0)
                return r;
            char inner = 0;
            const char* innerContents = nullptr;
            if ((r = sd_bus_message_peek_type(m, &inner, &innerContents)) <= 0)
                return r < 0 ? r : -EBADMSG;
            if ((r = readValue(m, inner, innerContents, out)) < 0)
                return r;
            r = sd_bus_message_exit_container(m);
            return r < 0 ? r : 1;
        }
        case 'a':
            return readArray(m, contents, out);
        default:
            return skipAs(m, type, contents, out);
    }
}

int readArguments(sd_bus_message* m, std::vector<Value>& out) {
    for (;;) {
        char type = 0;
        const char* contents = nullptr;
        int r = sd_bus_message_peek_type(m, &type, &contents);
        if (r <= 0)
            return r;
        Value value;
        if ((r = readValue(m, type, contents, value)) < 0)
            return r;
        out.push_back(std::move(value));
    }
}

Result<Message> toMessage(sd_bus_message* m) {
    Message message;
    auto text = [](const char* s) { return std::string(s ? s : ""); };
    message.sender = text(sd_bus_message_get_sender(m));
    message.path = text(sd_bus_message_get_path(m));
    message.interface = text(sd_bus_message_get_interface(m));
    message.member = text(sd_bus_message_get_member(m));
    if (const int r = readArguments(m, message.arguments); r < 0)
        return errorFromErrno(r, "reading a message");
    return message;
}

Result<Message> toReply(sd_bus_message* reply) {
    if (const sd_bus_error* error = sd_bus_message_get_error(reply); error && sd_bus_error_is_set(error))
        return Error{error->name, error->message ? error->message : ""};
    return toMessage(reply);
}

template <class T>
int appendBasic(sd_bus_message* m, char type, T v) {
    return sd_bus_message_append_basic(m, type, &v);
}

int appendValue(sd_bus_message* m, const Value& value) {
    return std::visit(
        [m](const auto& v) -> int {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>) {
                return appendBasic<int>(m, 'b', v ? 1 : 0);
            } else if constexpr (std::is_same_v<T, std::uint8_t>) {
                return appendBasic(m, 'y', v);
            } else if constexpr (std::is_same_v<T, std::int16_t>) {
                return appendBasic(m, 'n', v);
            } else if constexpr (std::is_same_v<T, std::uint16_t>) {
                return appendBasic(m, 'q', v);
            } else if constexpr (std::is_same_v<T, std::int32_t>) {
                return appendBasic(m, 'i', v);
            } else if constexpr (std::is_same_v<T, std::uint32_t>) {
                return appendBasic(m, 'u', v);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return appendBasic(m, 'x', v);
            } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                return appendBasic(m, 't', v);
            } else if constexpr (std::is_same_v<T, double>) {
                return appendBasic(m, 'd', v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return sd_bus_message_append_basic(m, 's', v.c_str());
            } else if constexpr (std::is_same_v<T, ObjectPath>) {
                return sd_bus_message_append_basic(m, 'o', v.path.c_str());
            } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
                int r = sd_bus_message_open_container(m, 'a', "s");
                for (const auto& item : v)
                    if (r >= 0)
                        r = sd_bus_message_append_basic(m, 's', item.c_str());
                return r < 0 ? r : sd_bus_message_close_container(m);
            } else if constexpr (std::is_same_v<T, std::shared_ptr<const PropertyMap>>) {
                int r = sd_bus_message_open_container(m, 'a', "{sv}");
                for (const auto& [key, item] : *v) {
                    const std::string signature = item.signature();
                    if (r >= 0)
                        r = sd_bus_message_open_container(m, 'e', "sv");
                    if (r >= 0)
                        r = sd_bus_message_append_basic(m, 's', key.c_str());
                    if (r >= 0)
                        r = sd_bus_message_open_container(m, 'v', signature.c_str());
                    if (r >= 0)
                        r = appendValue(m, item);
                    if (r >= 0)
                        r = sd_bus_message_close_container(m);
                    if (r >= 0)
                        r = sd_bus_message_close_container(m);
                }
                return r < 0 ? r : sd_bus_message_close_container(m);
            } else {
                return -EINVAL;  // nothing to send, or a type we can only receive
            }
        },
        value.storage());
}

// Single quotes end a value in a match rule; an apostrophe is written as '\'' as in a shell.
std::string quoted(const std::string& value) {
    std::string out = "'";
    for (char c : value) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string matchRule(const SignalRule& rule) {
    std::string text = "type='signal'";
    auto add = [&](const char* key, const std::string& value) {
        if (!value.empty())
            text += std::string(",") + key + "=" + quoted(value);
    };
    add("sender", rule.sender);
    add("path", rule.path);
    add("interface", rule.interface);
    add("member", rule.member);
    add("arg0", rule.arg0);
    add("arg0namespace", rule.arg0Namespace);
    return text;
}

template <class Handler>
void invokeGuarded(const Handler& handler, const char* what) {
    try {
        handler();
    } catch (const std::exception& e) {
        logger.error(std::string(what) + " handler threw: " + e.what());
    } catch (...) {
        logger.error(std::string(what) + " handler threw");
    }
}

// Owned by the sd-bus slot: freed when the slot is, which is never while its callback runs.
struct SignalBox {
    Connection::SignalHandler handler;
    static int callback(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* box = static_cast<SignalBox*>(userdata);
        auto message = toMessage(m);
        if (!message) {
            logger.notice("a signal that could not be read was dropped: " + message.error().message);
            return 0;
        }
        invokeGuarded([&] { box->handler(message.value()); }, "signal");
        return 0;
    }
};

struct ReplyBox {
    Connection::ReplyHandler handler;
    static int callback(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* box = static_cast<ReplyBox*>(userdata);
        invokeGuarded([&] { box->handler(toReply(m)); }, "reply");
        return 0;
    }
};

template <class Box>
void destroyBox(void* userdata) {
    delete static_cast<Box*>(userdata);
}

}  // namespace

// ---- Slot ----

Slot& Slot::operator=(Slot&& other) noexcept {
    if (this != &other) {
        reset();
        slot_ = std::exchange(other.slot_, nullptr);
    }
    return *this;
}

void Slot::reset() {
    if (slot_)
        sd_bus_slot_unref(static_cast<sd_bus_slot*>(std::exchange(slot_, nullptr)));
}

// ---- Connection ----

struct Connection::Internals : std::enable_shared_from_this<Internals> {
    sd_bus* bus = nullptr;
    EventLoop* loop = nullptr;
    EventLoop::WatchID watch = 0;
    Executor::TimerID timer = 0;
    std::uint64_t timerDeadline = std::numeric_limits<std::uint64_t>::max();
    bool broken = false;

    ~Internals() { close(); }

    void close() {
        detach();
        if (bus)
            bus = sd_bus_close_unref(bus);
    }

    void detach() {
        if (!loop)
            return;
        if (watch)
            loop->removeWatch(watch);
        if (timer)
            loop->cancel(timer);
        watch = 0;
        timer = 0;
        timerDeadline = std::numeric_limits<std::uint64_t>::max();
        loop = nullptr;
    }

    void markBroken(int r) {
        if (!broken)
            logger.notice(std::string("the bus connection ended: ") + std::strerror(-r));
        broken = true;
        if (loop && watch)
            loop->updateWatch(watch, 0);
        if (loop && timer)
            loop->cancel(timer);
        timer = 0;
        timerDeadline = std::numeric_limits<std::uint64_t>::max();
    }

    // Brings the loop's watch and timer in line with what sd-bus waits for next.
    void refresh() {
        if (!loop || !bus || broken)
            return;
        const int events = sd_bus_get_events(bus);
        if (events < 0)
            return markBroken(events);
        std::uint32_t wanted = 0;
        if (events & POLLIN)
            wanted |= EventLoop::readable;
        if (events & POLLOUT)
            wanted |= EventLoop::writable;
        loop->updateWatch(watch, wanted);

        std::uint64_t deadline = std::numeric_limits<std::uint64_t>::max();
        if (sd_bus_get_timeout(bus, &deadline) <= 0)
            deadline = std::numeric_limits<std::uint64_t>::max();
        if (deadline == timerDeadline && (timer || deadline == std::numeric_limits<std::uint64_t>::max()))
            return;
        if (timer)
            loop->cancel(timer);
        timer = 0;
        timerDeadline = deadline;
        if (deadline == std::numeric_limits<std::uint64_t>::max())
            return;
        const std::uint64_t now = monotonicMicroseconds();
        const auto delay = std::chrono::microseconds(deadline > now ? deadline - now : 0);
        timer = loop->schedule(delay, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->timer = 0;
                self->timerDeadline = std::numeric_limits<std::uint64_t>::max();
                self->process();
            }
        });
    }

    void process() {
        // A handler may destroy the Connection; this keeps the state alive until the pass ends.
        const auto self = shared_from_this();
        for (int i = 0; i < messagesPerPass; ++i) {
            if (!bus || broken)
                return;
            const int r = sd_bus_process(bus, nullptr);
            if (r < 0)
                return markBroken(r);
            if (r == 0)
                break;
        }
        refresh();
    }
};

Connection::Connection(std::shared_ptr<Internals> internals) : d_(std::move(internals)) {}

Connection::~Connection() {
    // Handlers of a pass under way hold the state; close the bus now so that nothing else is delivered.
    d_->close();
}

Result<std::unique_ptr<Connection>> Connection::open(Bus which) {
    sd_bus* bus = nullptr;
    const int r = which == Bus::session ? sd_bus_open_user(&bus) : sd_bus_open_system(&bus);
    if (r < 0)
        return errorFromErrno(
            r, which == Bus::session ? "connecting to the session bus" : "connecting to the system bus");
    auto internals = std::make_shared<Internals>();
    internals->bus = bus;
    return std::unique_ptr<Connection>(new Connection(std::move(internals)));
}

Result<std::unique_ptr<Connection>> Connection::openAddress(const std::string& address) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0)
        r = sd_bus_set_address(bus, address.c_str());
    if (r >= 0)
        r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0)
        r = sd_bus_start(bus);
    if (r < 0) {
        sd_bus_close_unref(bus);
        return errorFromErrno(r, ("connecting to the bus at " + address).c_str());
    }
    auto internals = std::make_shared<Internals>();
    internals->bus = bus;
    return std::unique_ptr<Connection>(new Connection(std::move(internals)));
}

std::string Connection::uniqueName() const {
    const char* name = nullptr;
    if (!d_->bus || sd_bus_get_unique_name(d_->bus, &name) < 0 || !name)
        return {};
    return name;
}

bool Connection::isOpen() const {
    return d_->bus && !d_->broken && sd_bus_is_open(d_->bus) > 0;
}

void Connection::attach(EventLoop& loop) {
    detach();
    if (!d_->bus)
        return;
    const int fd = sd_bus_get_fd(d_->bus);
    if (fd < 0)
        return d_->markBroken(fd);
    d_->loop = &loop;
    d_->watch = loop.watch(fd, EventLoop::readable, [weak = std::weak_ptr<Internals>(d_)](std::uint32_t) {
        if (auto self = weak.lock())
            self->process();
    });
    // Whatever arrived before, or is queued to go out, is handled on the loop's first pass.
    d_->timerDeadline = 0;
    d_->timer = loop.schedule(std::chrono::microseconds{0}, [weak = std::weak_ptr<Internals>(d_)] {
        if (auto self = weak.lock()) {
            self->timer = 0;
            self->timerDeadline = std::numeric_limits<std::uint64_t>::max();
            self->process();
        }
    });
}

void Connection::detach() {
    d_->detach();
}

bool Connection::processFor(std::chrono::milliseconds timeout) {
    const auto self = d_;
    const std::uint64_t deadline = monotonicMicroseconds() + toMicroseconds(timeout);
    for (;;) {
        if (!self->bus || self->broken)
            return false;
        const int r = sd_bus_process(self->bus, nullptr);
        if (r < 0) {
            self->markBroken(r);
            return false;
        }
        if (r > 0)
            continue;
        const std::uint64_t now = monotonicMicroseconds();
        if (now >= deadline)
            return true;
        const int w = sd_bus_wait(self->bus, deadline - now);
        if (w < 0 && w != -EINTR) {
            self->markBroken(w);
            return false;
        }
    }
}

namespace {

// The request message of a call with its arguments; on failure nothing is left allocated.
int buildMethodCall(sd_bus* bus, const MethodCall& call, sd_bus_message** request) {
    int r = sd_bus_message_new_method_call(bus, request, call.destination.c_str(), call.path.c_str(),
                                           call.interface.empty() ? nullptr : call.interface.c_str(),
                                           call.member.c_str());
    for (const auto& argument : call.arguments)
        if (r >= 0)
            r = appendValue(*request, argument);
    if (r < 0) {
        sd_bus_message_unref(*request);
        *request = nullptr;
    }
    return r;
}

}  // namespace

Result<Message> Connection::call(const MethodCall& call, std::chrono::milliseconds timeout) {
    if (!d_->bus || d_->broken)
        return Error{SD_BUS_ERROR_DISCONNECTED, "the bus connection has ended"};
    sd_bus_message* request = nullptr;
    int r = buildMethodCall(d_->bus, call, &request);
    if (r < 0)
        return errorFromErrno(r, ("building the call " + call.member).c_str());
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(d_->bus, request, toMicroseconds(timeout), &error, &reply);
    sd_bus_message_unref(request);
    // Signals read while waiting sit in sd-bus's queue; the refresh schedules their delivery.
    d_->refresh();
    if (r < 0) {
        auto result = errorFrom(error, r, ("calling " + call.member).c_str());
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        return result;
    }
    auto message = toMessage(reply);
    sd_bus_message_unref(reply);
    return message;
}

Result<Slot> Connection::callAsync(const MethodCall& call, ReplyHandler handler,
                                   std::chrono::milliseconds timeout) {
    if (!d_->bus || d_->broken)
        return Error{SD_BUS_ERROR_DISCONNECTED, "the bus connection has ended"};
    sd_bus_message* request = nullptr;
    int r = buildMethodCall(d_->bus, call, &request);
    if (r < 0)
        return errorFromErrno(r, ("building the call " + call.member).c_str());
    auto box = std::make_unique<ReplyBox>(ReplyBox{std::move(handler)});
    sd_bus_slot* slot = nullptr;
    r = sd_bus_call_async(d_->bus, &slot, request, &ReplyBox::callback, box.get(), toMicroseconds(timeout));
    sd_bus_message_unref(request);
    if (r < 0)
        return errorFromErrno(r, ("calling " + call.member).c_str());
    sd_bus_slot_set_destroy_callback(slot, &destroyBox<ReplyBox>);
    box.release();
    d_->refresh();
    return Slot(slot);
}

Result<Value> Connection::property(const std::string& destination, const std::string& path,
                                   const std::string& interface, const std::string& name,
                                   std::chrono::milliseconds timeout) {
    auto reply = call({destination, path, propertiesInterface, "Get", {interface, name}}, timeout);
    if (!reply)
        return reply.error();
    if (reply->arguments.size() != 1)
        return malformed("Properties.Get answered with an unexpected signature");
    return std::move(reply->arguments.front());
}

Result<PropertyMap> Connection::allProperties(const std::string& destination, const std::string& path,
                                              const std::string& interface,
                                              std::chrono::milliseconds timeout) {
    auto reply = call({destination, path, propertiesInterface, "GetAll", {interface}}, timeout);
    if (!reply)
        return reply.error();
    const PropertyMap* map = reply->argument(0).dictionary();
    if (!map)
        return malformed("Properties.GetAll answered with an unexpected signature");
    return *map;
}

Result<std::vector<std::string>> Connection::listNames(std::chrono::milliseconds timeout) {
    auto reply = call({busName, busPath, busName, "ListNames", {}}, timeout);
    if (!reply)
        return reply.error();
    const auto* names = reply->argument(0).strings();
    if (!names)
        return malformed("ListNames answered with an unexpected signature");
    return *names;
}

Result<std::optional<std::string>> Connection::nameOwner(const std::string& name,
                                                         std::chrono::milliseconds timeout) {
    auto reply = call({busName, busPath, busName, "GetNameOwner", {name}}, timeout);
    if (!reply) {
        if (reply.error().name == SD_BUS_ERROR_NAME_HAS_NO_OWNER)
            return std::optional<std::string>();
        return reply.error();
    }
    const auto* owner = reply->argument(0).string();
    if (!owner)
        return malformed("GetNameOwner answered with an unexpected signature");
    return std::optional<std::string>(*owner);
}

Result<Slot> Connection::matchSignal(const SignalRule& rule, SignalHandler handler) {
    if (!d_->bus || d_->broken)
        return Error{SD_BUS_ERROR_DISCONNECTED, "the bus connection has ended"};
    auto box = std::make_unique<SignalBox>(SignalBox{std::move(handler)});
    sd_bus_slot* slot = nullptr;
    const std::string text = matchRule(rule);
    const int r = sd_bus_add_match(d_->bus, &slot, text.c_str(), &SignalBox::callback, box.get());
    d_->refresh();
    if (r < 0)
        return errorFromErrno(r, ("adding the match " + text).c_str());
    sd_bus_slot_set_destroy_callback(slot, &destroyBox<SignalBox>);
    box.release();
    return Slot(slot);
}

Result<Slot> Connection::matchPropertiesChanged(const std::string& sender, const std::string& path,
                                                const std::string& interface,
                                                std::function<void(const PropertiesChanged&)> handler) {
    SignalRule rule{sender, path, propertiesInterface, "PropertiesChanged", interface, {}};
    return matchSignal(rule, [handler = std::move(handler)](const Message& message) {
        const auto* interfaceName = message.argument(0).string();
        const auto* changed = message.argument(1).dictionary();
        const auto* invalidated = message.argument(2).strings();
        if (!interfaceName || !changed || !invalidated) {
            logger.notice("a PropertiesChanged signal of an unexpected signature from " + message.sender +
                          " was dropped");
            return;
        }
        handler(PropertiesChanged{*interfaceName, *changed, *invalidated});
    });
}

Result<Slot> Connection::matchNameOwnerChanged(
    const std::string& nameNamespace,
    std::function<void(const std::string&, const std::string&, const std::string&)> handler) {
    SignalRule rule{busName, busPath, busName, "NameOwnerChanged", {}, nameNamespace};
    return matchSignal(rule, [handler = std::move(handler)](const Message& message) {
        const auto* name = message.argument(0).string();
        const auto* oldOwner = message.argument(1).string();
        const auto* newOwner = message.argument(2).string();
        if (name && oldOwner && newOwner)
            handler(*name, *oldOwner, *newOwner);
    });
}

}  // namespace platform::dbus
