// Properties of the scroll, pinch and swipe sequencers over stamped streams that pass the two channels,
// and over arbitrary streams: the output is a well-formed phase sequence, every stamped message comes out
// at most once and in its stroke's order, and a second sequencer passes the output unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "protocol/input/Stampers.h"
#include "protocol/input/StrokeSequencers.h"
#include "protocol/input/tests/ChannelModel.h"
#include "protocol/input/tests/InputPrinting.h"

namespace TrackpadProtocol {
namespace {

using Messages = std::vector<Message>;

template <class Typed>
std::optional<Typed> typed(std::optional<StrokeStamp> stamp) {
    if (!stamp)
        return std::nullopt;
    Typed result;
    static_cast<StrokeStamp&>(result) = *stamp;
    return result;
}
template <class Typed>
std::optional<StrokeStamp> plain(const std::optional<Typed>& stamp) {
    if (!stamp)
        return std::nullopt;
    return static_cast<const StrokeStamp&>(*stamp);
}

struct ScrollKind {
    using Sequencer = ScrollSequencer;
    using Stamper = ScrollStamper;
    static constexpr bool hasMomentum = true;
    static Message make(StrokePhase phase, float amount, std::optional<StrokeStamp> stamp) {
        return Message::Scroll{0, amount, static_cast<ScrollPhase>(phase), typed<ScrollStamp>(stamp)};
    }
    static StrokePhase phaseOf(const Message& m) {
        return static_cast<StrokePhase>(m.as<Message::Scroll>()->phase);
    }
    static float amountOf(const Message& m) { return m.as<Message::Scroll>()->dy; }
    static std::optional<StrokeStamp> stampOf(const Message& m) {
        return plain(m.as<Message::Scroll>()->stamp);
    }
};

struct PinchKind {
    using Sequencer = PinchSequencer;
    using Stamper = PinchStamper;
    static constexpr bool hasMomentum = false;
    static const Gesture::Pinch& of(const Message& m) {
        return std::get<Gesture::Pinch>(m.as<Message::Gesture>()->gesture.kind);
    }
    static Message make(StrokePhase phase, float amount, std::optional<StrokeStamp> stamp) {
        return Message::Gesture{
            Gesture{Gesture::Pinch{static_cast<GesturePhase>(phase), amount, typed<PinchStamp>(stamp)}}};
    }
    static StrokePhase phaseOf(const Message& m) { return static_cast<StrokePhase>(of(m).phase); }
    static float amountOf(const Message& m) { return of(m).magnification; }
    static std::optional<StrokeStamp> stampOf(const Message& m) { return plain(of(m).stamp); }
};

struct SwipeKind {
    using Sequencer = SwipeSequencer;
    using Stamper = SwipeStamper;
    static constexpr bool hasMomentum = false;
    static const Gesture::SwipeTracking& of(const Message& m) {
        return std::get<Gesture::SwipeTracking>(m.as<Message::Gesture>()->gesture.kind);
    }
    static Message make(StrokePhase phase, float amount, std::optional<StrokeStamp> stamp) {
        return Message::Gesture{Gesture{Gesture::SwipeTracking{static_cast<GesturePhase>(phase), 3, amount, 0,
                                                               typed<SwipeStamp>(stamp)}}};
    }
    static StrokePhase phaseOf(const Message& m) { return static_cast<StrokePhase>(of(m).phase); }
    static float amountOf(const Message& m) { return of(m).dx; }
    static std::optional<StrokeStamp> stampOf(const Message& m) { return plain(of(m).stamp); }
};

// Where finish() is called: before the messages at these indices.
using Finishes = std::set<std::size_t>;

// Runs one sequencer over the input; `finishedAt` receives the output's size after each finish.
template <class Kind>
Messages runSequencer(const Messages& input, const Finishes& finishesBefore, bool finishAtEnd,
                      std::vector<std::size_t>* finishedAt = nullptr) {
    typename Kind::Sequencer sequencer;
    Messages out;
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (finishesBefore.count(i)) {
            sequencer.finish(out);
            if (finishedAt)
                finishedAt->push_back(out.size());
        }
        sequencer.process(input[i], out);
    }
    if (finishAtEnd)
        sequencer.finish(out);
    return out;
}

// The phases must follow the grammar: began changed* ended, and for scrolls (momentum+ momentumEnded)?
// after the end.
template <class Kind>
void checkWellFormed(const Messages& out) {
    StrokeStage stage = StrokeStage::idle;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const StrokePhase phase = Kind::phaseOf(out[i]);
        bool fits = false;
        switch (phase) {
            case StrokePhase::began:
                fits = stage == StrokeStage::idle || stage == StrokeStage::ended;
                break;
            case StrokePhase::changed:
            case StrokePhase::ended:
                fits = stage == StrokeStage::active;
                break;
            case StrokePhase::momentum:
                fits = stage == StrokeStage::ended || stage == StrokeStage::momentum;
                break;
            case StrokePhase::momentumEnded:
                fits = stage == StrokeStage::momentum;
                break;
        }
        ASSERT_TRUE(fits) << "phase " << int(phase) << " at " << i << " after stage " << int(stage);
        stage = stageAfter(phase, Kind::hasMomentum);
    }
    EXPECT_TRUE(stage == StrokeStage::idle || stage == StrokeStage::ended) << "left open";
}

