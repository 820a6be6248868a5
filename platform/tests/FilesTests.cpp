#include "platform/Files.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace platform {
namespace {

namespace fs = std::filesystem;

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::path(::testing::TempDir()) / "lumivex-files-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::system_error(errno, std::generic_category());
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        for (const auto& entry : fs::recursive_directory_iterator(path_, ignored))
            if (entry.is_directory())
                fs::permissions(entry.path(), fs::perms::owner_all, ignored);
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    std::vector<std::string> names(const fs::path& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    fs::path path_;
};

std::string text(const fs::path& path) {
    const auto bytes = readFile(path);
    return bytes ? std::string(bytes->begin(), bytes->end()) : "<missing>";
}

fs::perms permissionsOf(const fs::path& path) {
    return fs::status(path).permissions();
}

// Sets or clears an environment variable for one scope.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Runs `attempt` without the privilege to ignore permissions (root runs it in a child as nobody) and
// returns whether it threw std::system_error.
bool failsWithoutPrivilege(const std::function<void()>& attempt) {
    auto failed = [&] {
        try {
            attempt();
        } catch (const std::system_error&) {
            return true;
        }
        return false;
    };
    if (::geteuid() != 0)
        return failed();
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(!dropped ? 2 : failed() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << "could not drop privileges";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(WriteFileAtomically, WritesReplacesAndReadsBack) {
    TempFolder folder;
    const fs::path file = folder.path() / "preferences.json";
    writeFileAtomically(file, std::string_view("{\"a\":1}"));
    EXPECT_EQ(text(file), "{\"a\":1}");
    const std::vector<std::uint8_t> bytes{0, 1, 2, 255};
    writeFileAtomically(file, bytes);
    EXPECT_EQ(readFile(file), bytes);
    writeFileAtomically(file, std::string_view());
    EXPECT_EQ(readFile(file), std::vector<std::uint8_t>());
    EXPECT_EQ(folder.names(folder.path()), std::vector<std::string>{"preferences.json"});
}

TEST(WriteFileAtomically, PermissionsAreGivenOrKeptOrDefaultRegardlessOfUmask) {
    TempFolder folder;
    const fs::path file = folder.path() / "secret";
    const mode_t oldMask = ::umask(077);
    writeFileAtomically(file, std::string_view("new"));
    EXPECT_EQ(permissionsOf(file), static_cast<fs::perms>(0644));
    writeFileAtomically(file, std::string_view("key"), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(permissionsOf(file), static_cast<fs::perms>(0600));
    ::umask(0);
    writeFileAtomically(file, std::string_view("key 2"));  // kept, not widened by the open umask
    EXPECT_EQ(permissionsOf(file), static_cast<fs::perms>(0600));
    fs::permissions(file, static_cast<fs::perms>(0640));
    writeFileAtomically(file, std::string_view("key 3"));
    EXPECT_EQ(permissionsOf(file), static_cast<fs::perms>(0640));
    ::umask(oldMask);
    EXPECT_EQ(text(file), "key 3");
}

TEST(WriteFileAtomically, FailureInAReadOnlyFolderLeavesTheOldFileAlone) {
    TempFolder folder;
    const fs::path locked = folder.path() / "locked";
    fs::create_directory(locked);
    const fs::path file = locked / "state";
    writeFileAtomically(file, std::string_view("old contents"));
    fs::permissions(folder.path(), static_cast<fs::perms>(0755));
    fs::permissions(locked, static_cast<fs::perms>(0555));
    EXPECT_TRUE(failsWithoutPrivilege([&] {
        // Only a failure of the write itself counts, not one to reach the folder.
        try {
            if (text(file) != "old contents")
                return;
        } catch (const std::system_error&) {
            return;
        }
        writeFileAtomically(file, std::string_view("new contents"));
    }));
    EXPECT_EQ(text(file), "old contents");
    EXPECT_EQ(folder.names(locked), std::vector<std::string>{"state"});
}

TEST(WriteFileAtomically, AWriteCutShortRemovesTheTemporaryAndKeepsTheOldFile) {
    TempFolder folder;
    const fs::path file = folder.path() / "large";
    writeFileAtomically(file, std::string_view("old contents"));
    // A file size limit makes write() stop part way, as a full disk would.
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit oldLimit{};
    ::getrlimit(RLIMIT_FSIZE, &oldLimit);
    rlimit limit = oldLimit;
    limit.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const std::string big(100000, 'x');
    EXPECT_THROW(writeFileAtomically(file, std::string_view(big)), std::system_error);
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(text(file), "old contents");
    EXPECT_EQ(folder.names(folder.path()), std::vector<std::string>{"large"});
}

TEST(WriteFileAtomically, AFolderInTheWayIsNotReplaced) {
    TempFolder folder;
    const fs::path inTheWay = folder.path() / "config";
    fs::create_directory(inTheWay);
    writeFileAtomically(inTheWay / "keep", std::string_view("kept"));
    EXPECT_THROW(writeFileAtomically(inTheWay, std::string_view("data")), std::system_error);
    EXPECT_EQ(text(inTheWay / "keep"), "kept");
    EXPECT_EQ(folder.names(folder.path()), std::vector<std::string>{"config"});
    EXPECT_THROW(writeFileAtomically(folder.path() / "missing" / "file", std::string_view("x")),
                 std::system_error);
}

TEST(ReadFile, MissingIsNoneAndOtherFailuresThrow) {
    TempFolder folder;
    EXPECT_EQ(readFile(folder.path() / "absent"), std::nullopt);
    EXPECT_THROW(readFile(folder.path()), std::system_error);
    // Files whose size reads as 0 are still read to the end.
    const auto status = readFile("/proc/self/status");
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(status->empty());
}

TEST(Xdg, HomesComeFromAbsoluteVariablesElseFromHome) {
    ScopedEnvironment home("HOME", "/home/tester");
    {
        ScopedEnvironment data("XDG_DATA_HOME", "/data/home");
        ScopedEnvironment config("XDG_CONFIG_HOME", "/config/home");
        EXPECT_EQ(xdgDataHome(), fs::path("/data/home"));
        EXPECT_EQ(xdgConfigHome(), fs::path("/config/home"));
    }
    {
        ScopedEnvironment data("XDG_DATA_HOME", "relative/data");
        ScopedEnvironment config("XDG_CONFIG_HOME", "");
        EXPECT_EQ(xdgDataHome(), fs::path("/home/tester/.local/share"));
        EXPECT_EQ(xdgConfigHome(), fs::path("/home/tester/.config"));
    }
    ScopedEnvironment data("XDG_DATA_HOME", nullptr);
    ScopedEnvironment config("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(xdgDataHome(), fs::path("/home/tester/.local/share"));
    ScopedEnvironment noHome("HOME", nullptr);
    EXPECT_TRUE(xdgConfigHome().is_absolute());  // from the user's passwd entry
}

TEST(Xdg, RuntimeDirIsOptional) {
    {
        ScopedEnvironment runtime("XDG_RUNTIME_DIR", "/run/user/1000");
        EXPECT_EQ(xdgRuntimeDir(), fs::path("/run/user/1000"));
    }
    {
        ScopedEnvironment runtime("XDG_RUNTIME_DIR", "run/user");
        EXPECT_EQ(xdgRuntimeDir(), std::nullopt);
    }
    ScopedEnvironment runtime("XDG_RUNTIME_DIR", nullptr);
    EXPECT_EQ(xdgRuntimeDir(), std::nullopt);
}

TEST(Xdg, DataDirsSkipEmptyAndRelativeEntries) {
    using Paths = std::vector<fs::path>;
    const Paths defaults{"/usr/local/share", "/usr/share"};
    {
        ScopedEnvironment dirs("XDG_DATA_DIRS", "/opt/share::relative:/var/lib/flatpak/exports/share:");
        EXPECT_EQ(xdgDataDirs(), (Paths{"/opt/share", "/var/lib/flatpak/exports/share"}));
    }
    {
        ScopedEnvironment dirs("XDG_DATA_DIRS", "relative:also/relative");
        EXPECT_EQ(xdgDataDirs(), defaults);
    }
    {
        ScopedEnvironment dirs("XDG_DATA_DIRS", "");
        EXPECT_EQ(xdgDataDirs(), defaults);
    }
    ScopedEnvironment dirs("XDG_DATA_DIRS", nullptr);
    EXPECT_EQ(xdgDataDirs(), defaults);
}

}  // namespace
}  // namespace platform
