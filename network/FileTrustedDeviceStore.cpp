#include "network/FileTrustedDeviceStore.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "network/TrustedDeviceFile.h"
#include "platform/Files.h"

namespace CompanionNetwork {

namespace fs = std::filesystem;

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
    return folder / fileName;
}

std::optional<TrustedDeviceList> FileTrustedDeviceStore::load() {
    std::optional<std::vector<std::uint8_t>> bytes;
    try {
        bytes = platform::readFile(url);
    } catch (const std::system_error& error) {
        throw TrustedDeviceStoreError::unreadable(error.code().message());
    }
    if (!bytes)
        return std::nullopt;
    return TrustedDeviceFile::decode(*bytes);
}

void FileTrustedDeviceStore::save(const TrustedDeviceList& list) {
    platform::writeFileAtomically(url, std::string_view(TrustedDeviceFile::encode(list)),
                                  fs::perms::owner_read | fs::perms::owner_write);
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
