// The overlays' figures, printed: one annotation frame rendered at 1920x1080 with 50 marks and a
// spotlight; the cost of one pen update at 120 a second (model, scene and drawing) as a share of a core;
// what a hostile phone's drawings cost (a mark far outside the display, 100 and 1,000 display-sized marks,
// a stroke past 20,000 points): peak memory and the longest frame, each case in a child process; and
// presentation pictures decoded to the 4096 limit beside ImageMagick's convert and libvips'
// vipsthumbnail on the same files, whole process against whole process (ours through imaging_driver).
// Run: overlay_bench [rounds] | overlay_bench --drawing-only
#include <sys/resource.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <QApplication>
#include <QWidget>
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
#include <thread>
#include <vector>

#include "app/overlays/OverlayPanels.h"
#include "app/overlays/ScenePainting.h"
#include "bench/ProcessFigures.h"
#include "overlays/annotations/AnnotationModel.h"
#include "overlays/presentation-images/PresentationImageDecoder.h"
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

volatile int keptRects = 0;
void benchmark_keep(int rects) {
    keptRects = rects;
}

long residentKiB() {
    std::ifstream in("/proc/self/statm");
    long size = 0, resident = 0;
    in >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Drives a model through `messages` (one frame after each, at 120 a second), then lets the drawing fade
// and end; prints the longest frame, the peak resident size and what is left once the drawing ended.
// With `shaped`, each frame also computes the region the window is shaped to (no compositor).
void hostileCase(const char* name, const std::vector<Annotation>& messages, bool shaped = false) {
    int pipeFDs[2];
    if (pipe(pipeFDs) != 0)
        return;
    auto run = inChild([&] {
        close(pipeFDs[0]);
        const auto style = Annotations::AnnotationStyle::standard;
        const long before = residentKiB();
        QImage canvas(1920, 1080, QImage::Format_ARGB32_Premultiplied);
        Annotations::AnnotationModel model;
        OverlayWindows::AnnotationRenderer renderer(style);
        renderer.setTracksCoverage(shaped);
        double longest = 0, total = 0;
        int frames = 0;
        auto frame = [&](double now) {
            auto start = Clock::now();
            model.prune(now);
            canvas.fill(Qt::transparent);
            QPainter painter(&canvas);
            auto scene = model.scene({1920, 1080}, now, style);
            renderer.paint(painter, scene, canvas.rect());
            if (shaped)
                benchmark_keep(renderer.coverage(scene).rectCount());
            double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            longest = std::max(longest, ms);
            total += ms;
            ++frames;
        };
        double now = 0;
        // A renderer that falls minutes behind is cut off after 20 s; the line says how far it got.
        auto deadline = Clock::now() + std::chrono::seconds(20);
        std::size_t applied = 0;
        for (const auto& message : messages) {
            if (Clock::now() > deadline)
                break;
            now += 1.0 / 120;
            ++applied;
            if (model.apply(message, now))
                frame(now);
        }
        for (int tick = 0; tick < 300 && !model.isEmpty(); ++tick) {
            now += 1.0 / 60;
            frame(now);
        }
        renderer.reset();
        const long after = residentKiB();
        char line[256];
        int length = std::snprintf(line, sizeof line, "%.1f %.3f %ld %zu", longest,
                                   total / std::max(frames, 1), (after - before) / 1024, applied);
        return write(pipeFDs[1], line, static_cast<std::size_t>(length)) == length;
    });
    close(pipeFDs[1]);
    char buffer[256] = {};
    ssize_t got = read(pipeFDs[0], buffer, sizeof buffer - 1);
    close(pipeFDs[0]);
    double longest = 0, mean = 0;
    long leftMiB = 0;
    std::size_t applied = 0;
    if (got > 0)
        std::sscanf(buffer, "%lf %lf %ld %zu", &longest, &mean, &leftMiB, &applied);
    std::printf("%-36s %9zu/%-7zu %10.1f %10.3f %12.1f %12ld\n", name, applied, messages.size(), longest, mean,
                run.peakKiB / 1024.0, leftMiB);
    std::fflush(stdout);
}

void hostileFigures() {
    using TrackpadProtocol::AnnotationTool;
    std::printf("%-36s %17s %10s %10s %12s %12s\n", "hostile drawing at 1920x1080", "messages applied",
                "longest ms", "mean ms", "peak MiB", "left MiB");
    std::vector<Annotation> hundred;
    hostileCase("one pen mark to (20, 20)", {{Annotation::Begin{1, AnnotationTool::pen, {0.5f, 0.5f}}},
                                             {Annotation::Update{1, 1, {20.0f, 20.0f}}},
                                             {Annotation::End{1, {20.0f, 20.0f}}}});
    for (int count : {100, 1000}) {
        std::vector<Annotation> marks;
        for (int m = 0; m < count; ++m) {
            auto stroke = static_cast<std::uint16_t>(m);
            float offset = 0.001f * static_cast<float>(m % 100);
            auto tool = m % 2 == 0 ? AnnotationTool::pen : AnnotationTool::box;
            marks.push_back({Annotation::Begin{stroke, tool, {0.0f + offset, 0.0f}}});
            marks.push_back({Annotation::Update{stroke, 1, {0.5f, 0.98f - offset}}});
            marks.push_back({Annotation::End{stroke, {1.0f - offset, 1.0f}}});
        }
        std::string name = std::to_string(count) + " display-sized marks";
        hostileCase(name.c_str(), marks);
        if (count == 100)
            hundred = marks;
        if (count == 1000) {
            // Then undoes marks from the middle of the drawing, each forcing what lies below it redrawn.
            for (int m = 400; m < 500; ++m)
                marks.push_back({Annotation::Undo{static_cast<std::uint16_t>(m)}});
            hostileCase("... then 100 undos of older marks", marks);
        }
    }
    std::vector<Annotation> stroke{{Annotation::Begin{1, AnnotationTool::pen, {0.1f, 0.5f}}}};
    for (int i = 1; i <= 25000; ++i) {
        float t = static_cast<float>(i) * 0.0005f;
        stroke.push_back({Annotation::Update{1, static_cast<std::uint16_t>(i),
                                             {0.5f + 0.4f * std::sin(t), 0.5f + 0.4f * std::cos(t * 1.3f)}}});
    }
    stroke.push_back({Annotation::End{1, {0.5f, 0.5f}}});
    hostileCase("a pen stroke of 25,000 points", stroke);
    {
        // A zigzag of 20,000 display-wide segments above 20 small marks, which are then undone one by
        // one: each undo draws the stroke afresh.
        std::vector<Annotation> zigzag;
        for (std::uint16_t m = 0; m < 20; ++m) {
            zigzag.push_back({Annotation::Begin{m, AnnotationTool::box, {0.01f * m, 0.1f}}});
            zigzag.push_back({Annotation::End{m, {0.01f * m + 0.05f, 0.15f}}});
        }
        zigzag.push_back({Annotation::Begin{100, AnnotationTool::pen, {0.05f, 0.2f}}});
        for (int i = 1; i <= 20000; ++i) {
            float y = 0.2f + 0.7f * static_cast<float>(i) / 20000.0f;
            zigzag.push_back({Annotation::Update{100, static_cast<std::uint16_t>(i), {i % 2 ? 0.95f : 0.05f, y}}});
        }
        zigzag.push_back({Annotation::End{100, {0.5f, 0.95f}}});
        zigzag.push_back({Annotation::Begin{101, AnnotationTool::arrow, {0.5f, 0.5f}}});
        zigzag.push_back({Annotation::End{101, {0.6f, 0.6f}}});
        for (std::uint16_t m = 0; m < 20; ++m)
            zigzag.push_back({Annotation::Undo{m}});
        hostileCase("zigzag of 20,000 segments, undos", zigzag);
    }
    hostileCase("the same, shaped (no compositor)", stroke, true);
    hostileCase("100 display-sized marks, shaped", hundred, true);
}

platform::imaging::Bitmap photo(int width, int height);

// 4096x4096 pictures shown over 1920x1080, a new picture or a new placement each time: what the main
// thread spends on each show (the call, handling its result and the repaint it causes) and on a repaint.
void pictureFigures() {
    const PresentationImages::PresentationImagePicture pictures[] = {{photo(4096, 4096), true},
                                                                     {photo(4096, 4096), true}};
    OverlayWindows::PresentationImageOverlay overlay;
    std::vector<double> shows, repaints;
    QImage target(1920, 1080, QImage::Format_ARGB32_Premultiplied);
    for (int round = 0; round < 6; ++round) {
        TrackpadProtocol::PresentationImagePlacement placement{{0.5f, 0.5f}, 0.9f - 0.1f * round, 0.9f - 0.1f * round};
        PresentationImages::PresentationImageFrame frame({4096, 4096}, placement, {1920, 1080});
        auto start = Clock::now();
        overlay.show(pictures[round % 2], frame, {{0, 0}, {1920, 1080}});
        double busy = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        // The result comes back through the event loop: the time spent handling it counts as well.
        const QSize before = overlay.preparedSize();
        for (int i = 0; i < 1000 && overlay.preparedSize() == before; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            auto handling = Clock::now();
            QCoreApplication::processEvents();
            busy += std::chrono::duration<double, std::milli>(Clock::now() - handling).count();
        }
        shows.push_back(busy);
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->winId() != overlay.windowID())
                continue;
            auto paint = Clock::now();
            widget->render(&target);
            repaints.push_back(std::chrono::duration<double, std::milli>(Clock::now() - paint).count());
        }
    }
    std::sort(shows.begin(), shows.end());
    std::sort(repaints.begin(), repaints.end());
    if (repaints.empty())
        return;
    std::printf("picture 4096x4096 at 1920x1080, main thread per show: min %.1f median %.1f max %.1f ms; per "
                "repaint: min %.1f median %.1f max %.1f ms (6 placements)\n",
                shows.front(), shows[shows.size() / 2], shows.back(), repaints.front(),
                repaints[repaints.size() / 2], repaints.back());
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
    QApplication application(argc, argv);
    const bool drawingOnly = argc > 1 && std::string(argv[1]) == "--drawing-only";
    const int rounds = argc > 1 && !drawingOnly ? std::max(5, std::atoi(argv[1])) : 5;
    renderFigures();
    pictureFigures();
    hostileFigures();
    if (!drawingOnly) {
        decodeFigures(rounds);
    }
    return 0;
}
