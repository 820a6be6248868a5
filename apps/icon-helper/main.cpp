// The icon helper program: see apps/IconRenderer.h for its protocol.
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "apps/IconImages.h"
#include "apps/IconRenderer.h"
#include "apps/icon-helper/Rasterize.h"

// The sanitizers' shadow memory is reserved as address space: far more than the bound allows.
#if defined(LUMIVEX_ADDRESS_SANITIZER) || defined(LUMIVEX_THREAD_SANITIZER)
#define LUMIVEX_SANITIZED 1
#endif

namespace {

void limit(int resource, rlim_t value) {
    const rlimit bound{value, value};
    ::setrlimit(resource, &bound);
}

// The limits hold before any byte of the file is read. The address-space bound cannot coexist with a
// sanitizer's shadow memory, so sanitized builds go without it.
void limitSelf() {
#if !defined(LUMIVEX_SANITIZED) && !defined(LUMIVEX_NO_ADDRESS_LIMIT)
    limit(RLIMIT_AS, Apps::IconHelperLimits::addressSpaceBytes);
#endif
    limit(RLIMIT_CPU, Apps::IconHelperLimits::cpuSeconds);
    limit(RLIMIT_CORE, 0);
    // Nothing is ever written to a file: no temporary copy of the data, no cache. A library that tries
    // sees the write fail rather than the helper end.
    limit(RLIMIT_FSIZE, 0);
    ::signal(SIGXFSZ, SIG_IGN);
    // One arena and one drawing thread: memory reserved per thread would otherwise eat the address space.
    ::mallopt(M_ARENA_MAX, 1);
    ::setenv("RAYON_NUM_THREADS", "1", 1);
}

bool readAll(std::vector<std::uint8_t>& bytes) {
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        if (bytes.size() + static_cast<std::size_t>(count) > Apps::maxIconFileBytes) {
            return false;
        }
        bytes.insert(bytes.end(), chunk, chunk + count);
    }
}

bool writeAll(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t count = ::write(STDOUT_FILENO, data, size);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        data += count;
        size -= static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    limitSelf();
    if (argc != 2) {
        return 2;
    }
    char* end = nullptr;
    const long side = std::strtol(argv[1], &end, 10);
    if (end == argv[1] || *end != '\0' || side < 1 || side > Apps::maxIconSide) {
        return 2;
    }
    std::vector<std::uint8_t> bytes;
    if (!readAll(bytes) || bytes.empty()) {
        return 3;
    }
    const std::string_view head(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::optional<Apps::IconHelper::Raster> raster;
    if (head.starts_with("/* XPM */")) {
        raster = Apps::IconHelper::rasterizeXPM(bytes, static_cast<int>(side));
    } else {
        raster = Apps::IconHelper::rasterizeSVG(bytes, static_cast<int>(side));
    }
    if (!raster) {
        return 4;
    }
    std::uint8_t header[8];
    for (int i = 0; i < 4; ++i) {
        header[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(raster->width) >> (8 * i));
        header[4 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(raster->height) >> (8 * i));
    }
    return writeAll(header, sizeof header) && writeAll(raster->rgba.data(), raster->rgba.size()) ? 0 : 5;
}
