// Artwork scaling figures: a 3000 x 3000 JPEG and a 2000 x 1000 PNG made into the phone's artwork
// (360 px, at most 61440 bytes), timed in this process and, for peak memory, in a child of its own;
// next to ImageMagick's `convert -resize` to the same size and quality on the same files.
// Run: artwork_bench [rounds]; `artwork_bench --once <file>` scales one file (the memory child).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "media/NowPlayingReader/ArtworkScaler.h"
#include "platform/imaging/Codecs.h"

extern char** environ;

namespace {

namespace imaging = platform::imaging;
using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A photograph-like picture: smooth gradients with grain, so that neither codec has it easy.
imaging::Bitmap picture(int width, int height) {
    imaging::Bitmap bitmap = *imaging::Bitmap::create(width, height, imaging::PixelFormat::rgba, 1u << 26);
    std::uint8_t* pixels = bitmap.mutablePixels();
    std::uint32_t noise = 99;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1103515245 + 12345;
            const int grain = static_cast<int>((noise >> 27) & 15) - 8;
            std::uint8_t* p = pixels + y * bitmap.stride() + 4 * x;
            p[0] = static_cast<std::uint8_t>(std::clamp(x * 255 / width + grain, 0, 255));
            p[1] = static_cast<std::uint8_t>(std::clamp(y * 255 / height + grain, 0, 255));
            p[2] =
                static_cast<std::uint8_t>(std::clamp((x + y) * 127 / (width + height) + 64 + grain, 0, 255));
            p[3] = 255;
        }
    }
    return bitmap;
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct Run {
    double seconds = 0;
    long peakKiB = 0;
    int status = -1;
};

// Runs a program and reports its wall time and peak resident memory. A child made by posix_spawn
// starts out in its parent's memory, and the kernel keeps that peak across the exec, so the
// measuring parent must itself be small: see --measure.
Run spawnAndWait(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const auto start = Clock::now();
    Run run;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return run;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.peakKiB = usage.ru_maxrss;
    run.status = status;
    return run;
}

// Runs the program through a fresh, small copy of this driver, which measures it.
Run runChild(const std::string& self, std::vector<std::string> argv) {
    std::vector<std::string> measure{self, "--measure"};
    measure.insert(measure.end(), argv.begin(), argv.end());
    std::string command;
    int output[2];
    if (pipe(output) != 0) {
        return {};
    }
    std::vector<char*> args;
    for (auto& a : measure) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    Run run;
    if (failed == 0) {
        char text[128] = {};
        const ssize_t count = read(output[0], text, sizeof text - 1);
        if (count > 0) {
            std::sscanf(text, "%lf %ld %d", &run.seconds, &run.peakKiB, &run.status);
        }
        waitpid(pid, nullptr, 0);
    }
    close(output[0]);
    return run;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--measure") {
        const Run run = spawnAndWait(std::vector<std::string>(argv + 2, argv + argc));
        std::printf("%.6f %ld %d\n", run.seconds, run.peakKiB, run.status);
        return 0;
    }
    const media::ArtworkScaler scaler(360, 61440);
    if (argc == 3 && std::string(argv[1]) == "--once") {
        const auto result = scaler.scale(readFile(argv[2]));
        return result ? 0 : 1;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const auto folder =
        std::filesystem::temp_directory_path() / ("lumivex-artwork-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const auto jpegPath = folder / "square.jpg";
    const auto pngPath = folder / "wide.png";
    writeFile(jpegPath, *imaging::encodeJPEG(picture(3000, 3000).view(), 92));
    writeFile(pngPath, *imaging::encodePNG(picture(2000, 1000).view(), 6));
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const bool haveConvert = std::filesystem::exists("/usr/bin/convert");

    std::printf("peak memory of a program that does nothing (/bin/true), measured the same way: %ld KiB\n",
                runChild(self, {"/bin/true"}).peakKiB);
    std::printf("%-24s %10s %12s %12s %12s %14s\n", "file", "bytes", "ours ms", "ours peak", "convert ms",
                "convert peak");
    for (const auto& path : {jpegPath, pngPath}) {
        const auto data = readFile(path);
        std::vector<double> ours;
        std::size_t outBytes = 0;
        for (int i = 0; i < rounds; ++i) {
            const auto start = Clock::now();
            const auto result = scaler.scale(data);
            ours.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            outBytes = result ? result->size() : 0;
        }
        const Run child = runChild(self, {self, "--once", path.string()});
        double convertMs = 0;
        long convertPeak = 0;
        if (haveConvert) {
            std::vector<double> times;
            for (int i = 0; i < rounds; ++i) {
                // The same work: to 360 px on the longest side, over black, JPEG at quality 80.
                const Run run =
                    runChild(self, {"/usr/bin/convert", path.string(), "-background", "black", "-flatten",
                                    "-resize", "360x360", "-quality", "80", (folder / "out.jpg").string()});
                times.push_back(run.seconds * 1000);
                convertPeak = std::max(convertPeak, run.peakKiB);
            }
            convertMs = median(times);
        }
        std::printf(
            "%-24s %10zu %9.2f ms %8ld KiB %9.2f ms %10ld KiB   (ours as a process %.2f ms; our JPEG %zu "
            "bytes)\n",
            path.filename().c_str(), data.size(), median(ours), child.peakKiB, convertMs, convertPeak,
            child.seconds * 1000, outBytes);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
