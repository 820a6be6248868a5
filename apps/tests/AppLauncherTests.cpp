#include "apps/AppLauncher.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "apps/ExecLine.h"
#include "apps/ProcessLauncher.h"
#include "apps/tests/TempTree.h"
#include "testing/Subprocess.h"

namespace Apps {
namespace {

using TrackpadProtocol::Message;
using TrackpadProtocol::OpenAppResult;
using Status = OpenAppResult::Status;

TEST(ExecLine, FollowsTheQuotingRulesAndFieldCodes) {
    const ExecContext context{"editor-icon", "Editor", "/usr/share/applications/editor.desktop"};
    struct Case {
        std::string exec;
        std::optional<std::vector<std::string>> argv;
    };
    const std::vector<Case> cases{
        {"editor", std::vector<std::string>{"editor"}},
        {"editor %U", std::vector<std::string>{"editor"}},
        {"editor --new-window %f extra", std::vector<std::string>{"editor", "--new-window", "extra"}},
        {"  editor   -a\t-b ", std::vector<std::string>{"editor", "-a", "-b"}},
        {R"("/opt/My App/run" --flag)", std::vector<std::string>{"/opt/My App/run", "--flag"}},
        {R"(sh -c "echo \"hi\" \$HOME \\ \`x\`")",
         std::vector<std::string>{"sh", "-c", R"(echo "hi" $HOME \ `x`)"}},
        {R"(a "")", std::vector<std::string>{"a", ""}},
        {"editor %i", std::vector<std::string>{"editor", "--icon", "editor-icon"}},
        {"editor --name=%c %k", std::vector<std::string>{"editor", "--name=Editor", context.desktopFile}},
        {"editor 100%%", std::vector<std::string>{"editor", "100%"}},
        {"editor --x=%u", std::vector<std::string>{"editor", "--x="}},
        {"editor %d %D %n %N %v %m", std::vector<std::string>{"editor"}},
        {R"(editor "unbalanced)", std::nullopt},
        {R"(editor "trailing\)", std::nullopt},
        {"editor %z", std::nullopt},
        {"editor 50%", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"%f", std::nullopt},
        {R"("" arg)", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseExecLine(c.exec, context), c.argv) << c.exec;
    }
}

TEST(ProcessLauncher, ReportsWhetherTheProgramStarted) {
    EXPECT_TRUE(launchDetached({"/bin/true"}, {}).started);
    EXPECT_TRUE(launchDetached({"true", "ignored"}, "/").started);  // looked up in PATH
    const LaunchOutcome missing = launchDetached({"/nonexistent/lumivex-program"}, {});
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_FALSE(launchDetached({"lumivex-no-such-program"}, {}).started);
    EXPECT_FALSE(launchDetached({"/etc/hostname"}, {}).started);  // not executable
    EXPECT_FALSE(launchDetached({"/bin/true"}, "/nonexistent-folder").started);
    EXPECT_FALSE(launchDetached({}, {}).started);
}

TEST(ProcessLauncher, WhatTheProgramPrintsDoesNotReachOurOutput) {
    testing::TempTree tree;
    const std::filesystem::path captured = tree.root() / "captured";
    const std::filesystem::path marker = tree.root() / "done";
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = ::dup(STDOUT_FILENO);
    const int savedErr = ::dup(STDERR_FILENO);
    const int file = ::open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    ::dup2(file, STDOUT_FILENO);
    ::dup2(file, STDERR_FILENO);
    const bool started =
        launchDetached({"/bin/sh", "-c", "echo out; echo err >&2; : > \"$0\"", marker.string()}, {}).started;
    ::dup2(savedOut, STDOUT_FILENO);
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedOut);
    ::close(savedErr);
    ::close(file);
    ASSERT_TRUE(started);
    ASSERT_TRUE(testing_support::waitUntil([&] { return std::filesystem::exists(marker); }, std::chrono::seconds(10)));
    EXPECT_EQ(std::filesystem::file_size(captured), 0u);
}

class FakeLaunchSystem final : public AppLaunchSystem {
  public:
    std::vector<RunningAppInfo> runningApplications(const std::string& bundleID) override {
        calls.push_back("running " + bundleID);
        return running;
    }
    std::optional<std::filesystem::path> applicationURL(const std::string& bundleID) override {
        calls.push_back("url " + bundleID);
        return url;
    }
    void activate(const RunningAppInfo& app, Completion completion) override {
        calls.push_back("activate " + std::to_string(app.processID));
        if (!dropCompletion) {
            completion(result);
            completion(!result);  // a second call must not give a second answer
        }
    }
    void open(const std::filesystem::path& path, Completion completion) override {
        calls.push_back("open " + path.string());
        if (!dropCompletion) {
            completion(result);
        }
    }

    std::vector<RunningAppInfo> running;
    std::optional<std::filesystem::path> url;
    bool result = true;
    bool dropCompletion = false;
    std::vector<std::string> calls;
};

