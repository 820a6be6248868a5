#include "overlays/annotations/AnnotationModel.h"

#include <algorithm>
#include <cmath>
#include <variant>

#include "protocol/messages/Overloaded.h"

namespace Annotations {

namespace {

bool isFinite(AnnotationPoint p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
}

// Sequence numbers wrap at 65536: newer means 1...32767 ahead.
bool isNewer(std::uint16_t sequence, std::uint16_t last) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(sequence - last)) > 0;
}

}  // namespace

bool AnnotationModel::Mark::append(AnnotationPoint point) {
    if (point == points.back())
        return false;
    if (tool == AnnotationTool::pen) {
        if (points.size() >= maxPointsPerMark)
            points.pop_front();
        points.push_back(point);
    } else {
        points = {points.front(), point};
    }
    return true;
}

AnnotationModel::AnnotationModel() : AnnotationModel(Timing{}) {}
AnnotationModel::AnnotationModel(Timing timing) : timing_(timing) {}

bool AnnotationModel::apply(const Annotation& annotation, double now) {
    return std::visit(TrackpadProtocol::Overloaded{
                          [&](const Annotation::Begin& m) { return begin(m, now); },
                          [&](const Annotation::Update& m) { return update(m); },
                          [&](const Annotation::End& m) { return end(m, now); },
                          [&](const Annotation::Undo& m) { return undo(m, now); },
                          [&](const Annotation::Color& m) {
                              color_ = m.color;
                              return false;
                          },
                          [&](const Annotation::Clear&) { return clear(); },
                      },
                      annotation.kind);
}

bool AnnotationModel::begin(const Annotation::Begin& m, double now) {
    if (!isFinite(m.point))
        return false;
    finishOpenStroke(now);
    for (auto& mark : marks_) {
        if (mark.fadeStart && *mark.fadeStart > now)
            mark.fadeStart.reset();
    }
    Mark mark{nextID_++, m.stroke, m.tool, color_, {m.point}, false, std::nullopt};
    open_ = OpenStroke{m.stroke, mark.id, 0};
    if (m.tool == AnnotationTool::spotlight) {
        spotlight_ = std::move(mark);
    } else {
        if (marks_.size() >= maxMarks)
            marks_.erase(marks_.begin());
        marks_.push_back(std::move(mark));
    }
    return true;
}

bool AnnotationModel::update(const Annotation::Update& m) {
    if (!open_ || open_->stroke != m.stroke)
        return false;
    if (!isNewer(m.sequence, open_->lastSequence))
        return false;
    if (!isFinite(m.point))
        return false;
    open_->lastSequence = m.sequence;
    return addPoint(open_->markID, m.point);
}

bool AnnotationModel::end(const Annotation::End& m, double now) {
    if (!open_ || open_->stroke != m.stroke)
        return false;
    if (isFinite(m.point))
        addPoint(open_->markID, m.point);
    finishOpenStroke(now);
    return true;
}

bool AnnotationModel::undo(const Annotation::Undo& m, double now) {
    bool finished = false;
    if (open_ && open_->stroke == m.stroke)
        finished = finishOpenStroke(now);
    auto found = std::find_if(marks_.rbegin(), marks_.rend(),
                              [&](const Mark& mark) { return mark.stroke == m.stroke; });
    bool spotlightMatches = spotlight_ && spotlight_->stroke == m.stroke;
    if (found != marks_.rend()) {
        if (spotlightMatches && found->id < spotlight_->id) {
            spotlight_.reset();
        } else {
            marks_.erase(std::next(found).base());
        }
        return true;
    }
    if (spotlightMatches) {
        spotlight_.reset();
        return true;
    }
    return finished;
}

bool AnnotationModel::clear() {
    bool hadDrawing = !marks_.empty() || spotlight_;
    marks_.clear();
    spotlight_.reset();
    open_.reset();
    return hadDrawing;
}

AnnotationModel::Mark* AnnotationModel::newestMark(std::int64_t markID) {
    auto found =
        std::find_if(marks_.rbegin(), marks_.rend(), [&](const Mark& mark) { return mark.id == markID; });
    return found == marks_.rend() ? nullptr : &*found;
}

bool AnnotationModel::addPoint(std::int64_t markID, AnnotationPoint point) {
    if (spotlight_ && spotlight_->id == markID)
        return spotlight_->append(point);
    Mark* mark = newestMark(markID);
    return mark ? mark->append(point) : false;
}

bool AnnotationModel::finishOpenStroke(double now) {
    if (!open_)
        return false;
    std::int64_t markID = open_->markID;
    open_.reset();
    if (spotlight_ && spotlight_->id == markID) {
        spotlight_->isFinished = true;
        if (!spansMinimumExtent(spotlight_->startPoint(), spotlight_->endPoint()))
            spotlight_.reset();
    } else if (Mark* mark = newestMark(markID)) {
        mark->isFinished = true;
    }
    for (auto& mark : marks_) {
        if (mark.isFinished && !mark.fadeStart)
            mark.fadeStart = now + timing_.holdDuration;
    }
    return true;
}

bool AnnotationModel::prune(double now) {
    auto before = marks_.size();
    std::erase_if(marks_, [&](const Mark& mark) {
        return mark.fadeStart && *mark.fadeStart + timing_.fadeDuration <= now;
    });
    return marks_.size() != before;
}

double AnnotationModel::opacity(const Mark& mark, double now) const {
    if (!mark.fadeStart || !(*mark.fadeStart < now))
        return 1.0;
    if (!(timing_.fadeDuration > 0))
        return 0.0;
    return std::max(0.0, 1.0 - (now - *mark.fadeStart) / timing_.fadeDuration);
}

bool AnnotationModel::hasScheduledFades() const {
    return std::any_of(marks_.begin(), marks_.end(),
                       [](const Mark& mark) { return mark.fadeStart.has_value(); });
}

bool AnnotationModel::spansMinimumExtent(AnnotationPoint from, AnnotationPoint to) {
    return std::fabs(to.x - from.x) >= minimumSpotlightExtent &&
           std::fabs(to.y - from.y) >= minimumSpotlightExtent;
}

}  // namespace Annotations
