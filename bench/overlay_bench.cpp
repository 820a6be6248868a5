// The overlays' figures, printed: one annotation frame rendered at 1920x1080 with 50 marks and a
// spotlight; the cost of one pen update at 120 a second (model, scene and drawing) as a share of a core;
// and presentation pictures decoded to the 4096 limit beside ImageMagick's convert and libvips'
// vipsthumbnail on the same files, whole process against whole process (ours through imaging_driver).
// Run: overlay_bench [rounds]
#include <turbojpeg.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QImage>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/overlays/ScenePainting.h"
#include "bench/ProcessFigures.h"
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

void decodeFigures(int rounds) {
    namespace fs = std::filesystem;
    using bench_figures::Series;
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
        // The same picture as a progressive JPEG: its coefficients alone exceed a decode's budget.
        tjhandle handle = tjInitCompress();
        unsigned char* out = nullptr;
        unsigned long size = 0;
        if (tjCompress2(handle, large.pixels(), large.width(), static_cast<int>(large.stride()), large.height(),
                        TJPF_BGRA, &out, &size, TJSAMP_420, 85, TJFLAG_PROGRESSIVE) == 0) {
            writeFile(folder / "10000x10000-progressive.jpg", std::vector<std::uint8_t>(out, out + size));
            inputs.push_back({"10000x10000 prog.", folder / "10000x10000-progressive.jpg"});
        }
        tjFree(out);
        tjDestroy(handle);
    }
    const std::string driver = LUMIVEX_IMAGING_DRIVER;
    const std::string convert = "/usr/bin/convert";
    const std::string vips = "/usr/bin/vipsthumbnail";
    const bool haveConvert = access(convert.c_str(), X_OK) == 0;
    const bool haveVips = access(vips.c_str(), X_OK) == 0;
    // Debian's ImageMagick policy refuses pictures this large; a private policy lifts its resource caps
    // so that convert does the same work. Every side decodes on one thread, as ours does.
    std::ofstream(folder / "policy.xml") << R"(<policymap>
  <policy domain="resource" name="memory" value="8GiB"/>
  <policy domain="resource" name="map" value="8GiB"/>
  <policy domain="resource" name="area" value="1GP"/>
  <policy domain="resource" name="disk" value="16GiB"/>
</policymap>)";
    setenv("MAGICK_CONFIGURE_PATH", folder.c_str(), 1);
    setenv("MAGICK_THREAD_LIMIT", "1", 1);
    setenv("OMP_NUM_THREADS", "1", 1);
    setenv("VIPS_CONCURRENCY", "1", 1);
    std::printf("presentation pictures to at most 4096 px, raw pixels written out; %d interleaved rounds, each "
                "side a whole process; time and peak RSS as min/median/max\n",
                rounds);
    std::printf("load average before: %s\n", bench_figures::loadAverage().c_str());
    for (const auto& input : inputs) {
        Series ours, theirs, thumb;
        const std::string oursOut = (folder / "ours.raw").string();
        const std::string convertOut = "rgba:" + (folder / "convert.rgba").string();
        const std::string vipsOut = (folder / "vips.v").string();
        for (int round = 0; round < rounds; ++round) {
            ours.add(bench_figures::measured(driver, {driver, "picture", input.path, oursOut}));
            if (haveConvert) {
                theirs.add(bench_figures::measured(
                    driver, {convert, "-define", "jpeg:size=4096x4096", input.path, "-resize", "4096x4096>",
                             convertOut}));
            }
            if (haveVips) {
                thumb.add(bench_figures::measured(driver, {vips, input.path, "--size", "4096x4096>", "-o", vipsOut}));
            }
        }
        std::printf("%s (%ju bytes)\n", input.name.c_str(), static_cast<std::uintmax_t>(fs::file_size(input.path)));
        std::printf("  ours          %s\n", ours.text().c_str());
        if (haveConvert) {
            std::printf("  convert       %s   ours/convert median time %.2f\n", theirs.text().c_str(),
                        ours.medianMs() / std::max(theirs.medianMs(), 1e-9));
        }
        if (haveVips) {
            std::printf("  vipsthumbnail %s   ours/vips median time %.2f\n", thumb.text().c_str(),
                        ours.medianMs() / std::max(thumb.medianMs(), 1e-9));
        }
    }
    std::printf("convert: -define jpeg:size=4096x4096 IN -resize '4096x4096>' rgba:OUT; vipsthumbnail: IN --size "
                "'4096x4096>' -o OUT.v; MAGICK_THREAD_LIMIT=1 VIPS_CONCURRENCY=1. A failed side is a refusal "
                "(ours refuses a progressive file whose coefficients exceed its 64 MiB budget).\n");
    std::printf("load average after: %s\n", bench_figures::loadAverage().c_str());
    fs::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 5;
    renderFigures();
    decodeFigures(rounds);
    return 0;
}
