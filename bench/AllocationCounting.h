#pragma once
// For a benchmark's own executable only (include it from exactly one file): replaces the global
// operator new so that heap allocations can be counted through `allocationCount`.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace bench_support {
inline std::atomic<std::size_t> allocationCount{0};
}  // namespace bench_support

// The replacements allocate with malloc, so free is their match; GCC cannot see that through the
// replaced operator new and would warn at every inlined delete.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    bench_support::allocationCount.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}
#pragma GCC diagnostic pop
