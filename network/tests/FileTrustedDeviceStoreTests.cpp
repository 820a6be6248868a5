#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include "network/FileTrustedDeviceStore.h"
#include "network/TrustedDeviceFile.h"
#include "network/tests/TestSupport.h"
#include "platform/LogCapture.h"

namespace CompanionNetwork {
namespace {

namespace fs = std::filesystem;
using tests::readText;
using tests::referenceDate;
using tests::TemporaryFolder;
using tests::writeText;

TrustedDeviceList listWith(std::size_t devices) {
    TrustedDeviceList list;
    list.hostID = UUID::random();
    for (std::size_t i = 0; i < devices; ++i)
        list.devices.push_back({UUID::random(), "Phone " + std::to_string(i), referenceDate(double(i)),
                                std::nullopt, tests::digestFilledWith(static_cast<std::uint8_t>(i))});
    list.tlsPrivateKey = Data(138, 0x42);
    return list;
}

fs::perms modeOf(const fs::path& path) {
    return fs::status(path).permissions() & fs::perms::mask;
}

TEST(FileTrustedDeviceStore, MissingFileLoadsAsNothing) {
    TemporaryFolder folder;
    FileTrustedDeviceStore store(folder / "TrustedDevices.json");
    EXPECT_FALSE(store.load());
}

TEST(FileTrustedDeviceStore, SaveThenLoadGivesTheSameListWithOwnerOnlyMode) {
    TemporaryFolder folder;
    FileTrustedDeviceStore store(folder / "TrustedDevices.json");
    writeText(store.url, "old");
    ::chmod(store.url.c_str(), 0644);

    TrustedDeviceList list = listWith(3);
    list.devices[1].lastConnectedAt = referenceDate(99.125);
    store.save(list);
    EXPECT_EQ(modeOf(store.url), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(store.load(), list);
    EXPECT_EQ(FileTrustedDeviceStore(store.url).load(), list) << "a second store over the same file reads it";

    std::size_t entries = std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator());
    EXPECT_EQ(entries, 1u) << "no temporary file is left behind";
}

TEST(FileTrustedDeviceStore, FailedSaveKeepsThePreviousList) {
    TemporaryFolder folder;
    FileTrustedDeviceStore store(folder / "TrustedDevices.json");
    TrustedDeviceList before = listWith(1);
    store.save(before);
    std::string bytesBefore = readText(store.url);

    // A file-size limit makes the write of the larger list fail halfway through.
    struct rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = bytesBefore.size() + 16;
    ::setrlimit(RLIMIT_FSIZE, &small);
    bool threw = false;
    try {
        store.save(listWith(40));
    } catch (const std::exception&) {
        threw = true;
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(threw);
    EXPECT_EQ(readText(store.url), bytesBefore);
    EXPECT_EQ(store.load(), before);
}

ino_t inodeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0);
    return status.st_ino;
}

TEST(FileTrustedDeviceStore, AListTheFileHoldsAlreadyIsNotWrittenAgain) {
    TemporaryFolder folder;
    const TrustedDeviceList list = listWith(2);
    FileTrustedDeviceStore(folder / "TrustedDevices.json").save(list);
    const ino_t first = inodeOf(folder / "TrustedDevices.json");
    // Every write replaces the file by another: the same inode means nothing was written.
    FileTrustedDeviceStore store(folder / "TrustedDevices.json");
    ASSERT_EQ(store.load(), list);
    store.save(list);
    store.saveSoon(list);
    store.flush();
    EXPECT_EQ(inodeOf(store.url), first);
    TrustedDeviceList changed = list;
    changed.devices[0].lastConnectedAt = referenceDate(5);
    store.save(changed);
    EXPECT_NE(inodeOf(store.url), first);
}

TEST(FileTrustedDeviceStore, SavesSoonEndWithTheLatestListAndASaveAfterThemWins) {
    TemporaryFolder folder;
    TrustedDeviceList list = listWith(1);
    {
        FileTrustedDeviceStore store(folder / "TrustedDevices.json");
        for (int i = 0; i < 50; ++i) {
            list.devices[0].lastConnectedAt = referenceDate(i);
            store.saveSoon(list);
        }
        store.flush();
        EXPECT_EQ(store.load(), list);

        TrustedDeviceList later = listWith(3);
        store.saveSoon(list);
        store.save(later);
        store.flush();
        EXPECT_EQ(store.load(), later);

        // Handed over just before the store goes: written all the same.
        list.devices[0].lastConnectedAt = referenceDate(99);
        store.saveSoon(list);
    }
    EXPECT_EQ(FileTrustedDeviceStore(folder / "TrustedDevices.json").load(), list);
}

TEST(FileTrustedDeviceStore, ASaveSoonThatFailsIsLoggedNotThrown) {
    TemporaryFolder folder;
    platform::LogCapture capture;
    FileTrustedDeviceStore store(folder / "missing" / "TrustedDevices.json");
    EXPECT_NO_THROW(store.saveSoon(listWith(1)));
    store.flush();
    bool logged = false;
    for (const auto& entry : capture.entries())
        logged = logged || entry.message.find("could not be saved") != std::string::npos;
    EXPECT_TRUE(logged);
}

TEST(FileTrustedDeviceStore, DamagedOrNewerFilesThrowAndStayAsTheyAre) {
    const std::vector<std::pair<std::string, TrustedDeviceStoreError>> cases = {
        {"{\"format\": 2, \"devices\": []}", TrustedDeviceStoreError::unsupportedFormat(2)},
        {"{\"format\": 1, \"hostID\"", TrustedDeviceStoreError::unreadable("not valid JSON at byte 23")},
        {"", TrustedDeviceStoreError::unreadable("the file is empty")},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        TemporaryFolder folder;
        FileTrustedDeviceStore store(folder / "TrustedDevices.json");
        writeText(store.url, text);
        try {
            store.load();
            ADD_FAILURE() << "loaded";
        } catch (const TrustedDeviceStoreError& error) {
            EXPECT_EQ(error, expected) << error.what();
        }
        EXPECT_EQ(readText(store.url), text);
    }
}

TEST(FileTrustedDeviceStore, FileThatCannotBeReadIsUnreadable) {
    TemporaryFolder folder;
    FileTrustedDeviceStore store(folder / "TrustedDevices.json");
    fs::create_directory(store.url);  // a folder where the file should be
    try {
        store.load();
        ADD_FAILURE() << "loaded";
    } catch (const TrustedDeviceStoreError& error) {
        EXPECT_EQ(error.kind(), TrustedDeviceStoreError::Kind::unreadable);
        EXPECT_FALSE(error.reason().empty());
    }
}

// Bytes this process has read through read(2) and its kin so far.
std::uint64_t bytesReadByProcess() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return 0;
}

