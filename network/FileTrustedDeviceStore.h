#pragma once
// The trusted-device list in a JSON file (format in TrustedDeviceFile.h), replaced atomically and
// readable by its owner only, since it holds the TLS private key.
#include <filesystem>
#include <optional>

#include "network/TrustedDevice.h"

namespace CompanionNetwork {

struct FileTrustedDeviceStore final : TrustedDeviceStore {
    static constexpr const char* folderName = "dev.quelmar.trackpad.mac";
    static constexpr const char* fileName = "TrustedDevices.json";

    explicit FileTrustedDeviceStore(std::filesystem::path url) : url(std::move(url)) {}

    std::filesystem::path url;

    // <dataHome>/dev.quelmar.trackpad.mac/TrustedDevices.json, the folders created when missing (the
    // application's own with mode 0700). `dataHome` defaults to $XDG_DATA_HOME or ~/.local/share.
    // Throws std::filesystem::filesystem_error when the folder cannot be had.
    static std::filesystem::path defaultURL();
    static std::filesystem::path defaultURL(const std::filesystem::path& dataHome);

    // None when the file does not exist; throws TrustedDeviceStoreError when it cannot be read or used.
    std::optional<TrustedDeviceList> load() override;
    // Writes the whole list atomically with mode 0600; throws std::system_error, leaving the old file.
    void save(const TrustedDeviceList& list) override;
    // Moves the file, in its folder, to "<name>.unreadable-<yyyyMMdd-HHmmss in UTC>[-<n>].<extension>",
    // adding a counter from 2 upward only when the name is taken, and never replacing an existing file.
    // None when there is no file. Throws std::filesystem::filesystem_error when the move fails.
    std::optional<std::filesystem::path> quarantine(Date date) override;

    // The name quarantine() tries for `date` and counter (1 = no counter).
    std::filesystem::path quarantineURL(Date date, int counter) const;
};

}  // namespace CompanionNetwork