// Every stamped message comes out at most once, unchanged, and never after a later one of its stroke or
// after a newer stroke; what comes out without a stamp was supplied with a zero amount (when everything
// sent was stamped).
template <class Kind>
void checkStamped(const Messages& sent, const Messages& out, bool allStamped) {
    std::multimap<std::pair<std::uint32_t, std::uint32_t>, const Message*> sentByStamp;
    for (const auto& message : sent) {
        if (auto stamp = Kind::stampOf(message))
            sentByStamp.emplace(std::pair{stamp->stroke, stamp->sequence}, &message);
    }
    std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
    std::optional<StrokeStamp> last;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto stamp = Kind::stampOf(out[i]);
        if (!stamp) {
            if (allStamped) {
                ASSERT_EQ(Kind::amountOf(out[i]), 0) << i;
            }
            continue;
        }
        ASSERT_TRUE(seen.insert({stamp->stroke, stamp->sequence}).second) << "applied twice at " << i;
        const auto [first, end] = sentByStamp.equal_range({stamp->stroke, stamp->sequence});
        ASSERT_TRUE(std::any_of(first, end, [&](const auto& entry) { return *entry.second == out[i]; }))
            << "changed on the way at " << i;
        if (last) {
            if (last->stroke == stamp->stroke) {
                ASSERT_GT(stamp->sequence, last->sequence) << i;
            } else {
                ASSERT_TRUE(isNewerStroke(stamp->stroke, last->stroke))
                    << "went back to an older stroke at " << i;
            }
        }
        last = stamp;
    }
}

// The phone: strokes of began, changes and ended, scrolls sometimes with momentum.
template <class Kind>
Messages phoneStrokes(std::mt19937& random, int strokes, bool stamped, std::uint32_t firstStroke) {
    typename Kind::Stamper stamper(firstStroke);
    std::uniform_int_distribution<int> changes(0, 12);
    std::uniform_real_distribution<float> amount(-5, 5);
    std::bernoulli_distribution momentum(0.5);
    Messages sent;
    auto send = [&](StrokePhase phase, float value) {
        const Message message = Kind::make(phase, value, std::nullopt);
        sent.push_back(stamped ? stamper.stamp(message) : message);
    };
    for (int s = 0; s < strokes; ++s) {
        send(StrokePhase::began, 0);
        for (int n = changes(random); n > 0; --n)
            send(StrokePhase::changed, amount(random));
        send(StrokePhase::ended, amount(random));
        if (Kind::hasMomentum && momentum(random)) {
            for (int n = changes(random) + 1; n > 0; --n)
                send(StrokePhase::momentum, amount(random));
            send(StrokePhase::momentumEnded, 0);
        }
    }
    return sent;
}

template <class Kind>
void checkIdempotent(const Messages& input, const Finishes& finishes) {
    // The finishes of the first pass add closing messages: the second pass finishes right after each.
    typename Kind::Sequencer first;
    Messages once;
    Finishes secondFinishes;
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (finishes.count(i)) {
            first.finish(once);
            secondFinishes.insert(once.size());
        }
        first.process(input[i], once);
    }
    first.finish(once);
    const Messages twice = runSequencer<Kind>(once, secondFinishes, true);
    ASSERT_EQ(twice, once);
}

