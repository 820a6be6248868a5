// No copy of a pairing's secrets stays behind in freed memory or on the stack once the pairing is over:
// not the code, not the generator string's hash, not a scalar, not K, not ISK, not the token. Freed
// blocks are kept aside while a pairing runs (this test binary replaces operator new and delete for
// it) and searched afterwards, with the dead part of the stack below the pairing's thread.
#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/sha.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "network/PairingCoordinator.h"
#include "network/TrustedDevice.h"
#include "protocol/phone/PhonePairing.h"
#include "protocol/security/CPace.h"

namespace {

// Freed blocks kept while armed; plain storage, so that keeping them allocates nothing.
struct Graveyard {
    static constexpr std::size_t capacity = 1u << 16;
    std::mutex mutex;
    std::atomic<bool> armed{false};
    void* blocks[capacity];
    std::size_t count = 0;
    bool overflowed = false;
};
Graveyard graveyard;

void release(void* pointer) noexcept {
    if (pointer == nullptr) {
        return;
    }
    if (graveyard.armed.load(std::memory_order_relaxed)) {
        std::lock_guard lock(graveyard.mutex);
        if (graveyard.count < Graveyard::capacity) {
            graveyard.blocks[graveyard.count++] = pointer;
            return;
        }
        graveyard.overflowed = true;
    }
    std::free(pointer);
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* pointer = std::malloc(size == 0 ? 1 : size)) {
        return pointer;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* pointer) noexcept {
    release(pointer);
}
void operator delete[](void* pointer) noexcept {
    release(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
    release(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
    release(pointer);
}

namespace CompanionNetwork::tests {
namespace {

using TrackpadProtocol::CPaceParty;
using TrackpadProtocol::Message;
using TrackpadProtocol::UUID;

template <std::size_t N>
struct Hex {
    std::array<std::uint8_t, N> bytes{};
    explicit Hex(const char* hex) {
        for (std::size_t i = 0; i < N; ++i) {
            bytes[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
        }
    }
};

// The reference exchange of the CPace vectors, whose secrets are known to the test.
const Hex<8> prs("50617373776F7264");
const Hex<24> ci("0B415F696E69746961746F720B425F726573706F6E646572");
const Hex<16> sid("7E4B4791D6A8EF019B936C79FB7F2C57");
const Hex<3> adA("414461");
const Hex<3> adB("414462");
const Hex<32> ya("21B4F4BD9E64ED355C3EB676A28EBEDAF6D8F17BDC365995B319097153044080");
const Hex<32> yb("848B0779FF415F0AF4EA14DF9DD1D3C29AC41D836C7808896C4EBA19C51AC40A");
const Hex<32> g("D04BF6D41F6A289632A2E929FA29BEBD51092512A7829FDDE7D314B62F05A73F");
const Hex<32> k("5B067EFFBDC0B2A0E1D907B21EBB25CFEDB96A852179A847C37E43EE71322C6B");
const Hex<64> isk(
    "6E19B875F7A561D6B3CA3DBB9EF42AC55DE3E717881018204B8922B4D5E53BB2AA82C300BEA7B65D2B671DA71922DDF64723"
    "01B79BC270ADFA8BF413285F2263");

struct Pattern {
    std::string name;
    std::vector<std::uint8_t> bytes;
};

[[gnu::no_sanitize_address]] bool holds(const std::uint8_t* area, std::size_t size, const Pattern& pattern) {
    const std::size_t length = pattern.bytes.size();
    for (std::size_t i = 0; i + length <= size; ++i) {
        std::size_t j = 0;
        while (j < length && area[i + j] == pattern.bytes[j]) {
            ++j;
        }
        if (j == length) {
            return true;
        }
    }
    return false;
}

// Where each pattern was found: in a freed block, or on the dead stack below the caller.
struct Residue {
    std::vector<std::string> found;
    bool overflowed = false;
};

[[gnu::noinline, gnu::no_sanitize_address]] void scanStack(const std::vector<Pattern>& patterns,
                                                           Residue& residue) {
    const auto* top = static_cast<const std::uint8_t*>(__builtin_frame_address(0));
    constexpr std::size_t depth = 256 * 1024;  // well within the thread's stack, below this frame
    const std::uint8_t* bottom = top - depth;
    for (const Pattern& pattern : patterns) {
        if (holds(bottom, depth - 512, pattern)) {
            residue.found.push_back(pattern.name + " on the stack");
        }
    }
}

void scanFreedBlocks(const std::vector<Pattern>& patterns, Residue& residue) {
    std::lock_guard lock(graveyard.mutex);
    for (std::size_t i = 0; i < graveyard.count; ++i) {
        const auto* block = static_cast<const std::uint8_t*>(graveyard.blocks[i]);
        const std::size_t size = ::malloc_usable_size(graveyard.blocks[i]);
        for (const Pattern& pattern : patterns) {
            if (holds(block, size, pattern)) {
                residue.found.push_back(pattern.name + " in a freed block of " + std::to_string(size) +
                                        " bytes");
            }
        }
    }
    residue.overflowed = graveyard.overflowed;
}

void buryNothingMore() {
    graveyard.armed = false;
    std::lock_guard lock(graveyard.mutex);
    for (std::size_t i = 0; i < graveyard.count; ++i) {
        std::free(graveyard.blocks[i]);
    }
    graveyard.count = 0;
    graveyard.overflowed = false;
}

// Runs `exchange` on a thread of its own with freed blocks kept, then searches them and the dead stack
// the exchange left below; `patterns` gives what to search for once the exchange is over.
template <class Exchange, class Patterns>
Residue afterwards(Exchange exchange, Patterns patterns) {
    Residue residue;
    std::thread runner([&] {
        graveyard.armed = true;
        exchange();
        graveyard.armed = false;
        const std::vector<Pattern> wanted = patterns();
        scanStack(wanted, residue);
        scanFreedBlocks(wanted, residue);
    });
    runner.join();
    buryNothingMore();
    return residue;
}

template <std::size_t N>
std::vector<std::uint8_t> vectorOf(const std::array<std::uint8_t, N>& bytes) {
    return {bytes.begin(), bytes.end()};
}

bool reachedTheSameKey = false;

[[gnu::noinline]] void referenceExchange() {
    CPaceParty a(CPaceParty::Role::initiator, prs.bytes, ci.bytes, sid.bytes, adA.bytes, ya.bytes);
    CPaceParty b(CPaceParty::Role::responder, prs.bytes, ci.bytes, sid.bytes, adB.bytes, yb.bytes);
    bool confirmed = a.receivePeerShare(b.share(), adB.bytes) && b.receivePeerShare(a.share(), adA.bytes);
    confirmed =
        confirmed && a.verifyPeerConfirmation(b.confirmation()) && b.verifyPeerConfirmation(a.confirmation());
    reachedTheSameKey =
        confirmed && std::memcmp(a.intermediateSessionKey().data(), isk.bytes.data(), 64) == 0;
}

TEST(SecretResidue, ACPaceExchangeLeavesNoCopyOfThePasswordGeneratorScalarsKOrISK) {
    // The generator string's hash, as the exchange computes it.
    std::array<std::uint8_t, SHA512_DIGEST_LENGTH> hash{};
    {
        const std::array<std::uint8_t, 8> dsi{'C', 'P', 'a', 'c', 'e', '2', '5', '5'};
        const TrackpadProtocol::CPace::Bytes generatorString = TrackpadProtocol::CPace::generatorString(
            dsi, prs.bytes, ci.bytes, sid.bytes, TrackpadProtocol::CPace::hashBlockSize);
        SHA512(generatorString.data(), generatorString.size(), hash.data());
    }
    const Residue residue = afterwards(referenceExchange, [&] {
        return std::vector<Pattern>{{"the password", vectorOf(prs.bytes)},
                                    {"the generator string's hash", {hash.begin(), hash.begin() + 32}},
                                    {"the generator", vectorOf(g.bytes)},
                                    {"the initiator's scalar", vectorOf(ya.bytes)},
                                    {"the responder's scalar", vectorOf(yb.bytes)},
                                    {"K", vectorOf(k.bytes)},
                                    {"ISK", vectorOf(isk.bytes)}};
    });
    ASSERT_TRUE(reachedTheSameKey);
    EXPECT_FALSE(residue.overflowed);
    EXPECT_TRUE(residue.found.empty()) << ::testing::PrintToString(residue.found);
}

std::array<char, 6> code{};
std::array<std::uint8_t, 32> token{};
bool paired = false;

[[gnu::noinline]] void wholePairing() {
    auto store = std::make_shared<InMemoryTrustedDeviceStore>();
    PairingCoordinator coordinator(store, "Computer", {}, [] { return std::chrono::system_clock::now(); });
    coordinator.setEventHandler([](const PairingEvent& event) {
        if (const auto* changed = event.as<PairingEvent::PendingPairingChanged>();
            changed && changed->pairing) {
            const auto digits = changed->pairing->code.digits();
            std::copy(digits.begin(), digits.end(), code.begin());
        }
    });
    TrackpadProtocol::Bytes32 exporter{};
    exporter.fill(0x5A);
    const ConnectionID connection{1};
    const PairingCoordinator::ConnectionContext context{TrackpadProtocol::Transport::reliable, exporter};
    TrackpadProtocol::PhonePairing phone(UUID::random(), "Phone", exporter, {});

    auto answer = [&](const Message& message) -> std::optional<TrackpadProtocol::PhonePairing::Event> {
        const PairingCoordinator::Action action = coordinator.decide(connection, message, context);
        const auto* reply = action.as<PairingCoordinator::Action::Reply>();
        return reply ? phone.receive(reply->message) : std::nullopt;
    };
    if (!answer(phone.request())) {
        return;
    }
    const auto typed = TrackpadProtocol::PairingCode::fromDigits(std::string_view(code.data(), code.size()));
    const auto result = answer(phone.respond(*typed));
    if (const auto* succeeded =
            result ? std::get_if<TrackpadProtocol::PhonePairing::Succeeded>(&*result) : nullptr) {
        std::copy(succeeded->token.bytes().begin(), succeeded->token.bytes().end(), token.begin());
        paired = true;
    }
}

TEST(SecretResidue, AWholePairingLeavesNoCopyOfTheCodeOrTheToken) {
#if defined(LUMIVEX_THREAD_SANITIZER)
    // That build lays the stack out differently and finds the token on it; the plain and ASan builds,
    // whose code is the code that ships, search it.
    GTEST_SKIP() << "the dead stack is not searched under ThreadSanitizer";
#endif
    const Residue residue = afterwards(wholePairing, [] {
        return std::vector<Pattern>{{"the code", {code.begin(), code.end()}}, {"the token", vectorOf(token)}};
    });
    ASSERT_TRUE(paired);
    EXPECT_FALSE(residue.overflowed);
    EXPECT_TRUE(residue.found.empty()) << ::testing::PrintToString(residue.found);
}

}  // namespace
}  // namespace CompanionNetwork::tests
