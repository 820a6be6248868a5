#pragma once
// The paired phones and the store that keeps them. The list also carries the computer's host id and the
// private key of its TLS identity, so whoever holds the file can impersonate the computer: the file store
// writes it readable by its owner only.
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/messages/Types.h"
#include "protocol/messages/Uuid.h"

namespace CompanionNetwork {

using TrackpadProtocol::Data;
using TrackpadProtocol::UUID;
// A wall-clock date: pairing and the trusted-device list measure calendar time, not uptime.
using Date = std::chrono::system_clock::time_point;
// SHA-256 of a pairing token. The token itself is never stored.
using TokenDigest = std::array<std::uint8_t, 32>;

struct TrustedDevice {
    UUID id;
    std::string name;
    Date pairedAt;
    std::optional<Date> lastConnectedAt;
    TokenDigest tokenDigest{};
    bool operator==(const TrustedDevice&) const = default;
};

struct TrustedDeviceList {
    // The format this version writes; a list of a higher format is refused, never rewritten.
    static constexpr std::int64_t currentFormat = 1;

    std::int64_t format = currentFormat;
    UUID hostID;
    std::vector<TrustedDevice> devices;
    Data tlsPrivateKey;  // PKCS#8 DER of the P-256 key of the computer's TLS identity
    bool operator==(const TrustedDeviceList&) const = default;
};

// Why a stored list cannot be used. what() is the sentence shown to the user.
class TrustedDeviceStoreError : public std::runtime_error {
  public:
    enum class Kind { unsupportedFormat, unreadable };

    // A newer version wrote the list in a format this one does not know.
    static TrustedDeviceStoreError unsupportedFormat(std::int64_t format);
    // The list is damaged; `reason` says why.
    static TrustedDeviceStoreError unreadable(std::string reason);

    Kind kind() const { return kind_; }
    std::int64_t format() const { return format_; }        // unsupportedFormat only
    const std::string& reason() const { return reason_; }  // unreadable only
    std::string description() const { return what(); }

    friend bool operator==(const TrustedDeviceStoreError& a, const TrustedDeviceStoreError& b) {
        return a.kind_ == b.kind_ && a.format_ == b.format_ && a.reason_ == b.reason_;
    }

  private:
    TrustedDeviceStoreError(Kind kind, std::int64_t format, std::string reason,
                            const std::string& description)
        : std::runtime_error(description), kind_(kind), format_(format), reason_(std::move(reason)) {}

    Kind kind_;
    std::int64_t format_ = 0;
    std::string reason_;
};

// Where the list lives. Calls come from the coordinator's thread; implementations need not be fast, but
// a save must never leave a half-written list behind.
class TrustedDeviceStore {
  public:
    virtual ~TrustedDeviceStore() = default;

    // The stored list; none when nothing has been stored yet. Throws TrustedDeviceStoreError when a
    // list exists but cannot be used.
    virtual std::optional<TrustedDeviceList> load() = 0;
    // Replaces the stored list. Throws (std::system_error and the like) when it cannot be stored, in
    // which case the previous list stays as it was.
    virtual void save(const TrustedDeviceList& list) = 0;
    // Replaces the stored list when the caller need not wait for it: for changes whose loss costs no
    // more than a stale date. A store may write it later, off the caller's thread, skipping lists that
    // a later save replaced, and then only tells a failure in the log. By default: save() at once.
    virtual void saveSoon(const TrustedDeviceList& list) { save(list); }
    // Moves a stored list aside so that the next load finds none; returns where it went, none when
    // nothing was stored. Used to reset a damaged list; throws when the move fails.
    virtual std::optional<std::filesystem::path> quarantine(Date date) = 0;
};

// Keeps the list in memory, for tests and for running without a file. Can be told to fail.
class InMemoryTrustedDeviceStore final : public TrustedDeviceStore {
  public:
    InMemoryTrustedDeviceStore() = default;
    explicit InMemoryTrustedDeviceStore(std::optional<TrustedDeviceList> stored)
        : stored_(std::move(stored)) {}

    std::optional<TrustedDeviceList> load() override;
    void save(const TrustedDeviceList& list) override;
    // Forgets the stored list and a pending load error (which stands for a damaged list); a stored list
    // is kept in quarantined().
    std::optional<std::filesystem::path> quarantine(Date date) override;

    // What load() throws while set.
    void setLoadError(std::optional<TrustedDeviceStoreError> error);
    // While true, save() throws std::runtime_error and keeps the previous list.
    void setFailsSaves(bool fails);

    std::optional<TrustedDeviceList> stored() const;
    std::size_t saveCount() const;
    std::vector<TrustedDeviceList> quarantined() const;

  private:
    mutable std::mutex mutex_;
    std::optional<TrustedDeviceList> stored_;
    std::optional<TrustedDeviceStoreError> loadError_;
    bool failsSaves_ = false;
    std::size_t saveCount_ = 0;
    std::vector<TrustedDeviceList> quarantined_;
    std::size_t quarantineCount_ = 0;
};

}  // namespace CompanionNetwork
