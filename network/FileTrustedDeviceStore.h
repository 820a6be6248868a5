#pragma once
// The trusted-device list in a JSON file (format in TrustedDeviceFile.h), replaced atomically and
// readable by its owner only, since it holds the TLS private key. The file is written only when what it
// would hold changed.
//
// Threads: called from the coordinator's thread; saveSoon() hands its list to a worker thread of the
// store's own (started with the first such call), which writes the latest list it was handed, at most
// once per deferredSaveSpacing, and the last one before the store goes away.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "network/TrustedDevice.h"

namespace CompanionNetwork {

struct FileTrustedDeviceStore final : TrustedDeviceStore {
    static constexpr const char* folderName = "dev.quelmar.trackpad.mac";
    static constexpr const char* fileName = "TrustedDevices.json";
    // A phone that opens sessions again and again must not keep the disk busy.
    static constexpr std::chrono::milliseconds deferredSaveSpacing{1000};

    explicit FileTrustedDeviceStore(std::filesystem::path url) : url(std::move(url)) {}
    // Writes a list saveSoon() was handed and has not written yet.
    ~FileTrustedDeviceStore() override;
    FileTrustedDeviceStore(const FileTrustedDeviceStore&) = delete;
    FileTrustedDeviceStore& operator=(const FileTrustedDeviceStore&) = delete;

    const std::filesystem::path url;

    // <dataHome>/dev.quelmar.trackpad.mac/TrustedDevices.json, the folders created when missing (the
    // application's own with mode 0700). `dataHome` defaults to $XDG_DATA_HOME or ~/.local/share.
    // Throws std::filesystem::filesystem_error when the folder cannot be had.
    static std::filesystem::path defaultURL();
    static std::filesystem::path defaultURL(const std::filesystem::path& dataHome);

    // None when the file does not exist; throws TrustedDeviceStoreError when it cannot be read or used.
    std::optional<TrustedDeviceList> load() override;
    // Writes the whole list atomically with mode 0600, unless the file holds it already; throws
    // std::system_error, leaving the old file. A list handed to saveSoon() before is not written after.
    void save(const TrustedDeviceList& list) override;
    // As save(), on the worker; a failure is logged.
    void saveSoon(const TrustedDeviceList& list) override;
    // Waits until the lists handed to saveSoon() so far are written (or failed).
    void flush();
    // Moves the file, in its folder, to "<name>.unreadable-<yyyyMMdd-HHmmss in UTC>[-<n>].<extension>",
    // adding a counter from 2 upward only when the name is taken, and never replacing an existing file.
    // None when there is no file. Throws std::filesystem::filesystem_error when the move fails.
    std::optional<std::filesystem::path> quarantine(Date date) override;

    // The name quarantine() tries for `date` and counter (1 = no counter).
    std::filesystem::path quarantineURL(Date date, int counter) const;

  private:
    void writeIfChanged(const TrustedDeviceList& list);
    void runWorker();

    // Held while the file is written, and while the worker takes its list: a save() that came later
    // is never overwritten by a saveSoon() that came before it.
    std::mutex writeMutex_;
    std::string written_;  // what the file holds, as far as this store knows

    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<TrustedDeviceList> soon_;
    bool writing_ = false;
    bool hurry_ = false;  // flush() or the destructor waits
    bool stopping_ = false;
    std::optional<std::chrono::steady_clock::time_point> lastSoonWrite_;
    std::thread worker_;
};

}  // namespace CompanionNetwork
