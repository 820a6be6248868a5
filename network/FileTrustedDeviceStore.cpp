#include "network/FileTrustedDeviceStore.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include "network/TrustedDeviceFile.h"
#include "platform/Files.h"
#include "platform/Log.h"

namespace CompanionNetwork {

namespace fs = std::filesystem;

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "pairing");

std::string octal(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

// The list holds the TLS key: nobody but its owner may read it or look into its folder.
void tighten(int fd, const struct stat& status, mode_t allowed, const fs::path& path) {
    if ((status.st_mode & 07777u & ~allowed) == 0)
        return;
    const mode_t tightened = status.st_mode & allowed;
    if (::fchmod(fd, tightened) == 0)
        logger.notice("tightened the mode of " + path.string() + " from " + octal(status.st_mode) + " to " +
                      octal(tightened));
    else
        logger.error("could not tighten the mode of " + path.string() + ": " + std::strerror(errno));
}

[[noreturn]] void unreadable(const std::string& reason) {
    throw TrustedDeviceStoreError::unreadable(reason);
}

}  // namespace

fs::path FileTrustedDeviceStore::defaultURL() {
    return defaultURL(platform::xdgDataHome());
}

fs::path FileTrustedDeviceStore::defaultURL(const fs::path& dataHome) {
    fs::path folder = dataHome / folderName;
    if (!fs::is_directory(folder)) {
        fs::create_directories(dataHome);
        if (fs::create_directory(folder))
            fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    }
    // An existing folder that others may read or enter is tightened.
    if (const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
        struct stat status {};
        if (::fstat(fd, &status) == 0 && status.st_uid == ::geteuid())
            tighten(fd, status, S_IRWXU, folder);
        ::close(fd);
    }
    return folder / fileName;
}

std::optional<TrustedDeviceList> FileTrustedDeviceStore::load() {
    // Opened without blocking, so that a FIFO at the path cannot hold start-up; its type and size are
    // checked on the opened file before anything is read, and no more than the cap is ever read.
    const int fd = ::open(url.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        unreadable(std::strerror(errno));
    }
    struct CloseOnExit {
        int fd;
        ~CloseOnExit() { ::close(fd); }
    } closer{fd};
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        unreadable(std::strerror(errno));
    if (!S_ISREG(status.st_mode))
        unreadable("it is not a regular file");
    if (static_cast<std::uint64_t>(status.st_size) > TrustedDeviceFile::maxBytes)
        unreadable("the file is too large");
    tighten(fd, status, S_IRUSR | S_IWUSR, url);

    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t filled = 0;
    // One byte more than the file had: a file that grew since is refused rather than read in part.
    while (filled < bytes.size()) {
        const ssize_t count = ::read(fd, bytes.data() + filled, bytes.size() - filled);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            unreadable(std::strerror(errno));
        }
        if (count == 0)
            break;
        filled += static_cast<std::size_t>(count);
    }
    if (filled > static_cast<std::size_t>(status.st_size))
        unreadable("the file changed while it was read");
    bytes.resize(filled);
    TrustedDeviceList list = TrustedDeviceFile::decode(bytes);
    {
        std::lock_guard lock(writeMutex_);
        written_.assign(bytes.begin(), bytes.end());
    }
    return list;
}

FileTrustedDeviceStore::~FileTrustedDeviceStore() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        hurry_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable())
        worker_.join();
}

void FileTrustedDeviceStore::writeIfChanged(const TrustedDeviceList& list) {
    std::string encoded = TrustedDeviceFile::encode(list);
    if (encoded == written_)
        return;
    platform::writeFileAtomically(url, std::string_view(encoded), fs::perms::owner_read | fs::perms::owner_write);
    written_ = std::move(encoded);
}

void FileTrustedDeviceStore::save(const TrustedDeviceList& list) {
    std::lock_guard write(writeMutex_);
    {
        std::lock_guard lock(mutex_);
        soon_.reset();
    }
    writeIfChanged(list);
}

void FileTrustedDeviceStore::saveSoon(const TrustedDeviceList& list) {
    {
        std::lock_guard lock(mutex_);
        soon_ = list;
        if (!worker_.joinable())
            worker_ = std::thread([this] { runWorker(); });
    }
    changed_.notify_all();
}

void FileTrustedDeviceStore::flush() {
    std::unique_lock lock(mutex_);
    if (!worker_.joinable())
        return;
    hurry_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !soon_ && !writing_; });
    hurry_ = stopping_;
}

void FileTrustedDeviceStore::runWorker() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || soon_.has_value(); });
        if (!soon_) {
            return;  // stopping, nothing left to write
        }
        if (!hurry_ && lastSoonWrite_) {
            const auto due = *lastSoonWrite_ + deferredSaveSpacing;
            if (std::chrono::steady_clock::now() < due) {
                changed_.wait_until(lock, due, [&] { return hurry_; });
                continue;
            }
        }
        writing_ = true;
        lock.unlock();
        {
            std::lock_guard write(writeMutex_);
            std::optional<TrustedDeviceList> list;
            {
                std::lock_guard taking(mutex_);
                list.swap(soon_);
            }
            if (list) {
                try {
                    writeIfChanged(*list);
                } catch (const std::exception& error) {
                    logger.error(std::string("the paired iPhones list could not be saved: ") + error.what());
                }
            }
        }
        lock.lock();
        writing_ = false;
        lastSoonWrite_ = std::chrono::steady_clock::now();
        changed_.notify_all();
    }
}

fs::path FileTrustedDeviceStore::quarantineURL(Date date, int counter) const {
    const auto utc = TrustedDeviceFile::utcFields(date);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02u%02u-%02d%02d%02d", utc.year, utc.month, utc.day, utc.hour,
                  utc.minute, utc.second);
    std::string name = url.stem().string() + ".unreadable-" + stamp;
    if (counter > 1)
        name += "-" + std::to_string(counter);
    name += url.extension().string();  // with its point, or nothing without an extension
    return url.parent_path() / name;
}

std::optional<fs::path> FileTrustedDeviceStore::quarantine(Date date) {
    std::error_code status;
    auto found = fs::symlink_status(url, status);
    if (status == std::errc::no_such_file_or_directory || found.type() == fs::file_type::not_found)
        return std::nullopt;
    if (status)
        throw fs::filesystem_error("cannot move the paired iPhones list aside", url, status);
    for (int counter = 1;; ++counter) {
        fs::path target = quarantineURL(date, counter);
        // RENAME_NOREPLACE: a copy made by an earlier reset in the same second is never replaced.
        if (::renameat2(AT_FDCWD, url.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return target;
        int error = errno;
        if (error == EEXIST)
            continue;
        if (error == ENOENT && !fs::exists(fs::symlink_status(url)))
            return std::nullopt;
        if (error == EINVAL || error == ENOSYS) {
            // A file system without RENAME_NOREPLACE: check, then move.
            if (fs::exists(fs::symlink_status(target)))
                continue;
            fs::rename(url, target);
            return target;
        }
        throw fs::filesystem_error("cannot move the paired iPhones list aside", url, target,
                                   std::error_code(error, std::generic_category()));
    }
}

}  // namespace CompanionNetwork