TEST(FileTrustedDeviceStore, OnlyARegularFileWithinTheCapIsReadAndNeverMoreThanTheCap) {
    TemporaryFolder folder;
    FileTrustedDeviceStore store(folder / "TrustedDevices.json");
    auto expectUnreadable = [&](const char* why) {
        try {
            store.load();
            ADD_FAILURE() << why << ": loaded";
        } catch (const TrustedDeviceStoreError& error) {
            EXPECT_EQ(error.kind(), TrustedDeviceStoreError::Kind::unreadable) << why;
        }
    };

    // 200 MiB (sparse): refused from its size alone.
    {
        const int fd = ::open(store.url.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 200 << 20), 0);
        ::close(fd);
    }
    const std::uint64_t before = bytesReadByProcess();
    expectUnreadable("200 MiB");
    EXPECT_LT(bytesReadByProcess() - before, std::uint64_t{1} << 20) << "the file was read";
    fs::remove(store.url);

    // A FIFO must not hold start-up: nobody will ever write to it.
    ASSERT_EQ(::mkfifo(store.url.c_str(), 0600), 0);
    auto loading = std::async(std::launch::async, [&] { expectUnreadable("a FIFO"); });
    if (loading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "loading blocked on a FIFO";
        const int writer = ::open(store.url.c_str(), O_WRONLY | O_NONBLOCK);
        loading.wait();
        ::close(writer);
    }
}

