// The overlays' figures, printed: one annotation frame rendered at 1920x1080 with 50 marks and a
// spotlight; the cost of one pen update at 120 a second (model, scene and drawing) as a share of a core;
// and presentation pictures decoded to the 4096 limit beside ImageMagick's convert on the same files,
// time and peak resident memory, each decode in a child process of its own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QImage>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/overlays/ScenePainting.h"
#include "overlays/Annotations/AnnotationModel.h"
#include "overlays/PresentationImages/PresentationImageDecoder.h"
#include "platform/imaging/Codecs.h"

namespace {

using Clock = std::chrono::steady_clock;
using TrackpadProtocol::Annotation;

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

Annotations::AnnotationModel fiftyMarks() {
    Annotations::AnnotationModel model;
    for (std::uint16_t m = 0; m < 50; ++m) {
        float y = 0.1f + 0.016f * m;
        auto tool = m % 5 == 3   ? TrackpadProtocol::AnnotationTool::arrow
                    : m % 5 == 4 ? TrackpadProtocol::AnnotationTool::box
                                 : TrackpadProtocol::AnnotationTool::pen;
        model.apply({Annotation::Begin{m, tool, {0.05f, y}}}, 0);
        for (std::uint16_t i = 1; i <= 60; ++i) {
            float x = 0.05f + 0.015f * i;
            model.apply({Annotation::Update{m, i, {x, y + 0.01f * std::sin(static_cast<float>(i))}}}, 0);
        }
        model.apply({Annotation::End{m, {0.95f, y}}}, 0);
    }
    model.apply({Annotation::Begin{99, TrackpadProtocol::AnnotationTool::spotlight, {0.3f, 0.3f}}}, 0);
    model.apply({Annotation::End{99, {0.7f, 0.7f}}}, 0);
    return model;
}

void renderFigures() {
    QImage canvas(1920, 1080, QImage::Format_ARGB32_Premultiplied);
    auto model = fiftyMarks();
    const auto style = Annotations::AnnotationStyle::standard;
    const int frames = 60;
    OverlayWindows::AnnotationRenderer renderer(style);
    auto frame = [&](double now) {
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        renderer.paint(painter, model.scene({1920, 1080}, now, style), canvas.rect());
    };
    auto first = Clock::now();
    frame(4.0);
    double firstFrame = std::chrono::duration<double, std::milli>(Clock::now() - first).count();
    auto start = Clock::now();
    for (int i = 0; i < frames; ++i) {
        // A fading drawing builds a new scene every tick.
        frame(4.0 + 0.01 * i);
    }
    double perFrame = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / frames;
    std::printf(
        "annotation frame, 1920x1080, 50 marks of 62 points and a spotlight: %.2f ms each while they fade "
        "(goal < 4 ms); the first frame, rasterising every mark: %.1f ms\n",
        perFrame, firstFrame);

    // A pen stroke drawn at 120 updates a second, each update applied, turned into a scene and drawn.
    Annotations::AnnotationModel stroke;
    stroke.apply({Annotation::Begin{1, TrackpadProtocol::AnnotationTool::pen, {0.1f, 0.5f}}}, 0);
    const int updates = 600;
    OverlayWindows::AnnotationRenderer strokeRenderer(style);
    double cpu = cpuSeconds();
    for (std::uint16_t i = 1; i <= updates; ++i) {
        stroke.apply({Annotation::Update{1, i, {0.1f + 0.0013f * i, 0.5f + 0.1f * std::sin(i * 0.05f)}}},
                     i / 120.0);
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        strokeRenderer.paint(painter, stroke.scene({1920, 1080}, i / 120.0, style), canvas.rect());
    }
    double perUpdate = (cpuSeconds() - cpu) / updates;
    std::printf("pen update at 120/s (apply + scene + draw): %.3f ms each, %.1f%% of one core\n",
                perUpdate * 1e3, perUpdate * 120 * 100);
}

struct Run {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

// Runs `work` in a child; its wall time and the child's peak resident size.
Run inChild(const std::function<bool()>& work) {
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0)
        _exit(work() ? 0 : 1);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return {std::chrono::duration<double>(Clock::now() - start).count(), usage.ru_maxrss,
            WIFEXITED(status) && WEXITSTATUS(status) == 0};
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A photo-like picture: smooth gradients with some texture.
platform::imaging::Bitmap photo(int width, int height) {
    auto bitmap =
        *platform::imaging::Bitmap::create(width, height, platform::imaging::PixelFormat::bgra, 1ull << 28);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = bitmap.mutablePixels() + bitmap.stride() * static_cast<std::size_t>(y);
        for (int x = 0; x < width; ++x) {
            row[4 * x] = static_cast<std::uint8_t>(x * 255 / width);
            row[4 * x + 1] = static_cast<std::uint8_t>(y * 255 / height);
            row[4 * x + 2] = static_cast<std::uint8_t>(128 + 60 * std::sin(x * 0.01) * std::cos(y * 0.013));
            row[4 * x + 3] = 255;
        }
    }
    return bitmap;
}

void decodeFigures() {
    namespace fs = std::filesystem;
    fs::path folder = fs::temp_directory_path() / ("lumivex-overlay-bench-" + std::to_string(getpid()));
    fs::create_directories(folder);
    struct Input {
        std::string name;
        std::string path;
    };
    std::vector<Input> inputs;
    {
        auto small = photo(4000, 3000);
        writeFile(folder / "4000x3000.jpg", *platform::imaging::encodeJPEG(small.view(), 85));
        inputs.push_back({"4000x3000 JPEG", folder / "4000x3000.jpg"});
    }
    {
        auto large = photo(10000, 10000);
        writeFile(folder / "10000x10000.jpg", *platform::imaging::encodeJPEG(large.view(), 85));
        inputs.push_back({"10000x10000 JPEG", folder / "10000x10000.jpg"});
        writeFile(folder / "10000x10000.png", *platform::imaging::encodePNG(large.view(), 1));
        inputs.push_back({"10000x10000 PNG", folder / "10000x10000.png"});
    }
    bool haveConvert = std::system("command -v convert >/dev/null 2>&1") == 0;
    // Debian's ImageMagick policy refuses pictures this large; a private policy lifts its resource caps
    // so that convert does the same work.
    std::ofstream(folder / "policy.xml") << R"(<policymap>
  <policy domain="resource" name="memory" value="8GiB"/>
  <policy domain="resource" name="map" value="8GiB"/>
  <policy domain="resource" name="area" value="1GP"/>
  <policy domain="resource" name="disk" value="16GiB"/>
</policymap>)";
    std::printf("%-18s %12s %14s %16s %12s %14s\n", "picture", "ours (s)", "peak (MiB)", "output bitmap",
                "convert (s)", "peak (MiB)");
    for (const auto& input : inputs) {
        auto bytes = readFile(input.path);
        int width = 0, height = 0;
        if (auto info = platform::imaging::readImageInfo(bytes)) {
            auto size = platform::imaging::fitLongestSide(info->width, info->height, 4096);
            width = size.width;
            height = size.height;
        }
        Run ours = inChild([&] {
            auto picture = PresentationImages::PresentationImageDecoder::decode(bytes, 4096);
            return picture.has_value();
        });
        Run theirs;
        if (haveConvert) {
            std::string command = "MAGICK_CONFIGURE_PATH='" + folder.string() + "' convert '" + input.path +
                                  "' -resize 4096x4096 rgba:/dev/null 2>/dev/null";
            theirs = inChild([&] { return std::system(command.c_str()) == 0; });
        }
        double outputMiB = width * static_cast<double>(height) * 4 / (1 << 20);
        std::printf(
            "%-18s %12.3f %14.1f %9.1f MiB %12s %14s\n", input.name.c_str(), ours.seconds,
            ours.peakKiB / 1024.0, outputMiB,
            haveConvert ? (theirs.ok ? std::to_string(theirs.seconds).substr(0, 6).c_str() : "failed") : "-",
            haveConvert ? std::to_string(theirs.peakKiB / 1024).c_str() : "-");
    }
    std::printf(
        "(peak of the child that decoded, input file bytes included; convert's peak is its own process)\n");
    fs::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    renderFigures();
    decodeFigures();
    return 0;
}
