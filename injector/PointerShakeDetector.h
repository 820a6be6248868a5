#pragma once
// Recognises a quick left-right shaking of the pointer in the phone's stream of pointer deltas. A plain
// value: it sees deltas in points and times in seconds, nothing else.
#include <optional>
#include <vector>

namespace Injector {

class PointerShakeDetector {
  public:
    struct Configuration {
        // Values outside the sane range are replaced (see the constructor).
        Configuration(int minimumStrokes = 4, double minimumStrokeLength = 80, double window = 1.0,
                      double maximumPause = 0.25, double reversalTolerance = 12,
                      double horizontalDominance = 2.0);

        int minimumStrokes;
        double minimumStrokeLength;
        double window;
        double maximumPause;
        double reversalTolerance;
        double horizontalDominance;
        friend bool operator==(const Configuration&, const Configuration&) = default;
    };

    struct Stroke {
        double direction = 0;  // +1 rightwards, -1 leftwards
        double horizontal = 0;
        double vertical = 0;
        double start = 0;
        friend bool operator==(const Stroke&, const Stroke&) = default;
    };

    struct Travel {
        double horizontal = 0;
        double vertical = 0;
        friend bool operator==(const Travel&, const Travel&) = default;
    };

    explicit PointerShakeDetector(Configuration configuration = {}) : configuration_(configuration) {}

    // Feeds one movement sample; true exactly when it completes a shake.
    bool observe(double dx, double dy, double now);
    void reset();

    const Configuration& configuration() const { return configuration_; }
    const std::optional<Stroke>& stroke() const { return stroke_; }
    // Travel against the stroke's direction not yet confirmed as a reversal.
    const Travel& opposite() const { return opposite_; }
    // Start times of the finished strokes that counted, oldest first.
    const std::vector<double>& strokeStarts() const { return strokeStarts_; }

  private:
    bool counts(const Stroke& stroke) const;
    void forgetStrokes();

    Configuration configuration_;
    std::optional<Stroke> stroke_;
    Travel opposite_;
    std::vector<double> strokeStarts_;
    std::optional<double> lastSample_;
};

}  // namespace Injector
