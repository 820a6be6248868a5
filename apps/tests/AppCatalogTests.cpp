#include "apps/AppCatalog.h"

#include <gtest/gtest.h>

#include <thread>

#include "apps/tests/FakeAppProvider.h"

namespace Apps {
namespace {

using testing::FakeAppProvider;
using testing::runningApp;
using TrackpadProtocol::AppListKind;
using TrackpadProtocol::MacApp;
using TrackpadProtocol::Message;
using State = MacApp::State;

struct CatalogFixture : ::testing::Test {
    std::shared_ptr<FakeAppProvider> provider = std::make_shared<FakeAppProvider>();
    std::mutex updatesMutex;
    std::vector<AppCatalogUpdate> updates;
    std::shared_ptr<AppCatalog> catalog =
        AppCatalog::make(provider, {"Dev.Quelmar.Companion"}, 42, AppIconScaler(61440),
                         [this](const AppCatalogUpdate& update) {
                             std::lock_guard lock(updatesMutex);
                             updates.push_back(update);
                         });

    std::vector<MacApp> running(std::vector<RunningAppInfo> records) {
        provider->running = std::move(records);
        return catalog->runningApps();
    }
    std::vector<AppCatalogUpdate> takeUpdates() {
        std::lock_guard lock(updatesMutex);
        return std::exchange(updates, {});
    }
};

TEST_F(CatalogFixture, RunningListMergesInstancesWithoutCaseAndKeepsTheFirstPosition) {
    auto list =
        running({runningApp("org.example.Editor", "Editor", false, true), runningApp("other", "Other"),
                 runningApp("ORG.EXAMPLE.editor", "Editor 2", true, false)});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0],
              (MacApp{"org.example.Editor", "Editor", State::active}));  // not hidden: one is visible
    EXPECT_EQ(list[1].bundleID, "other");

    // Visible first, hidden later: still not hidden. Hidden only when every instance is.
    list = running({runningApp("a", "A"), runningApp("a", "A", false, true),
                    runningApp("b", "B", false, true), runningApp("B", "", false, true)});
    EXPECT_EQ(list[0].state, State{});
    EXPECT_EQ(list[1].state, State::hidden);
}

TEST_F(CatalogFixture, OnlyTheFirstKeptActiveRecordIsActive) {
    auto list = running({runningApp("a", "A", true), runningApp("b", "B", true)});
    EXPECT_EQ(list[0].state, State::active);
    EXPECT_EQ(list[1].state, State{});
    // The first active one is excluded (own process), so the later one is marked.
    auto own = runningApp("self", "Self", true, false, 42);
    list = running({own, runningApp("b", "B", true)});
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].state, State::active);
}

TEST_F(CatalogFixture, RunningListDropsWhatThePhoneMustNotSee) {
    auto accessory = runningApp("acc", "Accessory", true);
    accessory.activationPolicy = RunningAppInfo::ActivationPolicy::accessory;
    auto prohibited = runningApp("pro", "Prohibited");
    prohibited.activationPolicy = RunningAppInfo::ActivationPolicy::prohibited;
    auto noID = runningApp("x", "No id");
    noID.bundleID.reset();
    auto list =
        running({accessory, prohibited, noID, runningApp("   ", "Blank"),
                 runningApp("dev.quelmar.COMPANION", "Us"), runningApp(std::string(255, 'a'), "Long"),
                 runningApp(std::string(256, 'b'), "Too long"), runningApp("  padded\n", "  Padded  ")});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].bundleID, std::string(255, 'a'));
    EXPECT_EQ(list[0].state, State{});  // the active accessory does not count as the first active
    EXPECT_EQ(list[1], (MacApp{"padded", "Padded", {}}));
}

TEST_F(CatalogFixture, NamesAreFilledFromLaterInstancesAndCutForTheWire) {
    auto unnamed = runningApp("a", "");
    unnamed.name.reset();
    std::string longName;
    for (int i = 0; i < 100; ++i) {
        longName += "\xC3\xA9";  // é: 200 bytes, then 300 with ASCII
    }
    longName += std::string(100, 'x');
    auto list = running({unnamed, runningApp("A", "Later name"), runningApp("b", longName)});
    EXPECT_EQ(list[0].name, "Later name");
    EXPECT_EQ(list[1].name.size(), 255u);
}

TEST_F(CatalogFixture, InstalledListIsDeduplicatedAndSortedByNameWithNumbersByValue) {
    provider->installed = {
        {"tool10", "Tool 10", "/a"}, {"tool9", "Tool 9", "/b"}, {"TOOL9", "Copy", "/c"},
        {"z.same", "Same", "/d"},    {"a.same", "same", "/e"},  {"dev.quelmar.companion", "Us", "/f"},
        {"empty", "", "/g"},         {" ", "Blank id", "/h"},   {"alpha", "alpha", "/i"}};
    auto list = catalog->installedApps();
    std::vector<std::string> ids;
    for (const MacApp& app : list) {
        ids.push_back(app.bundleID);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"empty", "alpha", "a.same", "z.same", "tool9", "tool10"}));
    EXPECT_EQ(list[0].name, "");
}

