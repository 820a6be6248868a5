#include "media/now-playing/NowPlayingHelper.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <mutex>

#include "testing/LoopThread.h"

namespace media {
namespace {

using Line = NowPlayingHelper::Line;
using testing_support::eventually;
using testing_support::LoopThread;

NowPlayingReading track(std::string title, std::string artist, std::optional<Data> artwork = std::nullopt) {
    return NowPlayingReading::track({std::move(title), std::move(artist), std::move(artwork)});
}

TEST(NowPlayingHelperLineTest, ParserTable) {
    const struct {
        std::string line;
        Line expected;
    } cases[] = {
        {R"({})", NowPlayingReading::unavailable()},
        {R"({"unsupported":true})", NowPlayingHelper::Unsupported{}},
        {R"({"unsupported":false,"title":"T"})", track("T", "")},
        {R"({"unsupported":1,"title":"T"})", track("T", "")},
        {R"({"title":"T","artist":"A","artwork":""})", track("T", "A")},
        {R"({"title":"T","artist":"A","artwork":"AQID"})", track("T", "A", Data{1, 2, 3})},
        {R"({"title":"T","artwork":"AQI="})", track("T", "", Data{1, 2})},
        {R"({"title":"T","artwork":"AQ=="})", track("T", "", Data{1})},
        // Not strict Base64: no artwork.
        {R"({"title":"T","artwork":"AQI"})", track("T", "")},
        {R"({"title":"T","artwork":"AQ ID"})", track("T", "")},
        {R"({"title":"T","artwork":"A=QI"})", track("T", "")},
        {R"({"title":"T","artwork":"AQID\n"})", track("T", "")},
        // Values of the wrong kind count as missing.
        {R"({"title":5,"artist":["A"],"artwork":7})", NowPlayingReading::unavailable()},
        {R"({"title":null,"artist":"A"})", track("", "A")},
        {R"([1,2])", NowPlayingHelper::Ignored{}},
        {R"("text")", NowPlayingHelper::Ignored{}},
        {"not json", NowPlayingHelper::Ignored{}},
        {R"({"title":"T")", NowPlayingHelper::Ignored{}},
        {"{\"title\":\"\xC3\x28\"}", NowPlayingHelper::Ignored{}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NowPlayingHelper::parse(c.line), c.expected) << c.line;
    }
    // Deep nesting parses without exhausting the stack.
    const std::string deep =
        R"({"title":"T","x":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_EQ(NowPlayingHelper::parse(deep), Line(track("T", "")));
}

TEST(NowPlayingHelperLineTest, MakeNeedsAnExecutableAndWritesTheCommandLine) {
    EXPECT_EQ(NowPlayingHelper::make("/nonexistent/helper", 360, 1.0, 5.0), nullptr);
    EXPECT_EQ(NowPlayingHelper::make("/etc/passwd", 360, 1.0, 5.0), nullptr);
    const auto helper = NowPlayingHelper::make("/bin/true", 10, 0.05, 5.0);
    ASSERT_NE(helper, nullptr);
    EXPECT_EQ(helper->command(), (std::vector<std::string>{"/bin/true", "0.2", "32"}));
    EXPECT_EQ(NowPlayingHelper::make("/bin/true", 360, 1.0, 5.0)->command(),
              (std::vector<std::string>{"/bin/true", "1.0", "360"}));
}

// A helper running a shell script as its child, on a loop of its own.
class HelperRun {
  public:
    HelperRun(const std::string& script, double restartDelay = 0.3) {
        helper_ = std::make_shared<NowPlayingHelper>(std::vector<std::string>{"/bin/sh", "-c", script},
                                                     restartDelay);
        loop_.call([&] {
            helper_->stop();
            helper_->setLoop(&loop_.loop());
            helper_->setOnReading([this](const NowPlayingReading& reading) {
                std::lock_guard lock(mutex_);
                readings_.push_back(reading);
            });
            helper_->launch();
        });
    }
    ~HelperRun() {
        loop_.call([&] { helper_.reset(); });
    }
    std::vector<NowPlayingReading> readings() {
        std::lock_guard lock(mutex_);
        return readings_;
    }
    bool waitFor(std::size_t count, double timeout = 5) {
        return eventually([&] { return readings().size() >= count; }, timeout);
    }
    std::optional<pid_t> child() {
        return loop_.call([&] { return helper_->childProcess(); });
    }
    void stop() {
        loop_.call([&] { helper_->stop(); });
    }