TEST(FileTrustedDeviceStore, AListOthersMayReadIsTightenedOnLoad) {
    TemporaryFolder folder;
    FileTrustedDeviceStore store(folder / "TrustedDevices.json");
    const TrustedDeviceList list = listWith(1);
    store.save(list);
    ::chmod(store.url.c_str(), 0644);
    EXPECT_EQ(store.load(), list);
    EXPECT_EQ(modeOf(store.url), fs::perms::owner_read | fs::perms::owner_write);
}

TEST(FileTrustedDeviceStore, DefaultURLLivesInTheDataHomeAndCreatesItsFolder) {
    TemporaryFolder home;
    fs::path dataHome = home / "share";
    fs::path url = FileTrustedDeviceStore::defaultURL(dataHome);
    EXPECT_EQ(url, dataHome / "dev.quelmar.trackpad.mac" / "TrustedDevices.json");
    EXPECT_TRUE(fs::is_directory(url.parent_path()));
    EXPECT_EQ(modeOf(url.parent_path()), fs::perms::owner_all);

    // The folder holds the TLS key: one that others may read or enter is tightened.
    fs::permissions(url.parent_path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::others_exec);
    EXPECT_EQ(FileTrustedDeviceStore::defaultURL(dataHome), url);
    EXPECT_EQ(modeOf(url.parent_path()), fs::perms::owner_all);

    writeText(home / "file", "x");
    EXPECT_THROW(FileTrustedDeviceStore::defaultURL(home / "file"), fs::filesystem_error);
}

TEST(FileTrustedDeviceStore, QuarantineMovesTheFileAsideWithAStampAndCounter) {
    using namespace std::chrono;
    TemporaryFolder folder;
    FileTrustedDeviceStore store(folder / "TrustedDevices.json");
    Date date = sys_days(year{2024} / January / 2) + hours(3) + minutes(4) + seconds(5) + milliseconds(900);

    EXPECT_EQ(store.quarantine(date), std::nullopt) << "nothing to move";
    EXPECT_TRUE(fs::is_empty(folder.path()));

    const std::vector<std::string> expected = {
        "TrustedDevices.unreadable-20240102-030405.json",
        "TrustedDevices.unreadable-20240102-030405-2.json",
        "TrustedDevices.unreadable-20240102-030405-3.json",
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        writeText(store.url, "damaged " + std::to_string(i));
        EXPECT_EQ(store.quarantine(date), folder / expected[i]);
        EXPECT_FALSE(fs::exists(store.url));
    }
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(readText(folder / expected[i]), "damaged " + std::to_string(i)) << "no copy was replaced";
    EXPECT_FALSE(store.load()) << "the next load starts afresh";
}

TEST(FileTrustedDeviceStore, QuarantineNameWithoutExtensionAndInUTC) {
    using namespace std::chrono;
    FileTrustedDeviceStore store(fs::path("/some/folder/list"));
    Date date = sys_days(year{1999} / December / 31) + hours(23) + minutes(59) + seconds(59);
    EXPECT_EQ(store.quarantineURL(date, 1), fs::path("/some/folder/list.unreadable-19991231-235959"));
    EXPECT_EQ(store.quarantineURL(date, 12), fs::path("/some/folder/list.unreadable-19991231-235959-12"));
}

TEST(InMemoryTrustedDeviceStore, FailuresAndQuarantine) {
    InMemoryTrustedDeviceStore store;
    EXPECT_FALSE(store.load());
    EXPECT_FALSE(store.quarantine(referenceDate()));

    TrustedDeviceList list = listWith(1);
    store.save(list);
    store.setFailsSaves(true);
    EXPECT_THROW(store.save(listWith(2)), std::runtime_error);
    EXPECT_EQ(store.load(), list);
    EXPECT_EQ(store.saveCount(), 1u);

    store.setLoadError(TrustedDeviceStoreError::unreadable("x"));
    EXPECT_THROW(store.load(), TrustedDeviceStoreError);
    EXPECT_TRUE(store.quarantine(referenceDate()));
    EXPECT_FALSE(store.load());
    ASSERT_EQ(store.quarantined().size(), 1u);
    EXPECT_EQ(store.quarantined()[0], list);
}

}  // namespace
}  // namespace CompanionNetwork