TEST_F(CatalogFixture, AnswersListsAndFallsBackToOneEmptyPartWhenTheSplitterRefuses) {
    auto replies = catalog->answer(Message{Message::AppsRequest{AppListKind::running}});
    ASSERT_TRUE(replies);
    ASSERT_EQ(replies->size(), 1u);
    EXPECT_EQ(*replies->front().as<Message::RunningApps>(),
              (Message::RunningApps{TrackpadProtocol::AppListPart{{}, 0, 1}}));

    provider->installed = {{"ok", "Good", "/a"}, {"bad", "Broken \xFF name", "/b"}};
    replies = catalog->answer(Message{Message::AppsRequest{AppListKind::installed}});
    ASSERT_EQ(replies->size(), 1u);
    EXPECT_EQ(*replies->front().as<Message::InstalledApps>(),
              (Message::InstalledApps{TrackpadProtocol::AppListPart{{}, 0, 1}}));

    std::vector<InstalledAppInfo> many;
    for (int i = 0; i < 1000; ++i) {
        many.push_back({"org.example.application" + std::to_string(i), std::string(100, 'n'), "/x"});
    }
    provider->installed = many;
    provider->emit(AppCatalogEvent::installedAppsChanged);  // not started: dropped, the cache stays
    catalog->start();
    provider->emit(AppCatalogEvent::installedAppsChanged);
    replies = catalog->answer(Message{Message::AppsRequest{AppListKind::installed}});
    ASSERT_GT(replies->size(), 1u);
    std::size_t total = 0;
    for (const Message& reply : *replies) {
        total += reply.as<Message::InstalledApps>()->part.apps.size();
    }
    EXPECT_EQ(total, 1000u);
    EXPECT_FALSE(catalog->answer(Message{Message::OpenApp{"x"}}));
}

TEST_F(CatalogFixture, RunningEventsReportOnlyChangesAndStopDropsThem) {
    provider->running = {runningApp("a", "A")};
    catalog->start();
    EXPECT_EQ(provider->starts, 1);
    provider->emit(AppCatalogEvent::runningAppsChanged);
    EXPECT_TRUE(takeUpdates().empty());  // same as the list stored at start
    provider->running.push_back(runningApp("b", "B"));
    provider->emit(AppCatalogEvent::runningAppsChanged);
    auto got = takeUpdates();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<AppCatalogUpdate::Running>(got[0].value).apps.size(), 2u);
    catalog->stop();
    EXPECT_EQ(provider->stops, 1);
    provider->running.clear();
    provider->emit(AppCatalogEvent::runningAppsChanged);
    EXPECT_TRUE(takeUpdates().empty());
}

TEST_F(CatalogFixture, AnOldStartsHandlerIsDroppedAfterARestart) {
    catalog->start();
    const AppCatalogProvider::Handler first = provider->handler;
    catalog->start();
    provider->running = {runningApp("a", "A")};
    first(AppCatalogEvent::runningAppsChanged);
    EXPECT_TRUE(takeUpdates().empty());
    provider->emit(AppCatalogEvent::runningAppsChanged);
    EXPECT_EQ(takeUpdates().size(), 1u);
}

TEST_F(CatalogFixture, InstalledChangesRescanOnlyWhenAListWasCached) {
    catalog->start();
    provider->installed = {{"a", "A", "/a"}};
    provider->emit(AppCatalogEvent::installedAppsChanged);
    EXPECT_EQ(provider->installedCalls, 0);
    EXPECT_TRUE(takeUpdates().empty());

    EXPECT_EQ(catalog->installedApps().size(), 1u);
    EXPECT_EQ(catalog->installedApps().size(), 1u);
    EXPECT_EQ(provider->installedCalls, 1);  // cached
    provider->emit(AppCatalogEvent::installedAppsChanged);
    EXPECT_EQ(provider->installedCalls, 2);
    EXPECT_TRUE(takeUpdates().empty());  // same list
    provider->installed.push_back({"b", "B", "/b"});
    provider->emit(AppCatalogEvent::installedAppsChanged);
    auto got = takeUpdates();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<AppCatalogUpdate::Installed>(got[0].value).apps.size(), 2u);
}

TEST_F(CatalogFixture, AScanOverlappedByAnInstalledChangeIsAnsweredButNotStored) {
    catalog->start();
    provider->installed = {{"old", "Old", "/a"}};
    provider->installedLatch.arm();
    std::vector<MacApp> answered;
    std::thread asker([&] { answered = catalog->installedApps(); });
    provider->installedLatch.waitEntered();
    provider->installed = {{"new", "New", "/b"}};
    provider->emit(AppCatalogEvent::installedAppsChanged);  // nothing cached yet: no scan
    provider->installedLatch.release();
    asker.join();
    ASSERT_EQ(answered.size(), 1u);
    EXPECT_EQ(answered[0].bundleID, "old");
    EXPECT_EQ(catalog->installedApps()[0].bundleID, "new");  // the stale scan was not kept
}

TEST_F(CatalogFixture, ARunningListFromAnOldGenerationIsNotStored) {
    provider->running = {runningApp("a", "A")};
    provider->runningLatch.arm();
    std::thread starter([&] { catalog->start(); });
    provider->runningLatch.waitEntered();
    // While start() builds its first list, an event stores a newer one; start must not overwrite it.
    provider->running = {runningApp("b", "B")};
    std::thread event([&] { provider->emit(AppCatalogEvent::runningAppsChanged); });
    event.join();
    provider->runningLatch.release();
    starter.join();
    provider->running = {runningApp("b", "B")};
    provider->emit(AppCatalogEvent::runningAppsChanged);
    auto got = takeUpdates();
    ASSERT_EQ(got.size(), 1u);  // only the event's own report: the stored list is b
    EXPECT_EQ(std::get<AppCatalogUpdate::Running>(got[0].value).apps[0].bundleID, "b");
}

TEST_F(CatalogFixture, EventsAfterTheCatalogIsGoneAreIgnored) {
    catalog->start();
    const AppCatalogProvider::Handler handler = provider->handler;
    catalog.reset();
    handler(AppCatalogEvent::runningAppsChanged);
    handler(AppCatalogEvent::installedAppsChanged);
    EXPECT_TRUE(takeUpdates().empty());
}

}  // namespace
}  // namespace Apps
