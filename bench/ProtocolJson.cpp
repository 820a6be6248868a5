#include "ProtocolJson.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "protocol/messages/Overloaded.h"

namespace protocol_bench {

using namespace TrackpadProtocol;
using nlohmann::json;

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::uint8_t* data, std::size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (std::size_t i = 0; i < size; i += 3) {
        std::uint32_t chunk = std::uint32_t{data[i]} << 16;
        if (i + 1 < size) chunk |= std::uint32_t{data[i + 1]} << 8;
        if (i + 2 < size) chunk |= data[i + 2];
        out += alphabet[chunk >> 18 & 63];
        out += alphabet[chunk >> 12 & 63];
        out += i + 1 < size ? alphabet[chunk >> 6 & 63] : '=';
        out += i + 2 < size ? alphabet[chunk & 63] : '=';
    }
    return out;
}

template <class Bytes>
std::string base64(const Bytes& bytes) {
    return base64(bytes.data(), bytes.size());
}

Data unbase64(const std::string& text) {
    static const auto table = [] {
        std::array<int, 256> t{};
        t.fill(-1);
        for (int i = 0; i < 64; ++i)
            t[static_cast<unsigned char>(alphabet[i])] = i;
        return t;
    }();
    Data out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t chunk = 0;
    int bits = 0;
    for (unsigned char c : text) {
        if (c == '=') break;
        if (table[c] < 0) throw std::invalid_argument("not base64");
        chunk = chunk << 6 | static_cast<std::uint32_t>(table[c]);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(chunk >> bits));
        }
    }
    return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> fixed(const json& value) {
    auto bytes = unbase64(value.get<std::string>());
    if (bytes.size() != N) throw std::invalid_argument("wrong size");
    std::array<std::uint8_t, N> out;
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

json toJson(const Message& message) {
    return std::visit(
        Overloaded{
            [](const Message::Move& m) {
                return json{{"type", "move"}, {"dx", m.dx}, {"dy", m.dy}};
            },
            [](const Message::Scroll& m) {
                json j{{"type", "scroll"}, {"dx", m.dx}, {"dy", m.dy}, {"phase", static_cast<int>(m.phase)}};
                if (m.stamp) j["stamp"] = {{"stroke", m.stamp->stroke}, {"sequence", m.stamp->sequence}};
                return j;
            },
            [](const Message::Positioned& m) {
                return json{{"type", "positioned"},
                            {"message", toJson(*m.message)},
                            {"session", m.stamp.session.uuidString()},
                            {"sequence", m.stamp.sequence},
                            {"boundary", m.stamp.boundary},
                            {"x", m.stamp.x},
                            {"y", m.stamp.y}};
            },
            [](const Message::Gesture& m) {
                const auto& pinch = std::get<Gesture::Pinch>(m.gesture.kind);
                json j{{"type", "pinch"},
                       {"phase", static_cast<int>(pinch.phase)},
                       {"magnification", pinch.magnification}};
                if (pinch.stamp)
                    j["stamp"] = {{"stroke", pinch.stamp->stroke}, {"sequence", pinch.stamp->sequence}};
                return j;
            },
            [](const Message::KeyCombination& m) {
                return json{{"type", "keyCombination"},
                            {"code", std::get<KeyCombination::Code>(m.combination.key).code},
                            {"modifiers", m.combination.modifiers.rawValue}};
            },
            [](const Message::Text& m) {
                return json{{"type", "text"}, {"text", m.text}};
            },
            [](const Message::Annotation& m) {
                const auto& update = std::get<Annotation::Update>(m.annotation.kind);
                return json{{"type", "annotationUpdate"},
                            {"stroke", update.stroke},
                            {"sequence", update.sequence},
                            {"x", update.point.x},
                            {"y", update.point.y}};
            },
            [](const Message::PairingRequest& m) {
                return json{{"type", "pairingRequest"},
                            {"deviceID", m.deviceID.uuidString()},
                            {"deviceName", m.deviceName}};
            },
            [](const Message::SessionRequest& m) {
                return json{{"type", "sessionRequest"},
                            {"deviceID", m.deviceID.uuidString()},
                            {"token", base64(m.token)},
                            {"wantsFeatures", m.wantsFeatures}};
            },
            [](const Message::ScreenViewStart& m) {
                return json{{"type", "screenViewStart"},
                            {"displayID", m.request.displayID},
                            {"maxPixelLength", m.request.maxPixelLength},
                            {"framesPerSecond", m.request.framesPerSecond},
                            {"codecs", m.request.codecs.rawValue}};
            },
            [](const Message::Screenshot& m) {
                return json{{"type", "screenshot"},
                            {"transfer", m.part.transfer},
                            {"part", m.part.part},
                            {"partCount", m.part.partCount},
                            {"bytes", base64(m.part.bytes)}};
            },
            [](const Message::RunningApps& m) {
                json apps = json::array();
                for (const auto& app : m.part.apps) {
                    apps.push_back(
                        {{"bundleID", app.bundleID}, {"name", app.name}, {"state", app.state.rawValue}});
                }
                return json{{"type", "runningApps"},
                            {"part", m.part.part},
                            {"partCount", m.part.partCount},
                            {"apps", apps}};
            },
            [](const Message::NowPlaying& m) {
                json j{
                    {"type", "nowPlaying"}, {"title", m.nowPlaying.title}, {"artist", m.nowPlaying.artist}};
                if (m.nowPlaying.artwork) j["artwork"] = base64(*m.nowPlaying.artwork);
                return j;
            },
            [](const Message::VolumeStatus& m) {
                return json{{"type", "volumeStatus"},
                            {"level", m.status.level},
                            {"isMuted", m.status.isMuted},
                            {"isSupported", m.status.isSupported}};
            },
            [](const Message::UnlockRequest& m) {
                return json{{"type", "unlockRequest"},
                            {"number", m.request.number},
                            {"password", m.request.password}};
            },
            [](const auto&) -> json { throw std::logic_error("no JSON twin for this case"); },
        },
        message.value);
}

UUID uuid(const json& value) {
    auto id = UUID::parse(value.get<std::string>());
    if (!id) throw std::invalid_argument("not a UUID");
    return *id;
}

template <class Stamp>
std::optional<Stamp> stamp(const json& j) {
    auto found = j.find("stamp");
    if (found == j.end()) return std::nullopt;
    Stamp s;
    s.stroke = found->at("stroke").get<std::uint32_t>();
    s.sequence = found->at("sequence").get<std::uint32_t>();
    return s;
}

Message fromJson(const json& j) {
    const auto& type = j.at("type").get_ref<const std::string&>();
    if (type == "move") return Message::Move{j.at("dx").get<float>(), j.at("dy").get<float>()};
    if (type == "scroll") {
        return Message::Scroll{j.at("dx").get<float>(), j.at("dy").get<float>(),
                               static_cast<ScrollPhase>(j.at("phase").get<int>()), stamp<ScrollStamp>(j)};
    }
    if (type == "positioned") {
        return Message::Positioned{fromJson(j.at("message")),
                                   PointerStamp{uuid(j.at("session")), j.at("sequence").get<std::uint64_t>(),
                                                j.at("boundary").get<std::uint64_t>(),
                                                j.at("x").get<double>(), j.at("y").get<double>()}};
    }
    if (type == "pinch") {
        return Message::Gesture{{Gesture::Pinch{static_cast<GesturePhase>(j.at("phase").get<int>()),
                                                j.at("magnification").get<float>(), stamp<PinchStamp>(j)}}};
    }
    if (type == "keyCombination") {
        return Message::KeyCombination{{KeyCombination::Code{j.at("code").get<std::uint16_t>()},
                                        KeyCombination::Modifiers(j.at("modifiers").get<std::uint8_t>())}};
    }
    if (type == "text") return Message::Text{j.at("text").get<std::string>()};
    if (type == "annotationUpdate") {
        return Message::Annotation{{Annotation::Update{j.at("stroke").get<std::uint16_t>(),
                                                       j.at("sequence").get<std::uint16_t>(),
                                                       {j.at("x").get<float>(), j.at("y").get<float>()}}}};
    }
    if (type == "pairingRequest") {
        return Message::PairingRequest{uuid(j.at("deviceID")), j.at("deviceName").get<std::string>()};
    }
    if (type == "sessionRequest") {
        return Message::SessionRequest{uuid(j.at("deviceID")), fixed<32>(j.at("token")),
                                       j.at("wantsFeatures").get<bool>()};
    }
    if (type == "screenViewStart") {
        return Message::ScreenViewStart{{j.at("displayID").get<std::uint32_t>(),
                                         j.at("maxPixelLength").get<std::uint16_t>(),
                                         j.at("framesPerSecond").get<std::uint8_t>(),
                                         ScreenVideoCodecs(j.at("codecs").get<std::uint8_t>())}};
    }
    if (type == "screenshot") {
        return Message::Screenshot{{j.at("transfer").get<std::uint32_t>(), j.at("part").get<std::uint16_t>(),
                                    j.at("partCount").get<std::uint16_t>(),
                                    unbase64(j.at("bytes").get<std::string>())}};
    }
    if (type == "runningApps") {
        AppListPart part;
        part.part = j.at("part").get<std::uint16_t>();
        part.partCount = j.at("partCount").get<std::uint16_t>();
        for (const auto& app : j.at("apps")) {
            part.apps.push_back({app.at("bundleID").get<std::string>(), app.at("name").get<std::string>(),
                                 MacApp::State(app.at("state").get<std::uint8_t>())});
        }
        return Message::RunningApps{std::move(part)};
    }
    if (type == "nowPlaying") {
        std::optional<Data> artwork;
        if (auto found = j.find("artwork"); found != j.end()) artwork = unbase64(found->get<std::string>());
        return Message::NowPlaying{
            NowPlaying(j.at("title").get<std::string>(), j.at("artist").get<std::string>(), artwork)};
    }
    if (type == "volumeStatus") {
        return Message::VolumeStatus{{j.at("level").get<std::uint8_t>(), j.at("isMuted").get<bool>(),
                                      j.at("isSupported").get<bool>()}};
    }
    if (type == "unlockRequest") {
        return Message::UnlockRequest{
            {j.at("number").get<std::uint32_t>(), j.at("password").get<std::string>()}};
    }
    throw std::invalid_argument("unknown JSON message type");
}

}  // namespace

std::string toJsonText(const Message& message) {
    return toJson(message).dump();
}

Message fromJsonText(std::string_view text) {
    return fromJson(json::parse(text));
}

}  // namespace protocol_bench
