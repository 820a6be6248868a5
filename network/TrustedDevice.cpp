#include "network/TrustedDevice.h"

namespace CompanionNetwork {

TrustedDeviceStoreError TrustedDeviceStoreError::unsupportedFormat(std::int64_t format) {
    return TrustedDeviceStoreError(
        Kind::unsupportedFormat, format, {},
        "The paired iPhones list was saved by a newer version of Lumivex (format " + std::to_string(format) +
            ").");
}

TrustedDeviceStoreError TrustedDeviceStoreError::unreadable(std::string reason) {
    std::string description = "The paired iPhones list is damaged and can't be read (" + reason + ").";
    return TrustedDeviceStoreError(Kind::unreadable, 0, std::move(reason), description);
}

std::optional<TrustedDeviceList> InMemoryTrustedDeviceStore::load() {
    std::lock_guard lock(mutex_);
    if (loadError_)
        throw *loadError_;
    return stored_;
}

void InMemoryTrustedDeviceStore::save(const TrustedDeviceList& list) {
    std::lock_guard lock(mutex_);
    if (failsSaves_)
        throw std::runtime_error("the in-memory store refuses to save");
    stored_ = list;
    ++saveCount_;
}

std::optional<std::filesystem::path> InMemoryTrustedDeviceStore::quarantine(Date) {
    std::lock_guard lock(mutex_);
    // A pending load error stands for a damaged list: there is something to move aside.
    if (!stored_ && !loadError_)
        return std::nullopt;
    if (stored_)
        quarantined_.push_back(std::move(*stored_));
    stored_.reset();
    loadError_.reset();
    ++quarantineCount_;
    return std::filesystem::path("memory") / ("quarantined-" + std::to_string(quarantineCount_));
}

void InMemoryTrustedDeviceStore::setLoadError(std::optional<TrustedDeviceStoreError> error) {
    std::lock_guard lock(mutex_);
    loadError_ = std::move(error);
}

void InMemoryTrustedDeviceStore::setFailsSaves(bool fails) {
    std::lock_guard lock(mutex_);
    failsSaves_ = fails;
}

std::optional<TrustedDeviceList> InMemoryTrustedDeviceStore::stored() const {
    std::lock_guard lock(mutex_);
    return stored_;
}

std::size_t InMemoryTrustedDeviceStore::saveCount() const {
    std::lock_guard lock(mutex_);
    return saveCount_;
}

std::vector<TrustedDeviceList> InMemoryTrustedDeviceStore::quarantined() const {
    std::lock_guard lock(mutex_);
    return quarantined_;
}

}  // namespace CompanionNetwork
