#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>

#include "media/now-playing/ArtworkScaler.h"
#include "media/now-playing/MprisReader.h"
#include "media/now-playing/NowPlayingHelperChild.h"
#include "testing/LoopThread.h"

namespace media {
namespace {

using Image = ArtworkScaler::Image;

// Imaging whose JPEG size is set by the test per side and quality, recording what was rendered.
struct FakeImaging {
    ArtworkScaler::Imaging imaging() {
        return {[this](const Data&, int maxPixelSize, const std::atomic<bool>*) -> std::optional<Image> {
                    const double scale =
                        std::min(1.0, static_cast<double>(maxPixelSize) / std::max(width, height));
                    return Image{static_cast<int>(std::lround(width * scale)),
                                 static_cast<int>(std::lround(height * scale)),
                                 {}};
                },
                [this](const Image&, int w, int h) -> std::optional<Image> {
                    rendered.emplace_back(w, h);
                    return Image{w, h, {}};
                },
                [this](const Image& image, double quality) -> std::optional<Data> {
                    encoded.emplace_back(std::max(image.width, image.height), quality);
                    return Data(bytesFor(image, quality), 0);
                }};
    }
    int width = 0;
    int height = 0;
    std::function<std::size_t(const Image&, double)> bytesFor;
    std::vector<std::pair<int, int>> rendered;
    std::vector<std::pair<int, double>> encoded;
};

TEST(ArtworkScalerTest, LimitsAndLadder) {
    const ArtworkScaler small(10, 100000);
    EXPECT_EQ(small.maxPixelSize(), 32);
    EXPECT_EQ(small.maxByteCount(), 61440);
    EXPECT_EQ(ArtworkScaler(360, -5).maxByteCount(), 0);
    EXPECT_EQ(ArtworkScaler::sideLadder(360), (std::vector<int>{360, 240, 160, 106, 70, 46}));
    EXPECT_EQ(ArtworkScaler::sideLadder(47), std::vector<int>{47});
    // 5 × 0.3 = 1.5 rounds away from zero; an edge never becomes 0.
    EXPECT_EQ(ArtworkScaler::renderSize(10, 5, 3), (std::pair<int, int>{3, 2}));
    EXPECT_EQ(ArtworkScaler::renderSize(2000, 1, 360), (std::pair<int, int>{360, 1}));
}

TEST(ArtworkScalerTest, ThumbnailIsNeverEnlargedAndSidesShrinkUntilItFits) {
    FakeImaging fake;
    fake.width = 2000;
    fake.height = 1000;
    fake.bytesFor = [](const Image&, double) { return 1000; };
    EXPECT_EQ(ArtworkScaler(360, 61440, fake.imaging()).scale(Data{1})->size(), 1000u);
    EXPECT_EQ(fake.encoded, (std::vector<std::pair<int, double>>{{360, 0.8}}));
    EXPECT_TRUE(fake.rendered.empty());  // the thumbnail is already 360 × 180

    FakeImaging tiny;
    tiny.width = tiny.height = 100;
    tiny.bytesFor = [](const Image&, double) { return 10; };
    ArtworkScaler(360, 61440, tiny.imaging()).scale(Data{1});
    EXPECT_EQ(tiny.encoded.front().first, 100);

    // Nothing fits at 360: 240 × 180 at the first quality does.
    FakeImaging photo;
    photo.width = 640;
    photo.height = 480;
    photo.bytesFor = [](const Image& image, double) { return image.width > 240 ? 70000 : 60000; };
    EXPECT_TRUE(ArtworkScaler(360, 61440, photo.imaging()).scale(Data{1}));
    EXPECT_EQ(photo.rendered, (std::vector<std::pair<int, int>>{{240, 180}}));
    EXPECT_EQ(photo.encoded.size(), 4u);

    // Never fits: 6 sides × 3 qualities, then none.
    FakeImaging never;
    never.width = never.height = 1000;
    never.bytesFor = [](const Image&, double) { return 70000; };
    EXPECT_EQ(ArtworkScaler(360, 61440, never.imaging()).scale(Data{1}), std::nullopt);
    EXPECT_EQ(never.encoded.size(), 18u);
    EXPECT_EQ(ArtworkScaler(360, 61440, never.imaging()).scale(Data{}), std::nullopt);
}

// A stop raised while sizes and qualities are tried (a stop raised during the decode ends the decode)
// ends the trying before the next one; a flag that stays down lets every one be tried.
TEST(ArtworkScalerTest, AStopEndsTheSizesAndQualitiesTried) {
    for (const std::size_t raisedAt : {1u, 3u, 4u, 17u}) {
        SCOPED_TRACE(raisedAt);
        std::atomic<bool> stop{false};
        FakeImaging never;
        never.width = never.height = 1000;
        never.bytesFor = [&](const Image&, double) {
            if (never.encoded.size() == raisedAt) {
                stop = true;
            }
            return 70000;
        };
        EXPECT_EQ(ArtworkScaler(360, 61440, never.imaging()).scale(Data{1}, &stop), std::nullopt);
        EXPECT_EQ(never.encoded.size(), raisedAt);
        EXPECT_EQ(never.rendered.size(), (raisedAt - 1) / 3);
    }
    std::atomic<bool> lowered{false};
    FakeImaging photo;
    photo.width = 640;
    photo.height = 480;
    photo.bytesFor = [](const Image& image, double) { return image.width > 240 ? 70000 : 60000; };
    EXPECT_TRUE(ArtworkScaler(360, 61440, photo.imaging()).scale(Data{1}, &lowered));
    EXPECT_EQ(photo.encoded.size(), 4u);
}

TEST(ArtworkFilesTest, OnlyLocalRegularFilesWithinTheLimit) {
    EXPECT_EQ(ArtworkFiles::pathOf("file:///tmp/a%20b.jpg"), "/tmp/a b.jpg");
    EXPECT_EQ(ArtworkFiles::pathOf("file://localhost/x.png"), "/x.png");
    EXPECT_EQ(ArtworkFiles::pathOf("file://otherhost/x.png"), std::nullopt);
    EXPECT_EQ(ArtworkFiles::pathOf("https://example.invalid/x.png"), std::nullopt);
    EXPECT_EQ(ArtworkFiles::pathOf("file:///x%2"), std::nullopt);
    EXPECT_EQ(ArtworkFiles::pathOf("file:///x%00y"), std::nullopt);

    const auto folder =
        std::filesystem::temp_directory_path() / ("lumivex-artwork-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto file = folder / "cover art.jpg";
    std::ofstream(file) << "0123456789";
    const std::string url = "file://" + (folder / "cover%20art.jpg").string();
    ArtworkFiles files;
    EXPECT_EQ(files.read(url, 10), Data({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    EXPECT_EQ(files.read(url, 9), std::nullopt);
    EXPECT_EQ(files.read("file://" + folder.string(), 100), std::nullopt);
    ASSERT_EQ(::mkfifo((folder / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(files.read("file://" + (folder / "pipe").string(), 100), std::nullopt);
    std::filesystem::remove_all(folder);
}

TEST(BoundedArtworkReaderTest, AReadThatHangsGivesNoneInTimeAndHoldsBackTheNextUntilItEnds) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> reads = 0;
    BoundedArtworkReader reader(std::chrono::milliseconds{50}, [&](const std::string& url, std::size_t) {
        ++reads;
        if (url == "file:///hung") {
            released.wait();
        }
        return std::optional<Data>(Data{1, 2, 3});
    });
    EXPECT_EQ(reader.read("file:///quick", 10), Data({1, 2, 3}));
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(reader.read("file:///hung", 10), std::nullopt);
    EXPECT_EQ(reader.read("file:///quick", 10), std::nullopt);  // not started beside the hung one
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds{5});
    EXPECT_EQ(reads, 2);
    release.set_value();
    EXPECT_TRUE(testing_support::eventually([&] { return reader.read("file:///quick", 10).has_value(); }, 5));
}

struct ChildHarness {
    explicit ChildHarness(double interval = 1.0)
        : child(
              interval, [this](const std::string& line) { lines.push_back(line); },
              [this](const std::string&) -> std::optional<Data> {
                  ++loads;
                  return artwork;
              },
              [](const std::string&) { return std::string("1:10"); }, [this] { return clock; }) {}
    void poll(const std::optional<MprisTrack>& track, double interval = 1.0) {
        child.observe(track);
        clock += interval;
    }
    double clock = 0;
    int loads = 0;
    std::optional<Data> artwork;
    std::vector<std::string> lines;
    NowPlayingHelperChild child;
};

MprisTrack song(std::string title, std::optional<std::string> url = std::nullopt) {
    return MprisTrack{"p", "/t", NowPlayingInfo{std::move(title), "A", std::nullopt}, std::move(url)};
}

TEST(NowPlayingHelperChildTest, PrintsOnChangeAndAKeepAliveEveryFiveQuietSeconds) {
    ChildHarness h;
    for (int i = 0; i < 11; ++i) {
        h.poll(song("T"));
    }
    EXPECT_EQ(h.lines, (std::vector<std::string>{R"({"artist":"A","artwork":"","title":"T"})", "", ""}));
    h.poll(std::nullopt);
    h.poll(std::nullopt);
    EXPECT_EQ(h.lines.back(), "{}");
    EXPECT_EQ(h.lines.size(), 4u);
}

TEST(NowPlayingHelperChildTest, ArtworkIsTriedThreeTimesFiveSecondsApart) {
    ChildHarness h;
    for (int i = 0; i < 20; ++i) {
        h.poll(song("T", "file:///missing.png"));
    }
    EXPECT_EQ(h.loads, 3);
    // Once the file can be read, a new track (a new key) shows its artwork.
    h.artwork = Data{1, 2, 3};
    h.poll(song("U", "file:///cover.png"));
    EXPECT_EQ(h.lines.back(), R"({"artist":"A","artwork":"AQID","title":"U"})");
    EXPECT_EQ(h.loads, 4);
    h.poll(song("U", "file:///cover.png"));
    EXPECT_EQ(h.loads, 4);
}

}  // namespace
}  // namespace media