struct LauncherFixture : ::testing::Test {
    std::shared_ptr<FakeLaunchSystem> system = std::make_shared<FakeLaunchSystem>();
    AppLauncher launcher{system};

    std::vector<OpenAppResult> open(const std::string& id) {
        std::vector<OpenAppResult> results;
        launcher.open(id, [&](OpenAppResult result) { results.push_back(result); });
        return results;
    }
};

RunningAppInfo instance(std::int32_t pid, RunningAppInfo::ActivationPolicy policy) {
    RunningAppInfo app;
    app.bundleID = "org.example.App";
    app.processID = pid;
    app.activationPolicy = policy;
    return app;
}

TEST_F(LauncherFixture, ActivatesTheFirstRegularInstanceElseTheFirstOne) {
    system->running = {instance(1, RunningAppInfo::ActivationPolicy::accessory),
                       instance(2, RunningAppInfo::ActivationPolicy::regular)};
    EXPECT_EQ(open("  org.example.App "),
              (std::vector<OpenAppResult>{{"  org.example.App ", Status::opened}}));
    EXPECT_EQ(system->calls, (std::vector<std::string>{"running org.example.App", "activate 2"}));

    system->calls.clear();
    system->running.pop_back();
    system->result = false;
    EXPECT_EQ(open("org.example.App"), (std::vector<OpenAppResult>{{"org.example.App", Status::failed}}));
    EXPECT_EQ(system->calls.back(), "activate 1");
}

TEST_F(LauncherFixture, OpensTheEntryOfAnApplicationThatDoesNotRun) {
    EXPECT_EQ(open("org.example.App"),
              (std::vector<OpenAppResult>{{"org.example.App", Status::notInstalled}}));
    system->url = "/usr/share/applications/org.example.App.desktop";
    EXPECT_EQ(open("org.example.App"), (std::vector<OpenAppResult>{{"org.example.App", Status::opened}}));
    EXPECT_EQ(system->calls.back(), "open /usr/share/applications/org.example.App.desktop");
    system->result = false;
    EXPECT_EQ(open("org.example.App"), (std::vector<OpenAppResult>{{"org.example.App", Status::failed}}));
}

TEST_F(LauncherFixture, ABlankIdAsksNothingAndEveryRequestGetsExactlyOneResult) {
    EXPECT_EQ(open(" \n\t"), (std::vector<OpenAppResult>{{" \n\t", Status::notInstalled}}));
    EXPECT_TRUE(system->calls.empty());
    system->url = "/x.desktop";
    system->dropCompletion = true;
    EXPECT_EQ(open("a"), (std::vector<OpenAppResult>{{"a", Status::failed}}));

    std::optional<Message> reply = Message{Message::OpenApp{"x"}};
    launcher.response(Message{Message::AppsRequest{}},
                      [&](std::optional<Message> m) { reply = std::move(m); });
    EXPECT_FALSE(reply);
    system->dropCompletion = false;
    launcher.response(Message{Message::OpenApp{"b"}},
                      [&](std::optional<Message> m) { reply = std::move(m); });
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (Message{Message::OpenAppResult{OpenAppResult{"b", Status::opened}}}));
}

TEST(LaunchLimiter, OneStartPerAppInFlightAndAFewStartsPerSecond) {
    auto system = std::make_shared<FakeLaunchSystem>();
    system->url = "/x.desktop";
    double now = 100;
    const AppLauncher launcher(system, std::make_shared<LaunchLimiter>(LaunchLimiter::Limits{10.0, 3},
                                                                        [&] { return now; }));
    std::vector<Status> statuses;
    const auto open = [&](const std::string& id) {
        launcher.open(id, [&](OpenAppResult result) { statuses.push_back(result.status); });
    };
    const auto starts = [&] {
        return std::count_if(system->calls.begin(), system->calls.end(),
                             [](const std::string& call) { return call.starts_with("open "); });
    };

    // A program without a window: repeated requests start it once.
    for (int i = 0; i < 5; ++i) {
        open("Silent");
    }
    open("silent");
    EXPECT_EQ(starts(), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), Status::failed), 5);
    now += 10;
    open("silent");
    EXPECT_EQ(starts(), 2);

    // A failed start frees the app at once; the second-long window still counts it.
    now += 10;
    system->result = false;
    open("broken");
    system->result = true;
    open("broken");
    EXPECT_EQ(starts(), 4);
    open("third");
    open("fourth");
    EXPECT_EQ(starts(), 5);  // three starts in this second already
    now += 1;
    open("fourth");
    EXPECT_EQ(starts(), 6);

    // Once it runs, bringing it forward is not limited, and a later start is a new one.
    system->running = {instance(7, RunningAppInfo::ActivationPolicy::regular)};
    statuses.clear();
    open("third");
    open("third");
    EXPECT_EQ(statuses, (std::vector<Status>{Status::opened, Status::opened}));
    system->running.clear();
    now += 1;
    open("third");
    EXPECT_EQ(starts(), 7);
}

}  // namespace
}  // namespace Apps
