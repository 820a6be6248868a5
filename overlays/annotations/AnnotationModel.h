#pragma once
// What one phone is drawing over one display: marks with their hold-and-fade timeline, at most one
// spotlight, the colour for new marks and the stroke being drawn. Coordinates stay normalized (0...1,
// y from the top) and time is seconds of system uptime passed in by the caller. A plain value used on
// the main thread only.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "protocol/messages/Types.h"

namespace Annotations {

struct AnnotationStyle;
struct AnnotationScene;
struct Size;

using TrackpadProtocol::Annotation;
using TrackpadProtocol::AnnotationColor;
using TrackpadProtocol::AnnotationPoint;
using TrackpadProtocol::AnnotationTool;

class AnnotationModel {
  public:
    struct Timing {
        double holdDuration = 4.0;
        double fadeDuration = 0.6;
        bool operator==(const Timing&) const = default;
    };

    struct Mark {
        std::int64_t id = 0;
        std::uint16_t stroke = 0;
        AnnotationTool tool = AnnotationTool::pen;
        AnnotationColor color;
        std::deque<AnnotationPoint> points;  // never empty; a long pen stroke drops from the front
        bool isFinished = false;
        std::optional<double> fadeStart;

        AnnotationPoint startPoint() const { return points.front(); }
        AnnotationPoint endPoint() const { return points.back(); }
        // A pen keeps every new point (the oldest go past maxPointsPerMark); the other tools keep the
        // first and the latest. A point equal to the last one changes nothing.
        bool append(AnnotationPoint point);
        bool operator==(const Mark&) const = default;
    };

    struct OpenStroke {
        std::uint16_t stroke = 0;
        std::int64_t markID = 0;
        std::uint16_t lastSequence = 0;
        bool operator==(const OpenStroke&) const = default;
    };

    static constexpr float minimumSpotlightExtent = 0.02f;
    // A pen held down for minutes, or marks drawn within the hold time of each other for hours, would
    // otherwise grow without end; both caps lie far above real drawing and drop the oldest first.
    static constexpr std::size_t maxPointsPerMark = 20000;
    static constexpr std::size_t maxMarks = 1000;

    AnnotationModel();
    explicit AnnotationModel(Timing timing);

    // Applies one message at `now`; true when the drawing may have changed.
    bool apply(const Annotation& annotation, double now);
    // Removes the marks whose fade has ended; true when one was removed.
    bool prune(double now);
    AnnotationScene scene(Size size, double now, const AnnotationStyle& style) const;
    double opacity(const Mark& mark, double now) const;

    bool isEmpty() const { return marks_.empty() && !spotlight_; }
    bool isDrawing() const { return open_.has_value(); }
    bool hasScheduledFades() const;

    const Timing& timing() const { return timing_; }
    const std::vector<Mark>& marks() const { return marks_; }
    const std::optional<Mark>& spotlight() const { return spotlight_; }
    AnnotationColor color() const { return color_; }
    const std::optional<OpenStroke>& open() const { return open_; }
    std::int64_t nextID() const { return nextID_; }

    static bool spansMinimumExtent(AnnotationPoint from, AnnotationPoint to);

    bool operator==(const AnnotationModel&) const = default;

  private:
    bool begin(const Annotation::Begin& begin, double now);
    bool update(const Annotation::Update& update);
    bool end(const Annotation::End& end, double now);
    bool undo(const Annotation::Undo& undo, double now);
    bool clear();
    bool addPoint(std::int64_t markID, AnnotationPoint point);
    bool finishOpenStroke(double now);
    Mark* newestMark(std::int64_t markID);

    Timing timing_;
    std::vector<Mark> marks_;
    std::optional<Mark> spotlight_;
    AnnotationColor color_ = AnnotationColor::standard;
    std::optional<OpenStroke> open_;
    std::int64_t nextID_ = 0;
};

}  // namespace Annotations
