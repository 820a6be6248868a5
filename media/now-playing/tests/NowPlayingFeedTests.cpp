#include "media/now-playing/NowPlayingFeed.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace media {
namespace {

class FakeProvider final : public NowPlayingProvider {
  public:
    void start(OnChange onChange) override {
        ++starts;
        onChange_ = std::move(onChange);
    }
    void stop() override { ++stops; }
    // Delivers through the callback of the latest start, also after a stop (as a late reading would).
    void deliver(const NowPlayingReading& reading) {
        if (onChange_) {
            onChange_(reading);
        }
    }
    NowPlayingProvider::OnChange callback() const { return onChange_; }
    int starts = 0;
    int stops = 0;

  private:
    OnChange onChange_;
};

NowPlayingReading track(std::string title, std::string artist, std::optional<Data> artwork = std::nullopt) {
    return NowPlayingReading::track({std::move(title), std::move(artist), std::move(artwork)});
}

struct Harness {
    Harness() {
        auto made = std::make_unique<FakeProvider>();
        provider = made.get();
        feed = std::make_shared<NowPlayingFeed>(
            std::move(made),
            [this](const Data& data, const std::atomic<bool>&) -> std::optional<Data> {
                ++scalings;
                if (data == Data{0xBA, 0xD0}) {
                    return std::nullopt;
                }
                Data jpeg{0xFF, 0xD8};
                jpeg.insert(jpeg.end(), data.begin(), data.end());
                return jpeg;
            },
            [this](std::optional<NowPlaying> value) { values.push_back(std::move(value)); });
        feed->start();
    }
    FakeProvider* provider = nullptr;
    std::shared_ptr<NowPlayingFeed> feed;
    std::vector<std::optional<NowPlaying>> values;
    int scalings = 0;
};

TEST(NowPlayingFeedTest, RepeatsAreDroppedAndAnArtworkChangeIsReported) {
    Harness h;
    h.provider->deliver(track("Song", "Band", Data{1}));
    h.provider->deliver(track("Song", "Band", Data{1}));
    ASSERT_EQ(h.values.size(), 1u);
    EXPECT_EQ(h.values[0], NowPlaying("Song", "Band", Data({0xFF, 0xD8, 1})));
    h.provider->deliver(track("Song", "Band", Data{2}));
    ASSERT_EQ(h.values.size(), 2u);
    EXPECT_EQ(h.scalings, 2);
    EXPECT_EQ(h.feed->current(), NowPlaying("Song", "Band", Data({0xFF, 0xD8, 2})));
}

TEST(NowPlayingFeedTest, TextsAreTrimmedAndCutToTheWireLimit) {
    Harness h;
    h.provider->deliver(track("  Word  ", "\n"));
    EXPECT_EQ(h.values.back(), NowPlaying("Word", "", std::nullopt));
    h.provider->deliver(track("\u00A0\u3000 \t", " \n", Data{1}));
    EXPECT_EQ(h.values.back(), std::nullopt);
    h.provider->deliver(track(std::string(300, 'a'), "x"));
    EXPECT_EQ(h.values.back(), NowPlaying(std::string(255, 'a'), "x", std::nullopt));
    // Text that is not UTF-8 counts as missing.
    h.provider->deliver(track("\xC3\x28", "Band"));
    EXPECT_EQ(h.values.back(), NowPlaying("", "Band", std::nullopt));
}

TEST(NowPlayingFeedTest, FailedArtworkIsCachedAndEarlierArtworkIsReused) {
    Harness h;
    h.provider->deliver(track("A", "B", Data{0xBA, 0xD0}));
    h.provider->deliver(track("A2", "B", Data{0xBA, 0xD0}));
    EXPECT_EQ(h.scalings, 1);
    EXPECT_EQ(h.values.back(), NowPlaying("A2", "B", std::nullopt));

    h.provider->deliver(track("C", "D", Data{7}));
    h.provider->deliver(track("C", "D"));
    EXPECT_EQ(h.values.back(), NowPlaying("C", "D", std::nullopt));
    h.provider->deliver(track("C", "D", Data{7}));
    EXPECT_EQ(h.values.back(), NowPlaying("C", "D", Data({0xFF, 0xD8, 7})));
    EXPECT_EQ(h.scalings, 2);
}

TEST(NowPlayingFeedTest, OversizedJpegIsLeftOut) {
    const NowPlayingFeed::ScaledArtwork artwork{Data{1}, Data(61441, 0)};
    EXPECT_EQ(NowPlayingFeed::makeNowPlaying(track("T", "", Data{1}), artwork),
              NowPlaying("T", "", std::nullopt));
    const NowPlayingFeed::ScaledArtwork fits{Data{1}, Data(61440, 0)};
    EXPECT_EQ(NowPlayingFeed::makeNowPlaying(track("T", "", Data{1}), fits),
              NowPlaying("T", "", Data(61440, 0)));
    // An entry for other bytes is not used.
    EXPECT_EQ(NowPlayingFeed::makeNowPlaying(track("T", "", Data{2}), fits),
              NowPlaying("T", "", std::nullopt));
}

TEST(NowPlayingFeedTest, StopAndRestartGenerations) {
    Harness h;
    h.provider->deliver(track("A", "B"));
    h.provider->deliver(NowPlayingReading::unavailable());
    h.provider->deliver(NowPlayingReading::unavailable());
    EXPECT_EQ(h.values,
              (std::vector<std::optional<NowPlaying>>{NowPlaying("A", "B", std::nullopt), std::nullopt}));

    h.feed->stop();
    EXPECT_EQ(h.provider->stops, 1);
    h.provider->deliver(track("late", ""));
    EXPECT_EQ(h.values.size(), 2u);

    // The first value after a start is reported even when it equals the last one, none included.
    h.feed->start();
    h.provider->deliver(NowPlayingReading::unavailable());
    EXPECT_EQ(h.values.size(), 3u);
    EXPECT_EQ(h.values.back(), std::nullopt);
    EXPECT_EQ(h.feed->current(), std::nullopt);
}

TEST(NowPlayingFeedTest, AReadingOfAnEarlierStartIsDropped) {
    Harness h;
    h.provider->deliver(track("one", ""));
    const NowPlayingProvider::OnChange firstRun = h.provider->callback();
    h.feed->start();
    firstRun(track("stale", ""));
    EXPECT_EQ(h.values.size(), 1u);
    h.provider->deliver(track("one", ""));
    EXPECT_EQ(h.values.size(), 2u);
}

TEST(NowPlayingFeedLifetimeTest, AReadingUnderWayNeverKeepsTheProviderAlive) {
    // The provider must be released by the feed's owner: released on its own queue, it would have to
    // join that queue from itself.
    struct Provider final : NowPlayingProvider {
        explicit Provider(std::thread::id& releasedOn) : releasedOn(releasedOn) {}
        ~Provider() override { releasedOn = std::this_thread::get_id(); }
        void start(OnChange given) override { onChange = std::move(given); }
        void stop() override {}
        OnChange onChange;
        std::thread::id& releasedOn;
    };
    std::thread::id releasedOn;
    auto made = std::make_unique<Provider>(releasedOn);
    Provider* provider = made.get();
    std::promise<void> scaling;
    std::promise<void> released;
    auto feed = std::make_shared<NowPlayingFeed>(
        std::move(made),
        [&, waitForRelease = released.get_future().share()](const Data&,
                                                            const std::atomic<bool>&) -> std::optional<Data> {
            scaling.set_value();
            waitForRelease.wait();
            return std::nullopt;
        },
        [](std::optional<NowPlaying>) {});
    feed->start();
    std::thread reader([callback = provider->onChange] { callback(track("T", "", Data{1})); });
    scaling.get_future().wait();
    feed.reset();
    released.set_value();
    reader.join();
    EXPECT_EQ(releasedOn, std::this_thread::get_id());
}

}  // namespace
}  // namespace media
