// Readable descriptions of messages for logs and test failures, in the form "move(dx: 1.5, dy: -2)".
// Secrets never appear: an unlock request's password and a pairing token print as "<redacted>".
#include <charconv>
#include <initializer_list>
#include <utility>

#include "protocol/messages/Message.h"
#include "protocol/messages/Overloaded.h"

namespace TrackpadProtocol {

namespace {

constexpr const char* redacted = "<redacted>";

template <class Number>
std::string number(Number value) {
    if constexpr (std::is_floating_point_v<Number>) {
        char buffer[64];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        return std::string(buffer, result.ptr);
    } else {
        return std::to_string(value);
    }
}

std::string quoted(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string bytes(std::size_t count) {
    return "<" + std::to_string(count) + " bytes>";
}

std::string boolean(bool value) {
    return value ? "true" : "false";
}

template <class Enum, std::size_t N>
std::string name(Enum value, const char* const (&names)[N]) {
    auto raw = static_cast<std::size_t>(value);
    if (raw < N) return names[raw];
    return "unknown(" + std::to_string(raw) + ")";
}

// Option sets print as the names of their members, then any bits without a name.
template <class Set>
std::string options(Set set, std::initializer_list<std::pair<Set, const char*>> members) {
    std::string out = "[";
    auto rest = set.rawValue;
    for (const auto& [member, memberName] : members) {
        if (!set.contains(member)) continue;
        if (out.size() > 1) out += ", ";
        out += memberName;
        rest = static_cast<decltype(rest)>(rest & ~member.rawValue);
    }
    if (rest != 0) {
        if (out.size() > 1) out += ", ";
        out += "unknown(" + std::to_string(rest) + ")";
    }
    return out + "]";
}

std::string fields(std::initializer_list<std::pair<const char*, std::string>> list) {
    std::string out;
    for (const auto& [label, value] : list) {
        if (!out.empty()) out += ", ";
        out += label;
        out += ": ";
        out += value;
    }
    return out;
}

std::string call(const char* caseName, const std::string& arguments) {
    return std::string(caseName) + "(" + arguments + ")";
}

template <class T, class Describe>
std::string optional(const std::optional<T>& value, Describe describe) {
    return value ? describe(*value) : "nil";
}

std::string stamp(const char* type, const StrokeStamp& s) {
    return call(type, fields({{"stroke", number(s.stroke)}, {"sequence", number(s.sequence)}}));
}

std::string point(const AnnotationPoint& p) {
    return "(" + number(p.x) + ", " + number(p.y) + ")";
}

const char* const dragPhases[] = {"began", "changed", "ended"};
const char* const gesturePhases[] = {"began", "changed", "ended"};
const char* const scrollPhases[] = {"began", "changed", "ended", "momentum", "momentumEnded"};
const char* const directions[] = {"left", "right", "up", "down"};
const char* const mediaCommands[] = {"playPause",  "next", "previous",     "volumeUp",
                                     "volumeDown", "mute", "brightnessUp", "brightnessDown"};
const char* const quickActions[] = {"spotlight", "lockScreen", "sleep"};
const char* const tools[] = {"pen", "arrow", "box", "spotlight"};
const char* const viewStates[] = {"showing", "stopped", "screenRecordingRequired", "displayUnavailable",
                                  "failed"};
const char* const listKinds[] = {"running", "installed"};
const char* const openStatuses[] = {"opened", "notInstalled", "failed"};
const char* const lockStatuses[] = {"locked", "unlocked"};
const char* const controlStatuses[] = {"ready", "accessibilityRequired"};
const char* const rejections[] = {"notPaired",   "declined", "expired", "lockedOut",
                                  "rateLimited", "busy",     "failed"};

std::string subscriptions(Subscriptions set) {
    return options(set, {{Subscriptions::nowPlaying, "nowPlaying"},
                         {Subscriptions::apps, "apps"},
                         {Subscriptions::volume, "volume"},
                         {Subscriptions::screenLock, "screenLock"}});
}

std::string hostFeatures(HostFeatures set) {
    return options(set, {{HostFeatures::annotations, "annotations"},
                         {HostFeatures::apps, "apps"},
                         {HostFeatures::screenView, "screenView"},
                         {HostFeatures::annotationUndo, "annotationUndo"},
                         {HostFeatures::presentationImages, "presentationImages"},
                         {HostFeatures::unlock, "unlock"},
                         {HostFeatures::volume, "volume"},
                         {HostFeatures::screenLock, "screenLock"},
                         {HostFeatures::annotationColors, "annotationColors"}});
}

std::string gesture(const Gesture& g) {
    return std::visit(
        Overloaded{
            [](const Gesture::Swipe& s) {
                return call("swipe", fields({{"fingers", number(s.fingers)},
                                             {"direction", name(s.direction, directions)}}));
            },
            [](const Gesture::Pinch& p) {
                return call(
                    "pinch",
                    fields({{"phase", name(p.phase, gesturePhases)},
                            {"magnification", number(p.magnification)},
                            {"stamp", optional(p.stamp, [](auto& s) { return stamp("PinchStamp", s); })}}));
            },
            [](const Gesture::SwipeTracking& s) {
                return call(
                    "swipeTracking",
                    fields({{"phase", name(s.phase, gesturePhases)},
                            {"fingers", number(s.fingers)},
                            {"dx", number(s.dx)},
                            {"dy", number(s.dy)},
                            {"stamp", optional(s.stamp, [](auto& t) { return stamp("SwipeStamp", t); })}}));
            },
            [](const Gesture::Tap& t) {
                return call("tap", fields({{"fingers", number(t.fingers)}}));
            },
        },
        g.kind);
}

std::string keyCombination(const KeyCombination& k) {
    std::string key = std::visit(
        Overloaded{
            [](const KeyCombination::Code& c) { return call("code", number(c.code)); },
            [](const KeyCombination::Character& c) { return call("character", quoted(c.character)); },
        },
        k.key);
    return key + ", modifiers: " +
           options(k.modifiers, {{KeyCombination::Modifiers::command, "command"},
                                 {KeyCombination::Modifiers::shift, "shift"},
                                 {KeyCombination::Modifiers::option, "option"},
                                 {KeyCombination::Modifiers::control, "control"}});
}

std::string annotation(const Annotation& a) {
    return std::visit(
        Overloaded{
            [](const Annotation::Begin& b) {
                return call("begin", fields({{"stroke", number(b.stroke)},
                                             {"tool", name(b.tool, tools)},
                                             {"point", point(b.point)}}));
            },
            [](const Annotation::Update& u) {
                return call("update", fields({{"stroke", number(u.stroke)},
                                              {"sequence", number(u.sequence)},
                                              {"point", point(u.point)}}));
            },
            [](const Annotation::End& e) {
                return call("end", fields({{"stroke", number(e.stroke)}, {"point", point(e.point)}}));
            },
            [](const Annotation::Undo& u) {
                return call("undo", fields({{"stroke", number(u.stroke)}}));
            },
            [](const Annotation::Color& c) {
                return call("color", fields({{"red", number(c.color.red)},
                                             {"green", number(c.color.green)},
                                             {"blue", number(c.color.blue)}}));
            },
            [](const Annotation::Clear&) { return std::string("clear"); },
        },
        a.kind);
}

std::string dataPart(const ScreenDataPart& p) {
    return call("ScreenDataPart", fields({{"transfer", number(p.transfer)},
                                          {"part", number(p.part)},
                                          {"partCount", number(p.partCount)},
                                          {"bytes", bytes(p.bytes.size())}}));
}

std::string placement(const PresentationImagePlacement& p) {
    return "(" +
           fields({{"center", point(p.center)}, {"width", number(p.width)}, {"height", number(p.height)}}) +
           ")";
}

std::string presentationImage(const PresentationImage& image) {
    return std::visit(Overloaded{
                          [](const PresentationImage::Part& p) { return call("part", dataPart(p.part)); },
                          [](const PresentationImage::Place& p) {
                              return call("place", fields({{"image", number(p.image)},
                                                           {"placement", placement(p.placement)}}));
                          },
                          [](const PresentationImage::Fit& f) {
                              return call("fit", fields({{"image", number(f.image)}}));
                          },
                          [](const PresentationImage::Close&) { return std::string("close"); },
                      },
                      image.kind);
}

std::string display(const ScreenDisplay& d) {
    return call("ScreenDisplay",
                fields({{"id", number(d.id)},
                        {"name", quoted(d.name)},
                        {"pixelWidth", number(d.pixelWidth)},
                        {"pixelHeight", number(d.pixelHeight)},
                        {"traits",
                         options(d.traits, {{ScreenDisplay::Traits::main, "main"},
                                            {ScreenDisplay::Traits::builtIn, "builtIn"},
                                            {ScreenDisplay::Traits::containsPointer, "containsPointer"}})}}));
}

std::string appList(const AppListPart& list) {
    std::string apps = "[";
    for (const auto& app : list.apps) {
        if (apps.size() > 1) apps += ", ";
        apps += call("MacApp", fields({{"bundleID", quoted(app.bundleID)},
                                       {"name", quoted(app.name)},
                                       {"state", options(app.state, {{MacApp::State::active, "active"},
                                                                     {MacApp::State::hidden, "hidden"}})}}));
    }
    return fields({{"part", number(list.part)}, {"partCount", number(list.partCount)}, {"apps", apps + "]"}});
}

std::string image(const std::optional<Data>& data) {
    return optional(data, [](const Data& d) { return bytes(d.size()); });
}

std::string probe(const char* caseName, std::uint32_t n, bool viaDatagram) {
    return call(caseName, fields({{"number", number(n)}, {"viaDatagram", boolean(viaDatagram)}}));
}

}  // namespace

std::string Message::description() const {
    return std::visit(
        Overloaded{
            [](const PairingRequest& m) {
                return call("pairingRequest", fields({{"deviceID", m.deviceID.uuidString()},
                                                      {"deviceName", quoted(m.deviceName)}}));
            },
            [](const PairingChallenge& m) {
                return call("pairingChallenge", fields({{"hostID", m.hostID.uuidString()},
                                                        {"hostName", quoted(m.hostName)},
                                                        {"sessionID", bytes(m.sessionID.size())},
                                                        {"share", bytes(m.share.size())},
                                                        {"attemptsLeft", number(m.attemptsLeft)}}));
            },
            [](const PairingResponse& m) {
                return call("pairingResponse", fields({{"share", bytes(m.share.size())},
                                                       {"confirmation", bytes(m.confirmation.size())}}));
            },
            [](const PairingAccepted& m) {
                return call("pairingAccepted",
                            fields({{"token", redacted}, {"confirmation", bytes(m.confirmation.size())}}));
            },
            [](const PairingRejected& m) { return call("pairingRejected", name(m.reason, rejections)); },
            [](const PairingCancel&) { return std::string("pairingCancel"); },
            [](const SessionRequest& m) {
                return call("sessionRequest", fields({{"deviceID", m.deviceID.uuidString()},
                                                      {"token", redacted},
                                                      {"wantsFeatures", boolean(m.wantsFeatures)}}));
            },
            [](const SessionAccepted& m) {
                return call("sessionAccepted", fields({{"features", optional(m.features, hostFeatures)}}));
            },
            [](const Probe& m) { return probe("probe", m.number, m.viaDatagram); },
            [](const ProbeReply& m) { return probe("probeReply", m.number, m.viaDatagram); },
            [](const Subscribe& m) { return call("subscribe", subscriptions(m.subscriptions)); },
            [](const Unsubscribe& m) { return call("unsubscribe", subscriptions(m.subscriptions)); },
            [](const ControlStatus& m) { return call("controlStatus", name(m.status, controlStatuses)); },
            [](const ScreenLockStatus& m) { return call("screenLockStatus", name(m.status, lockStatuses)); },
            [](const Move& m) {
                return call("move", fields({{"dx", number(m.dx)}, {"dy", number(m.dy)}}));
            },
            [](const Tap& m) {
                return call("tap", fields({{"clickCount", number(m.clickCount)}}));
            },
            [](const Drag& m) {
                return call("drag", fields({{"phase", name(m.phase, dragPhases)},
                                            {"dx", number(m.dx)},
                                            {"dy", number(m.dy)}}));
            },
            [](const Scroll& m) {
                return call(
                    "scroll",
                    fields({{"dx", number(m.dx)},
                            {"dy", number(m.dy)},
                            {"phase", name(m.phase, scrollPhases)},
                            {"stamp", optional(m.stamp, [](auto& s) { return stamp("ScrollStamp", s); })}}));
            },
            [](const RightClick&) { return std::string("rightClick"); },
            [](const Positioned& m) {
                const auto& s = m.stamp;
                return call("positioned",
                            m.message->description() + ", stamp: " +
                                call("PointerStamp", fields({{"session", s.session.uuidString()},
                                                             {"sequence", number(s.sequence)},
                                                             {"boundary", number(s.boundary)},
                                                             {"x", number(s.x)},
                                                             {"y", number(s.y)}})));
            },
            [](const Gesture& m) { return call("gesture", gesture(m.gesture)); },
            [](const KeyCombination& m) { return call("keyCombination", keyCombination(m.combination)); },
            [](const Text& m) { return call("text", quoted(m.text)); },
            [](const MediaCommand& m) { return call("mediaCommand", name(m.command, mediaCommands)); },
            [](const QuickAction& m) { return call("quickAction", name(m.action, quickActions)); },
            [](const Annotation& m) { return call("annotation", annotation(m.annotation)); },
            [](const PresentationImage& m) { return call("presentationImage", presentationImage(m.image)); },
            [](const ScreenDisplaysRequest&) { return std::string("screenDisplaysRequest"); },
            [](const ScreenDisplays& m) {
                std::string list = "[";
                for (const auto& d : m.displays) {
                    if (list.size() > 1) list += ", ";
                    list += display(d);
                }
                return call("screenDisplays", list + "]");
            },
            [](const ScreenViewStart& m) {
                const auto& r = m.request;
                return call("screenViewStart",
                            fields({{"displayID", number(r.displayID)},
                                    {"maxPixelLength", number(r.maxPixelLength)},
                                    {"framesPerSecond", number(r.framesPerSecond)},
                                    {"codecs", options(r.codecs, {{ScreenVideoCodecs::h264, "h264"},
                                                                  {ScreenVideoCodecs::hevc, "hevc"}})}}));
            },
            [](const ScreenViewSelectDisplay& m) {
                return call("screenViewSelectDisplay", fields({{"displayID", number(m.displayID)}}));
            },
            [](const ScreenViewStop&) { return std::string("screenViewStop"); },
            [](const ScreenViewStatus& m) {
                return call("screenViewStatus",
                            fields({{"state", name(m.status.state, viewStates)},
                                    {"displayID", optional(m.status.displayID, number<std::uint32_t>)}}));
            },
            [](const ScreenVideo& m) { return call("screenVideo", dataPart(m.part)); },
            [](const ScreenshotRequest& m) {
                return call("screenshotRequest",
                            fields({{"number", number(m.request.number)},
                                    {"displayID", number(m.request.displayID)},
                                    {"maxPixelLength", number(m.request.maxPixelLength)}}));
            },
            [](const Screenshot& m) { return call("screenshot", dataPart(m.part)); },
            [](const AppsRequest& m) { return call("appsRequest", name(m.kind, listKinds)); },
            [](const RunningApps& m) { return call("runningApps", appList(m.part)); },
            [](const InstalledApps& m) { return call("installedApps", appList(m.part)); },
            [](const AppIconRequest& m) {
                return call("appIconRequest", fields({{"bundleID", quoted(m.request.bundleID)},
                                                      {"pixelSize", number(m.request.pixelSize)}}));
            },
            [](const AppIcon& m) {
                return call("appIcon",
                            fields({{"bundleID", quoted(m.icon.bundleID)}, {"image", image(m.icon.image)}}));
            },
            [](const OpenApp& m) {
                return call("openApp", fields({{"bundleID", quoted(m.bundleID)}}));
            },
            [](const OpenAppResult& m) {
                return call("openAppResult", fields({{"bundleID", quoted(m.result.bundleID)},
                                                     {"status", name(m.result.status, openStatuses)}}));
            },
            [](const SetVolume& m) { return call("setVolume", number(m.level)); },
            [](const SetMute& m) { return call("setMute", boolean(m.muted)); },
            [](const VolumeStatusRequest&) { return std::string("volumeStatusRequest"); },
            [](const VolumeStatus& m) {
                return call("volumeStatus", fields({{"level", number(m.status.level)},
                                                    {"isMuted", boolean(m.status.isMuted)},
                                                    {"isSupported", boolean(m.status.isSupported)}}));
            },
            [](const NowPlaying& m) {
                return call("nowPlaying", fields({{"title", quoted(m.nowPlaying.title)},
                                                  {"artist", quoted(m.nowPlaying.artist)},
                                                  {"artwork", image(m.nowPlaying.artwork)}}));
            },
            [](const NowPlayingUnavailable&) { return std::string("nowPlayingUnavailable"); },
            [](const UnlockRequest& m) {
                return call("unlockRequest",
                            fields({{"number", number(m.request.number)}, {"password", redacted}}));
            },
            [](const UnlockResult& m) {
                return call("unlockResult", fields({{"number", number(m.result.number)},
                                                    {"status", toString(m.result.status)}}));
            },
        },
        value);
}

}  // namespace TrackpadProtocol
