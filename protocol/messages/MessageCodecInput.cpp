// Field layouts of the input messages (pointer, scroll, gestures, keys, media) and of the overlays
// (annotations, presentation images).
#include "protocol/messages/MessageCodecFamilies.h"
#include "protocol/messages/Overloaded.h"

namespace TrackpadProtocol::wire {

namespace {

using EncodingError = MessageCodec::EncodingError;
using DecodingError = MessageCodec::DecodingError;

// Stamps of streamed input travel as an optional pair of u32: stroke, sequence.
template <class Stamp>
void writeStamp(WireWriter& w, const std::optional<Stamp>& stamp) {
    w.boolean(stamp.has_value());
    if (stamp) {
        w.u32(stamp->stroke);
        w.u32(stamp->sequence);
    }
}

template <class Stamp>
std::optional<Stamp> readStamp(WireReader& r) {
    if (!r.presence("stamp")) return std::nullopt;
    Stamp stamp;
    stamp.stroke = r.u32();
    stamp.sequence = r.u32();
    return stamp;
}

void writePoint(WireWriter& w, const AnnotationPoint& point) {
    w.f32(point.x, "point");
    w.f32(point.y, "point");
}

AnnotationPoint readPoint(WireReader& r) {
    AnnotationPoint point;
    point.x = r.f32("point");
    point.y = r.f32("point");
    return point;
}

bool isPositionable(std::uint8_t type) {
    return type == type::move || type == type::tap || type == type::drag || type == type::rightClick;
}

void writeGesture(WireWriter& w, const Gesture& gesture) {
    w.u8(static_cast<std::uint8_t>(gesture.kind.index()));
    std::visit(Overloaded{
                   [&](const Gesture::Swipe& g) {
                       w.u8(g.fingers);
                       w.u8(checkedEnum(g.direction, SwipeDirection::down, "swipe direction"));
                   },
                   [&](const Gesture::Pinch& g) {
                       w.u8(checkedEnum(g.phase, GesturePhase::ended, "gesture phase"));
                       w.f32(g.magnification, "magnification");
                       writeStamp(w, g.stamp);
                   },
                   [&](const Gesture::SwipeTracking& g) {
                       w.u8(checkedEnum(g.phase, GesturePhase::ended, "gesture phase"));
                       w.u8(g.fingers);
                       w.f32(g.dx, "swipe dx");
                       w.f32(g.dy, "swipe dy");
                       writeStamp(w, g.stamp);
                   },
                   [&](const Gesture::Tap& g) { w.u8(g.fingers); },
               },
               gesture.kind);
}

Gesture readGesture(WireReader& r) {
    switch (r.u8()) {
        case 0: {
            Gesture::Swipe g;
            g.fingers = r.u8();
            g.direction = r.enumeration(SwipeDirection::down, "swipe direction");
            return {g};
        }
        case 1: {
            Gesture::Pinch g;
            g.phase = r.enumeration(GesturePhase::ended, "gesture phase");
            g.magnification = r.f32("magnification");
            g.stamp = readStamp<PinchStamp>(r);
            return {g};
        }
        case 2: {
            Gesture::SwipeTracking g;
            g.phase = r.enumeration(GesturePhase::ended, "gesture phase");
            g.fingers = r.u8();
            g.dx = r.f32("swipe dx");
            g.dy = r.f32("swipe dy");
            g.stamp = readStamp<SwipeStamp>(r);
            return {g};
        }
        case 3:
            return {Gesture::Tap{r.u8()}};
        default:
            throw DecodingError::invalidValue("gesture kind");
    }
}

void writeKeyCombination(WireWriter& w, const KeyCombination& combination) {
    if (auto code = std::get_if<KeyCombination::Code>(&combination.key)) {
        w.u8(0);
        w.u16(code->code);
    } else {
        const auto& character = std::get<KeyCombination::Character>(combination.key).character;
        if (character.empty()) throw EncodingError::invalidValue("key character");
        w.u8(1);
        w.string(character, "key character");
    }
    w.u8(checkedOptions(combination.modifiers, "modifiers"));
}

KeyCombination readKeyCombination(WireReader& r) {
    KeyCombination combination;
    switch (r.u8()) {
        case 0:
            combination.key = KeyCombination::Code{r.u16()};
            break;
        case 1: {
            auto character = r.string("key character");
            if (character.empty()) throw DecodingError::invalidValue("key character");
            combination.key = KeyCombination::Character{std::move(character)};
            break;
        }
        default:
            throw DecodingError::invalidValue("key kind");
    }
    combination.modifiers = r.options<KeyCombination::Modifiers>("modifiers");
    return combination;
}

void writeAnnotation(WireWriter& w, const Annotation& annotation) {
    w.u8(static_cast<std::uint8_t>(annotation.kind.index()));
    std::visit(Overloaded{
                   [&](const Annotation::Begin& a) {
                       w.u16(a.stroke);
                       w.u8(checkedEnum(a.tool, AnnotationTool::spotlight, "annotation tool"));
                       writePoint(w, a.point);
                   },
                   [&](const Annotation::Update& a) {
                       w.u16(a.stroke);
                       w.u16(a.sequence);
                       writePoint(w, a.point);
                   },
                   [&](const Annotation::End& a) {
                       w.u16(a.stroke);
                       writePoint(w, a.point);
                   },
                   [&](const Annotation::Undo& a) { w.u16(a.stroke); },
                   [&](const Annotation::Color& a) {
                       w.u8(a.color.red);
                       w.u8(a.color.green);
                       w.u8(a.color.blue);
                   },
                   [&](const Annotation::Clear&) {},
               },
               annotation.kind);
}

Annotation readAnnotation(WireReader& r) {
    switch (r.u8()) {
        case 0: {
            Annotation::Begin a;
            a.stroke = r.u16();
            a.tool = r.enumeration(AnnotationTool::spotlight, "annotation tool");
            a.point = readPoint(r);
            return {a};
        }
        case 1: {
            Annotation::Update a;
            a.stroke = r.u16();
            a.sequence = r.u16();
            a.point = readPoint(r);
            return {a};
        }
        case 2: {
            Annotation::End a;
            a.stroke = r.u16();
            a.point = readPoint(r);
            return {a};
        }
        case 3:
            return {Annotation::Undo{r.u16()}};
        case 4: {
            AnnotationColor color;
            color.red = r.u8();
            color.green = r.u8();
            color.blue = r.u8();
            return {Annotation::Color{color}};
        }
        case 5:
            return {Annotation::Clear{}};
        default:
            throw DecodingError::invalidValue("annotation kind");
    }
}

void writePresentationImage(WireWriter& w, const PresentationImage& image) {
    w.u8(static_cast<std::uint8_t>(image.kind.index()));
    std::visit(Overloaded{
                   [&](const PresentationImage::Part& p) { writeScreenDataPart(w, p.part); },
                   [&](const PresentationImage::Place& p) {
                       w.u32(p.image);
                       writePlacement(w, p.placement);
                   },
                   [&](const PresentationImage::Fit& p) { w.u32(p.image); },
                   [&](const PresentationImage::Close&) {},
               },
               image.kind);
}

PresentationImage readPresentationImage(WireReader& r) {
    switch (r.u8()) {
        case 0:
            return {PresentationImage::Part{readScreenDataPart(r)}};
        case 1: {
            PresentationImage::Place p;
            p.image = r.u32();
            p.placement = readPlacement(r);
            return {p};
        }
        case 2:
            return {PresentationImage::Fit{r.u32()}};
        case 3:
            return {PresentationImage::Close{}};
        default:
            throw DecodingError::invalidValue("presentation image kind");
    }
}

}  // namespace

void writePlacement(WireWriter& w, const PresentationImagePlacement& placement) {
    w.f32(placement.center.x, "placement");
    w.f32(placement.center.y, "placement");
    w.f32(placement.width, "placement");
    w.f32(placement.height, "placement");
    if (!placement.isValid()) throw EncodingError::invalidValue("placement");
}

PresentationImagePlacement readPlacement(WireReader& r) {
    PresentationImagePlacement placement;
    placement.center.x = r.f32("placement");
    placement.center.y = r.f32("placement");
    placement.width = r.f32("placement");
    placement.height = r.f32("placement");
    if (!placement.isValid()) throw DecodingError::invalidValue("placement");
    return placement;
}

void encodeInputFields(WireWriter& w, const Message& message) {
    std::visit(Overloaded{
                   [&](const Message::Move& m) {
                       w.f32(m.dx, "move dx");
                       w.f32(m.dy, "move dy");
                   },
                   [&](const Message::Tap& m) { w.u8(m.clickCount); },
                   [&](const Message::Drag& m) {
                       w.u8(checkedEnum(m.phase, DragPhase::ended, "drag phase"));
                       w.f32(m.dx, "drag dx");
                       w.f32(m.dy, "drag dy");
                   },
                   [&](const Message::Scroll& m) {
                       w.f32(m.dx, "scroll dx");
                       w.f32(m.dy, "scroll dy");
                       w.u8(checkedEnum(m.phase, ScrollPhase::momentumEnded, "scroll phase"));
                       writeStamp(w, m.stamp);
                   },
                   [&](const Message::RightClick&) {},
                   [&](const Message::Positioned& m) {
                       const auto innerType = MessageCodec::typeByte(*m.message);
                       if (!isPositionable(innerType))
                           throw EncodingError::invalidValue("positioned message");
                       w.u8(innerType);
                       encodeInputFields(w, *m.message);
                       w.fixed(m.stamp.session.bytes);
                       w.u64(m.stamp.sequence);
                       w.u64(m.stamp.boundary);
                       w.f64(m.stamp.x, "pointer stamp");
                       w.f64(m.stamp.y, "pointer stamp");
                   },
                   [&](const Message::Gesture& m) { writeGesture(w, m.gesture); },
                   [&](const Message::KeyCombination& m) { writeKeyCombination(w, m.combination); },
                   [&](const Message::Text& m) { w.string(m.text, "text"); },
                   [&](const Message::MediaCommand& m) {
                       w.u8(checkedEnum(m.command, MediaCommand::brightnessDown, "media command"));
                   },
                   [&](const Message::QuickAction& m) {
                       w.u8(checkedEnum(m.action, QuickAction::sleep, "quick action"));
                   },
                   [&](const Message::Annotation& m) { writeAnnotation(w, m.annotation); },
                   [&](const Message::PresentationImage& m) { writePresentationImage(w, m.image); },
                   [](const auto&) {},
               },
               message.value);
}

Message decodeInputFields(std::uint8_t type, WireReader& r) {
    switch (type) {
        case type::move: {
            Message::Move m;
            m.dx = r.f32("move dx");
            m.dy = r.f32("move dy");
            return m;
        }
        case type::tap:
            return Message::Tap{r.u8()};
        case type::drag: {
            Message::Drag m;
            m.phase = r.enumeration(DragPhase::ended, "drag phase");
            m.dx = r.f32("drag dx");
            m.dy = r.f32("drag dy");
            return m;
        }
        case type::scroll: {
            Message::Scroll m;
            m.dx = r.f32("scroll dx");
            m.dy = r.f32("scroll dy");
            m.phase = r.enumeration(ScrollPhase::momentumEnded, "scroll phase");
            m.stamp = readStamp<ScrollStamp>(r);
            return m;
        }
        case type::rightClick:
            return Message::RightClick{};
        case type::positioned: {
            const auto innerType = r.u8();
            if (!isPositionable(innerType)) throw DecodingError::invalidValue("positioned message");
            auto inner = decodeInputFields(innerType, r);
            PointerStamp stamp;
            stamp.session = UUID{r.fixed<16>()};
            stamp.sequence = r.u64();
            stamp.boundary = r.u64();
            stamp.x = r.f64("pointer stamp");
            stamp.y = r.f64("pointer stamp");
            return Message::Positioned{std::move(inner), stamp};
        }
        case type::gesture:
            return Message::Gesture{readGesture(r)};
        case type::keyCombination:
            return Message::KeyCombination{readKeyCombination(r)};
        case type::text:
            return Message::Text{r.string("text")};
        case type::mediaCommand:
            return Message::MediaCommand{r.enumeration(MediaCommand::brightnessDown, "media command")};
        case type::quickAction:
            return Message::QuickAction{r.enumeration(QuickAction::sleep, "quick action")};
        case type::annotation:
            return Message::Annotation{readAnnotation(r)};
        case type::presentationImage:
            return Message::PresentationImage{readPresentationImage(r)};
        default:
            throw MessageCodec::DecodingError::unknownMessageType(type);
    }
}

}  // namespace TrackpadProtocol::wire