  private:
    LoopThread loop_;
    std::shared_ptr<NowPlayingHelper> helper_;
    std::mutex mutex_;
    std::vector<NowPlayingReading> readings_;
};

TEST(NowPlayingHelperTest, LinesSplitAcrossWritesAndKeepAlivesGiveReadingsInOrder) {
    HelperRun run(
        R"(printf '{"title":"On'; sleep 0.1; printf 'e","artist":"A"}\n\n{}\n{"title":"Two"}\n{"tit'; sleep 30)");
    ASSERT_TRUE(run.waitFor(3));
    std::this_thread::sleep_for(std::chrono::milliseconds{100});
    EXPECT_EQ(run.readings(), (std::vector<NowPlayingReading>{
                                  track("One", "A"), NowPlayingReading::unavailable(), track("Two", "")}));
}

TEST(NowPlayingHelperTest, UnsupportedEndsTheChildForGood) {
    HelperRun run(R"(printf '{"unsupported":true}\n{"title":"after"}\n'; exec sleep 30)", 0.1);
    ASSERT_TRUE(run.waitFor(1));
    EXPECT_TRUE(eventually([&] { return !run.child(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds{500});
    EXPECT_EQ(run.readings(), std::vector<NowPlayingReading>{NowPlayingReading::unavailable()});
    EXPECT_FALSE(run.child());
}

TEST(NowPlayingHelperTest, AKilledChildIsReportedAndStartedAgainUnlessStopped) {
    HelperRun run(R"(printf '{"title":"T"}\n'; exec sleep 30)", 0.3);
    ASSERT_TRUE(run.waitFor(1));
    const std::optional<pid_t> first = run.child();
    ASSERT_TRUE(first);
    ::kill(*first, SIGKILL);
    ASSERT_TRUE(run.waitFor(2));
    EXPECT_EQ(run.readings()[1], NowPlayingReading::unavailable());
    EXPECT_FALSE(run.child());
    ASSERT_TRUE(run.waitFor(3));
    EXPECT_EQ(run.readings()[2], track("T", ""));
    const std::optional<pid_t> second = run.child();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    // The first child was reaped: no zombie is left.
    EXPECT_NE(::kill(*first, 0), 0);

    ::kill(*second, SIGKILL);
    ASSERT_TRUE(run.waitFor(4));
    run.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds{600});
    EXPECT_EQ(run.readings().size(), 4u);
    EXPECT_FALSE(run.child());
}

TEST(NowPlayingHelperTest, GarbageAndEndlessLinesAreDroppedAndTheFeedGoesOn) {
    // 3 MiB without a newline, then a good line.
    HelperRun run(
        R"(printf 'garbage\n[1]\n'; head -c 3145728 /dev/zero | tr '\0' 'x'; printf '\n{"title":"ok"}\n'; exec sleep 30)");
    ASSERT_TRUE(run.waitFor(1));
    std::this_thread::sleep_for(std::chrono::milliseconds{100});
    EXPECT_EQ(run.readings(), std::vector<NowPlayingReading>{track("ok", "")});
}

TEST(NowPlayingHelperTest, AChildThatCannotStartIsRetried) {
    auto helper = std::make_shared<NowPlayingHelper>(std::vector<std::string>{"/nonexistent/helper"}, 0.1);
    LoopThread loop;
    std::atomic<int> unavailable = 0;
    loop.call([&] {
        helper->setLoop(&loop.loop());
        helper->setOnReading(
            [&](const NowPlayingReading& reading) { unavailable += reading.isUnavailable() ? 1 : 0; });
        helper->launch();
    });
    EXPECT_TRUE(eventually([&] { return unavailable >= 2; }));
    loop.call([&] { helper.reset(); });
}

}  // namespace
}  // namespace media