template <class Kind>
void checkChannels(const testing_model::ChannelModel& model, int seeds) {
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(static_cast<unsigned>(seed));
        const std::uint32_t firstStroke = 0xFFFF'FFF0u + static_cast<std::uint32_t>(seed % 32);  // wraps
        const Messages sent = phoneStrokes<Kind>(random, 30, true, firstStroke);
        const Messages delivered = testing_model::deliver(sent, model, random);
        const Messages out = runSequencer<Kind>(delivered, {}, true);
        checkWellFormed<Kind>(out);
        checkStamped<Kind>(sent, out, true);
        checkIdempotent<Kind>(delivered, {});
        if (model.datagramLoss == 0 && model.datagramLatency == 0 && model.reliableLatency == 0) {
            ASSERT_EQ(out, sent);
        }
        if (::testing::Test::HasFailure())
            return;
    }
}

// Any phases, stamps from a few neighbouring strokes (some across the wrap), some unstamped, and
// finishes in between.
template <class Kind>
void checkArbitrary(int seeds) {
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(static_cast<unsigned>(seed) + 1000);
        std::uniform_int_distribution<int> phase(0, Kind::hasMomentum ? 4 : 2), stroke(-3, 3), sequence(0, 8),
            percent(0, 99);
        Messages input;
        Finishes finishes;
        for (int i = 0; i < 150; ++i) {
            std::optional<StrokeStamp> stamp;
            if (percent(random) < 75) {
                stamp = StrokeStamp{};
                stamp->stroke = static_cast<std::uint32_t>(stroke(random));
                stamp->sequence = static_cast<std::uint32_t>(sequence(random));
            }
            if (percent(random) < 3)
                finishes.insert(input.size());
            input.push_back(Kind::make(static_cast<StrokePhase>(phase(random)), 1, stamp));
        }
        std::vector<std::size_t> finishedAt;
        const Messages out = runSequencer<Kind>(input, finishes, true, &finishedAt);
        checkWellFormed<Kind>(out);
        checkIdempotent<Kind>(input, finishes);
        // Between finishes (which start over) stamped messages keep their order and come out once.
        std::size_t begin = 0;
        finishedAt.push_back(out.size());
        for (std::size_t end : finishedAt) {
            checkStamped<Kind>(input,
                               Messages(out.begin() + static_cast<std::ptrdiff_t>(begin),
                                        out.begin() + static_cast<std::ptrdiff_t>(end)),
                               false);
            begin = end;
        }
        if (::testing::Test::HasFailure())
            return;
    }
}

template <class Kind>
class StrokeSequencerProperties : public ::testing::Test {};
using Kinds = ::testing::Types<ScrollKind, PinchKind, SwipeKind>;
class KindNames {
  public:
    template <class T>
    static std::string GetName(int) {
        if (std::is_same_v<T, ScrollKind>)
            return "Scroll";
        if (std::is_same_v<T, PinchKind>)
            return "Pinch";
        return "Swipe";
    }
};
TYPED_TEST_SUITE(StrokeSequencerProperties, Kinds, KindNames);

TYPED_TEST(StrokeSequencerProperties, InOrderLosslessStreamComesOutAsSent) {
    checkChannels<TypeParam>({0, 0, 0, 0}, 5);
}

TYPED_TEST(StrokeSequencerProperties, LossDuplicationAndReorderingGiveWellFormedStrokes) {
    checkChannels<TypeParam>({0.2, 0.1, 4, 6}, 60);
    checkChannels<TypeParam>({0.5, 0.3, 2, 25}, 40);
}

TYPED_TEST(StrokeSequencerProperties, UnstampedStreamsAreRepairedIdempotently) {
    for (int seed = 0; seed < 40; ++seed) {
        std::mt19937 random(static_cast<unsigned>(seed));
        const Messages sent = phoneStrokes<TypeParam>(random, 20, false, 1);
        const Messages delivered = testing_model::deliver(sent, {0.3, 0.1, 3, 5}, random);
        checkWellFormed<TypeParam>(runSequencer<TypeParam>(delivered, {}, true));
        checkIdempotent<TypeParam>(delivered, {});
        if (::testing::Test::HasFailure())
            return;
    }
}

TYPED_TEST(StrokeSequencerProperties, ArbitraryStreamsStayWellFormedAndIdempotent) {
    checkArbitrary<TypeParam>(100);
}

}  // namespace
}  // namespace TrackpadProtocol
