// The benchmarks' driver for whole-process figures of our imaging, so that ours runs as a process of its
// own just as the peers (convert, vipsthumbnail) do:
//   imaging_driver artwork <in> <out.jpg>   the now-playing artwork: 360 px, at most 61440 bytes of JPEG
//   imaging_driver picture <in> <out.raw>   a presentation picture: at most 4096 px, raw BGRA written out
//   imaging_driver --measure <program> <arguments...>   runs the program; prints "seconds peakKiB status"
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "media/now-playing/ArtworkScaler.h"
#include "overlays/presentation-images/PresentationImageDecoder.h"

extern char** environ;

namespace {

std::vector<std::uint8_t> readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool writeFile(const char* path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

int measure(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    int status = -1;
    rusage usage{};
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
        wait4(pid, &status, 0, &usage);
    }
    posix_spawn_file_actions_destroy(&actions);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.6f %ld %d\n", seconds, usage.ru_maxrss, status);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--measure") {
        return measure(argc - 2, argv + 2);
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: imaging_driver artwork|picture <in> <out>\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::vector<std::uint8_t> input = readFile(argv[2]);
    if (mode == "artwork") {
        const auto jpeg = media::ArtworkScaler(360, 61440).scale(input);
        return jpeg && writeFile(argv[3], jpeg->data(), jpeg->size()) ? 0 : 1;
    }
    if (mode == "picture") {
        const auto picture = PresentationImages::PresentationImageDecoder::decode(
            input, PresentationImages::PresentationImageDecoder::maxPixelSize);
        if (!picture) {
            return 1;
        }
        const auto bytes = picture->image.bytes();
        return writeFile(argv[3], bytes.data(), bytes.size()) ? 0 : 1;
    }
    return 2;
}
