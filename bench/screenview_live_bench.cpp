// The live view on a private Xvfb (1920x1080), side by side with ffmpeg's x11grab + libx264, each as a
// whole process of its own (ours: this program started again as a stream child), same x264 preset, rate
// control, size and thread count, timed by the parent with wait4:
// - conversion of one grab to I420: ours (BT.709), libswscale (BT.709) and libyuv (BT.601 only), at the
//   same size and scaled to 1280x720, rounds interleaved;
// - 30 and 60 fps streams of a still screen, a screen with small changes (a blinking text cursor and a
//   clock) and moving content (rectangles and a band redrawn 120 times a second): CPU per second and
//   per frame, frames delivered; rounds interleaved, min/median/max;
// - resident memory of a process idle and after three views started and stopped;
// - glass to phone: a window changes colour, a phone test client paired over TLS on loopback receives the
//   parts, reassembles and decodes them (libavcodec) until a frame shows the new colour.
// Every figure block prints the load average: other work on the machine skews CPU figures.
//
//   screenview_live_bench [seconds per stream] [rounds]   (6 and 5 by default)
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

extern "C" {
#include <libswscale/swscale.h>
}
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "network/CompanionListener.h"
#include "network/PairingCoordinator.h"
#include "network/TrustedDevice.h"
#include "screen-view/Bt709Converter.h"
#include "screen-view/DirectoryDisplays.h"
#include "screen-view/FrameConverter.h"
#include "screen-view/H264Encoder.h"
#include "screen-view/ScreenViewHost.h"
#include "screen-view/SystemScreenCaptureSource.h"
#include "screen-view/XScreenGrabber.h"
#include "screen-view/tests/PhoneVideoDecoder.h"
#include "screen-view/tests/ScreenViewFakes.h"
#include "testing/LoopThread.h"
#include "testing/PhoneTestClient.h"
#include "testing/XvfbServer.h"

namespace {

using namespace ScreenView;
using Clock = std::chrono::steady_clock;
using TrackpadProtocol::Message;

constexpr int width = 1920, height = 1080;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

enum class Content { still, blink, moving };
const char* nameOf(Content content) {
    return content == Content::still ? "still" : content == Content::blink ? "blink" : "moving";
}

// Content for both grabbers, in a process of its own so that its CPU counts for neither side: the moving
// picture is 24 rectangles of new colours every 1/120 s over a slowly moving band; the still one is its
// first frame, kept; the blinking one adds a text cursor blinking every 0.53 s and a clock changing every
// second to the still one.
pid_t startAnimator(const std::string& display, Content content) {
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {0x202020, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, width, height - 200, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, window);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window, 0, nullptr);
    std::mt19937 random(11);
    auto fill = [&](std::uint32_t colour, xcb_rectangle_t rect) {
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
        xcb_poly_fill_rectangle(c, window, gc, 1, &rect);
    };
    // 120 ticks a second on absolute deadlines, so that every tick of a 60 fps capture sees new content.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    for (int tick = 0;; ++tick) {
        if (content == Content::moving || tick == 0) {
            for (int i = 0; i < (tick == 0 ? 48 : 24); ++i) {
                const std::uint32_t colour = random() & 0xffffff;
                fill(colour, {static_cast<std::int16_t>(random() % (width - 200)),
                              static_cast<std::int16_t>(random() % (height - 400)), 160, 90});
            }
            fill(0x4080c0 + static_cast<std::uint32_t>(tick % 64),
                 {static_cast<std::int16_t>((tick * 4) % width), 0, 64, height - 200});
        } else if (content == Content::blink) {
            // The cursor every 64 ticks (0.53 s), the clock every 120 (1 s).
            if (tick % 64 == 0) {
                fill((tick / 64) % 2 == 0 ? 0xffffff : 0x202020, {700, 400, 2, 20});
            }
            if (tick % 120 == 0) {
                fill(0x101010 + static_cast<std::uint32_t>((tick / 120) % 200) * 0x010101,
                     {width - 140, 10, 120, 24});
            }
        }
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        deadline.tv_nsec += 8'333'333;
        if (deadline.tv_nsec >= 1'000'000'000) {
            deadline.tv_nsec -= 1'000'000'000;
            deadline.tv_sec += 1;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    }
}

void stopProcess(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

double loadAverage() {
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

struct Spread {
    double min = 0, median = 0, max = 0;
};
Spread spreadOf(const std::vector<double>& values) {
    return {percentile(values, 0), percentile(values, 0.5), percentile(values, 1)};
}

void conversionFigures(const std::string& display, int rounds) {
    XDisplayConnection connection(display);
    XScreenGrabber grabber(connection);
    std::string error;
    if (grabber.grab({0, 0, width, height}, error) != XScreenGrabber::Outcome::grabbed) {
        std::printf("grab failed: %s\n", error.c_str());
        return;
    }
    std::printf(
        "Grab and conversion of one 1920x1080 frame, ms min/median/max of %d rounds (each the median "
        "of 20), interleaved; load %.2f; ours uses %s\n",
        rounds, loadAverage(),
        Bt709Converter::bestInstructions() == Bt709Converter::Instructions::avx2    ? "AVX2"
        : Bt709Converter::bestInstructions() == Bt709Converter::Instructions::ssse3 ? "SSSE3"
                                                                                    : "plain C++");
    std::vector<double> grabs;
    for (int i = 0; i < 100; ++i) {
        const auto start = Clock::now();
        grabber.grab({0, 0, width, height}, error);
        grabs.push_back(since(start));
    }
    std::printf("  grab (MIT-SHM + cursor)  %.2f ms median of 100 (shared memory: %s)\n",
                percentile(grabs, 0.5) * 1e3, grabber.usesSharedMemory() ? "yes" : "no");
    for (auto [outW, outH] : {std::pair{width, height}, std::pair{1280, 720}}) {
        VideoFrame out(outW, outH);
        FrameConverter converter;
        SwsContext* sws = sws_getContext(width, height, AV_PIX_FMT_BGR0, outW, outH, AV_PIX_FMT_YUV420P,
                                         outW < width ? SWS_AREA : SWS_BILINEAR, nullptr, nullptr, nullptr);
        sws_setColorspaceDetails(sws, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                                 sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
        std::vector<std::uint8_t> scaled(static_cast<std::size_t>(outW * outH * 4));
        std::vector<double> ours, swscale, yuv;
        for (int round = 0; round < rounds; ++round) {
            std::vector<double> a, b, c;
            for (int i = 0; i < 20; ++i) {
                auto start = Clock::now();
                converter.convert(grabber.pixels(), grabber.stride(), width, height, out);
                a.push_back(since(start));
                start = Clock::now();
                const std::uint8_t* planes[] = {grabber.pixels()};
                const int strides[] = {grabber.stride()};
                std::uint8_t* targets[] = {out.dataY(), out.dataU(), out.dataV()};
                const int targetStrides[] = {out.strideY(), out.strideUV(), out.strideUV()};
                sws_scale(sws, planes, strides, 0, height, targets, targetStrides);
                b.push_back(since(start));
                start = Clock::now();
                const std::uint8_t* source = grabber.pixels();
                int stride = grabber.stride();
                if (outW != width) {
                    libyuv::ARGBScale(grabber.pixels(), grabber.stride(), width, height, scaled.data(),
                                      outW * 4, outW, outH, libyuv::kFilterBox);
                    source = scaled.data();
                    stride = outW * 4;
                }
                libyuv::ARGBToI420(source, stride, out.dataY(), out.strideY(), out.dataU(), out.strideUV(),
                                   out.dataV(), out.strideUV(), outW, outH);
                c.push_back(since(start));
            }
            ours.push_back(percentile(a, 0.5) * 1e3);
            swscale.push_back(percentile(b, 0.5) * 1e3);
            yuv.push_back(percentile(c, 0.5) * 1e3);
        }
        sws_freeContext(sws);
        const Spread o = spreadOf(ours), w = spreadOf(swscale), y = spreadOf(yuv);
        std::printf(
            "  to %4dx%-4d ours %s %.2f/%.2f/%.2f   libswscale (BT.709, 1 thread) %.2f/%.2f/%.2f   "
            "libyuv (BT.601 only) %.2f/%.2f/%.2f\n",
            outW, outH, outW == width ? "(BT.709)         " : "(libswscale, 4 t)", o.min, o.median, o.max,
            w.min, w.median, w.max, y.min, y.median, y.max);
    }
}

// Times each encode call of the encoders it makes.
class TimingEncoders final : public ScreenVideoEncoderFactory {
  public:
    struct Timed final : ScreenVideoEncoder {
        Timed(std::unique_ptr<ScreenVideoEncoder> inner, TimingEncoders& owner)
            : inner(std::move(inner)), owner(owner) {}
        void encode(std::shared_ptr<const VideoFrame> frame, std::uint64_t timestamp, bool key,
                    Completion completion) override {
            const auto start = Clock::now();
            {
                std::lock_guard lock(owner.mutex);
                owner.captureTimes.push_back(timestamp);
            }
            inner->encode(std::move(frame), timestamp, key, [this, start, completion](EncodeResult result) {
                {
                    std::lock_guard lock(owner.mutex);
                    owner.encodeTimes.push_back(since(start));
                }
                completion(std::move(result));
            });
        }
        void invalidate() override { inner->invalidate(); }
        std::unique_ptr<ScreenVideoEncoder> inner;
        TimingEncoders& owner;
    };
    ScreenVideoCodecs supportedCodecs() const override { return ScreenVideoCodecs::h264; }
    std::unique_ptr<ScreenVideoEncoder> makeEncoder(ScreenVideoCodec codec, int w, int h, int fps) override {
        return std::make_unique<Timed>(real.makeEncoder(codec, w, h, fps), *this);
    }
    VideoToolboxEncoderFactory real;
    std::mutex mutex;
    std::vector<std::uint64_t> captureTimes;
    std::vector<double> encodeTimes;
};

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct StreamFigures {
    double steadyPerSecond = 0;  // ours only: share of one core from 1 s after the start to the end
    int frames = 0;              // frames delivered (ours: handed to send; ffmpeg: encoded)
    double cpuPerSecond = 0;     // share of one core, whole process
    double cpuPerFrame = 0;      // seconds
    double p95Encode = 0;
    double captureToSend = 0;  // p50, from the capture's timestamp to the parts handed to send
};

// The stream child: a view of the display through a screen-view session, `seconds` long from its first
// frame; prints what only it knows on stdout. The parent times it from start to exit, as ffmpeg's run.
int streamChild(const std::string& display, int fps, double seconds) {
    auto source = std::make_shared<SystemScreenCaptureSource>(
        DirectoryDisplays::open(display, std::chrono::seconds(1)), display);
    auto encoders = std::make_shared<TimingEncoders>();
    std::atomic<int> sent{0};
    std::mutex sendMutex;
    std::vector<double> captureToSend;
    auto session = ScreenViewSession::make(
        {source, encoders, std::make_shared<fakes::FakePermission>(), nullptr},
        ScreenViewSession::Configuration(2, 0.85),
        [&](ScreenViewSession::Messages messages, std::function<void()> completion) {
            TrackpadProtocol::ScreenDataAssembler assembler;
            for (const auto& message : messages) {
                if (const auto* video = message.as<Message::ScreenVideo>()) {
                    if (auto document = assembler.add(video->part)) {
                        const auto frame = TrackpadProtocol::ScreenVideoFrame::decode(*document);
                        const double now = platform::monotonicSeconds();
                        sent += 1;
                        std::lock_guard lock(sendMutex);
                        captureToSend.push_back(now - static_cast<double>(frame.timestamp) / 1e6);
                    }
                }
            }
            completion();
        },
        ScreenViewSession::Environment{});
    const std::uint32_t id = source->displays().at(0).id;
    session->handle(
        Message::ScreenViewStart{{id, 1920, static_cast<std::uint8_t>(fps), ScreenVideoCodecs::h264}});
    // `seconds` of stream from its first frame, as ffmpeg's -t gives `seconds` of output after its start.
    const auto begun = Clock::now();
    while (sent.load() == 0 && since(begun) < 2) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    const auto start = Clock::now();
    // What the view costs once running, without the process's and the encoder's start: from 1 s on.
    std::this_thread::sleep_until(start + std::chrono::seconds(1));
    const double cpuAtOneSecond = processCpuSeconds();
    std::this_thread::sleep_until(
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
    const double steady = (processCpuSeconds() - cpuAtOneSecond) / (since(start) - 1);
    session->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard lock(encoders->mutex);
    std::lock_guard sendLock(sendMutex);
    std::printf("%d %.6f %.6f %.6f\n", sent.load(), percentile(encoders->encodeTimes, 0.95),
                percentile(captureToSend, 0.5), steady);
    std::fflush(stdout);
    return 0;
}
// Runs `argv` to its end; its CPU (user + system, itself and what it waited for) and its stdout.
std::pair<double, std::string> runTimed(std::vector<std::string> argv, const std::string& errorLog = {}) {
    int out[2];
    if (pipe(out) != 0) {
        return {0, {}};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        if (!errorLog.empty()) {
            freopen(errorLog.c_str(), "w", stderr);
        }
        std::vector<char*> args;
        for (auto& arg : argv) {
            args.push_back(arg.data());
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return {cpu, text};
}

StreamFigures ourStream(const std::string& display, int fps, double seconds) {
    const auto [cpu, text] =
        runTimed({"/proc/self/exe", "--stream", display, std::to_string(fps), std::to_string(seconds)});
    StreamFigures figures;
    std::sscanf(text.c_str(), "%d %lf %lf %lf", &figures.frames, &figures.p95Encode, &figures.captureToSend,
                &figures.steadyPerSecond);
    figures.cpuPerSecond = cpu / seconds;
    figures.cpuPerFrame = figures.frames > 0 ? cpu / figures.frames : 0;
    return figures;
}

StreamFigures ffmpegStream(const std::string& display, int fps, double seconds) {
    const long rate = H264Encoder::bitRate(width, height, fps);
    const std::string log = "/tmp/screenview-ffmpeg-" + std::to_string(getpid()) + ".log";
    const std::string r = std::to_string(rate), buffer = std::to_string(rate / 4);
    const std::string f = std::to_string(fps), g = std::to_string(30 * fps), t = std::to_string(seconds);
    // The encoder gets the threads ours has (-threads after the input is the encoder's).
    const auto [cpu, ignored] = runTimed({"ffmpeg",
                                          "-nostdin",
                                          "-hide_banner",
                                          "-loglevel",
                                          "info",
                                          "-f",
                                          "x11grab",
                                          "-draw_mouse",
                                          "1",
                                          "-framerate",
                                          f,
                                          "-video_size",
                                          "1920x1080",
                                          "-i",
                                          display,
                                          "-t",
                                          t,
                                          "-vf",
                                          "scale=out_color_matrix=bt709:out_range=tv,format=yuv420p",
                                          "-c:v",
                                          "libx264",
                                          "-preset",
                                          H264Encoder::preset,
                                          "-tune",
                                          "zerolatency",
                                          "-bf",
                                          "0",
                                          "-g",
                                          g,
                                          "-b:v",
                                          r,
                                          "-maxrate",
                                          r,
                                          "-bufsize",
                                          buffer,
                                          "-threads",
                                          std::to_string(H264Encoder::threadCount()),
                                          "-f",
                                          "null",
                                          "-"},
                                         log);
    (void)ignored;
    StreamFigures figures;
    // The last "frame=" of its progress lines.
    std::ifstream in(log);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto at = text.rfind("frame=");
    if (at != std::string::npos) {
        figures.frames = std::atoi(text.c_str() + at + 6 + text.substr(at + 6).find_first_not_of(' '));
    }
    std::remove(log.c_str());
    figures.cpuPerSecond = cpu / seconds;
    figures.cpuPerFrame = figures.frames > 0 ? cpu / figures.frames : 0;
    return figures;
}

void streamFigures(const std::string& display, double seconds, int rounds) {
    std::printf(
        "\nStreams of 1920x1080 (x264 preset %s, zerolatency, ABR with VBV at the stream's bit rate, %d "
        "encoder threads each), %.0f s each, whole processes, %d interleaved rounds; load %.2f\n",
        H264Encoder::preset, H264Encoder::threadCount(), seconds, rounds, loadAverage());
    std::map<std::string, std::vector<StreamFigures>> results;
    for (int round = 0; round < rounds; ++round) {
        for (Content content : {Content::still, Content::blink, Content::moving}) {
            const pid_t animator = startAnimator(display, content);
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            for (int fps : {30, 60}) {
                const std::string key = std::string(nameOf(content)) + " " + std::to_string(fps);
                for (int side = 0; side < 2; ++side) {
                    if ((side == 0) == (round % 2 == 0)) {
                        results["ours " + key].push_back(ourStream(display, fps, seconds));
                    } else {
                        results["ffmpeg " + key].push_back(ffmpegStream(display, fps, seconds));
                    }
                }
            }
            stopProcess(animator);
        }
    }
    std::printf("  %-7s %-4s %-7s %-20s %-22s %-16s %s\n", "content", "fps", "who", "% of a core",
                "CPU ms/frame", "frames", "ours: p95 encode, capture->send; % of a core from 1 s on");
    for (Content content : {Content::still, Content::blink, Content::moving}) {
        for (int fps : {30, 60}) {
            const std::string key = std::string(nameOf(content)) + " " + std::to_string(fps);
            std::map<std::string, double> medians;
            for (const std::string who : {"ours", "ffmpeg"}) {
                std::vector<double> core, perFrame, frames, encode, latency, steady;
                for (const StreamFigures& f : results[who + " " + key]) {
                    core.push_back(f.cpuPerSecond * 100);
                    perFrame.push_back(f.cpuPerFrame * 1e3);
                    frames.push_back(f.frames);
                    encode.push_back(f.p95Encode * 1e3);
                    latency.push_back(f.captureToSend * 1e3);
                    steady.push_back(f.steadyPerSecond * 100);
                }
                const Spread c = spreadOf(core), p = spreadOf(perFrame), n = spreadOf(frames);
                medians[who + " frame"] = p.median;
                medians[who + " frames"] = n.median;
                medians[who + " core"] = c.median;
                char extra[128] = "";
                if (who == "ours") {
                    const Spread r = spreadOf(steady);
                    std::snprintf(extra, sizeof extra, "%.2f ms, %.2f ms; running %.1f/%.1f/%.1f %%",
                                  percentile(encode, 0.5), percentile(latency, 0.5), r.min, r.median, r.max);
                }
                std::printf(
                    "  %-7s %-4d %-7s %5.1f/%5.1f/%5.1f    %6.2f/%6.2f/%6.2f   %4.0f/%4.0f/%4.0f   %s\n",
                    nameOf(content), fps, who.c_str(), c.min, c.median, c.max, p.min, p.median, p.max, n.min,
                    n.median, n.max, extra);
            }
            std::printf("  %-7s %-4d ours/ffmpeg medians: CPU %.3fx, CPU per frame %.3fx, frames %.3fx\n",
                        nameOf(content), fps, medians["ours core"] / medians["ffmpeg core"],
                        medians["ours frame"] / medians["ffmpeg frame"],
                        medians["ours frames"] / medians["ffmpeg frames"]);
        }
    }
    std::printf("  load at the end %.2f\n", loadAverage());
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

// The memory child: resident memory once the view machinery is set up, then after three views of
// `seconds` each, started and stopped through one session.
int memoryChild(const std::string& display, double seconds) {
    auto source = std::make_shared<SystemScreenCaptureSource>(
        DirectoryDisplays::open(display, std::chrono::seconds(1)), display);
    auto session = ScreenViewSession::make(
        {source, std::make_shared<VideoToolboxEncoderFactory>(), std::make_shared<fakes::FakePermission>(),
         nullptr},
        ScreenViewSession::Configuration(2, 0.85),
        [](ScreenViewSession::Messages, std::function<void()> completion) { completion(); },
        ScreenViewSession::Environment{});
    const std::uint32_t id = source->displays().at(0).id;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long idle = residentKiB();
    long peak = 0;
    for (int view = 0; view < 3; ++view) {
        session->handle(Message::ScreenViewStart{{id, 1920, 30, ScreenVideoCodecs::h264}});
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        peak = std::max(peak, residentKiB());
        session->handle(Message::ScreenViewStop{});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("%ld %ld %ld\n", idle, peak, residentKiB());
    session->stop();
    return 0;
}

void memoryFigures(const std::string& display, int rounds) {
    std::printf(
        "\nResident memory of a process with a screen-view session (moving content, 1920x1080 at 30 fps, "
        "3 views of 2 s), MiB min/median/max of %d processes; load %.2f\n",
        rounds, loadAverage());
    const pid_t animator = startAnimator(display, Content::moving);
    std::vector<double> idle, peak, after, above;
    for (int round = 0; round < rounds; ++round) {
        const auto [cpu, text] = runTimed({"/proc/self/exe", "--memory", display, "2"});
        (void)cpu;
        long i = 0, p = 0, a = 0;
        std::sscanf(text.c_str(), "%ld %ld %ld", &i, &p, &a);
        idle.push_back(i / 1024.0), peak.push_back(p / 1024.0), after.push_back(a / 1024.0);
        above.push_back((a - i) / 1024.0);
    }
    stopProcess(animator);
    for (auto [name, values] : {std::pair{"idle", &idle}, std::pair{"during a view", &peak},
                                std::pair{"after three views", &after}, std::pair{"after - idle", &above}}) {
        const Spread s = spreadOf(*values);
        std::printf("  %-18s %6.1f/%6.1f/%6.1f\n", name, s.min, s.median, s.max);
    }
}

// A window whose colour the glass-to-phone run changes.
class Marker {
  public:
    explicit Marker(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        window_ = xcb_generate_id(c_);
        const std::uint32_t values[] = {0xff0000, 1};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, 100, height - 180, 300, 160, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c_, window_);
        set(0xff0000);
    }
    ~Marker() { xcb_disconnect(c_); }
    void set(std::uint32_t rgb) {
        xcb_change_window_attributes(c_, window_, XCB_CW_BACK_PIXEL, &rgb);
        xcb_clear_area(c_, 0, window_, 0, 0, 0, 0);
        std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    }

  private:
    xcb_connection_t* c_;
    xcb_window_t window_ = 0;
};

void glassToPhone(const std::string& display, int rounds) {
    testing_support::LoopThread loop;
    auto store = std::make_shared<CompanionNetwork::InMemoryTrustedDeviceStore>();
    auto coordinator = std::make_shared<CompanionNetwork::PairingCoordinator>(
        store, "Bench Computer", CompanionNetwork::PairingCoordinator::Configuration{},
        [] { return std::chrono::system_clock::now(); });
    std::mutex mutex;
    std::optional<std::string> code;
    coordinator->setEventHandler([&](const CompanionNetwork::PairingEvent& event) {
        if (const auto* changed = event.as<CompanionNetwork::PairingEvent::PendingPairingChanged>()) {
            std::lock_guard lock(mutex);
            code =
                changed->pairing ? std::optional<std::string>(changed->pairing->code.digits()) : std::nullopt;
        }
    });
    auto host = std::make_shared<ScreenViewHost<CompanionNetwork::ConnectionID>>(
        std::make_shared<SystemScreenCaptureSource>(DirectoryDisplays::open(display, std::chrono::seconds(1)),
                                                    display),
        std::make_shared<VideoToolboxEncoderFactory>(), std::make_shared<fakes::FakePermission>(),
        ScreenViewSession::Configuration(2, 0.85));
    std::optional<CompanionNetwork::CompanionListener::Details> details;
    CompanionNetwork::CompanionListener::Configuration configuration;
    configuration.serviceName = "Bench Computer";
    configuration.loopbackOnly = true;
    configuration.wakeAddresses.clear();
    auto listener = std::make_unique<CompanionNetwork::CompanionListener>(
        coordinator, configuration, loop.loop(), [](const Message&, const TrackpadProtocol::UUID&) {},
        nullptr,
        [&](const CompanionNetwork::CompanionListener::State& state) {
            if (const auto* ready = state.as<CompanionNetwork::CompanionListener::State::Ready>()) {
                std::lock_guard lock(mutex);
                details = ready->details;
            }
        },
        nullptr,
        [host](const Message& message, const CompanionNetwork::ScreenViewLink& link) {
            host->handle(message, link.connection, link.send);
        },
        [host](CompanionNetwork::ConnectionID connection) { host->endSession(connection); }, nullptr,
        nullptr);
    listener->start();
    testing_support::eventually([&] {
        std::lock_guard lock(mutex);
        return details.has_value();
    });
    testing_support::PhoneTestClient phone({"127.0.0.1", details->tcpPort, details->udpPort}, "Bench iPhone");
    phone.connect();
    phone.requestPairing();
    std::string digits;
    testing_support::eventually([&] {
        std::lock_guard lock(mutex);
        digits = code.value_or("");
        return !digits.empty();
    });
    phone.enterCode(digits);
    phone.disconnect();
    phone.connect();
    phone.openSession();
    phone.send(Message::ScreenDisplaysRequest{});
    const auto displays = phone.receiveCase<Message::ScreenDisplays>(5);
    Marker marker(display);
    std::printf(
        "\nGlass to phone: a window changes colour -> the phone holds a decoded frame showing it "
        "(%d changes, TLS on loopback)\n",
        rounds);
    for (int fps : {30, 60}) {
        fakes::PhoneVideoDecoder decoder;
        phone.send(Message::ScreenViewStart{
            {displays->displays.at(0).id, 1920, static_cast<std::uint8_t>(fps), ScreenVideoCodecs::h264}});
        std::vector<double> latencies, toCapture, decodeTimes;
        std::mt19937 jitter(static_cast<unsigned>(fps));
        bool red = true;
        const auto drainFor = [&](double seconds) {
            const auto until = Clock::now() + std::chrono::duration<double>(seconds);
            while (Clock::now() < until) {
                if (auto message = phone.receive(0.05)) {
                    decoder.add(*message);
                }
            }
        };
        drainFor(1.0);
        for (int round = 0; round < rounds; ++round) {
            red = !red;
            const auto start = Clock::now();
            const double startMicros = static_cast<double>(
                std::chrono::duration_cast<std::chrono::microseconds>(start.time_since_epoch()).count());
            marker.set(red ? 0xff0000 : 0x0000ff);
            while (since(start) < 3) {
                auto message = phone.receive(1);
                if (!message) {
                    continue;
                }
                const auto decodeStart = Clock::now();
                if (auto picture = decoder.add(*message)) {
                    decodeTimes.push_back(since(decodeStart));
                    // BT.709 limited: red is Cb 102, Cr 240; blue is Cb 240, Cr 118. A frame shows the new
                    // colour once its pixel is nearer to it than to the old one.
                    const auto yuv = picture->at(250, height - 100);
                    if ((red && yuv.v > yuv.u) || (!red && yuv.u > yuv.v)) {
                        latencies.push_back(since(start));
                        toCapture.push_back((static_cast<double>(picture->timestamp) - startMicros) / 1e6);
                        break;
                    }
                }
            }
            // A pause of no fixed relation to the frame interval, so that changes fall at every phase of it.
            drainFor(0.1 + 0.001 * static_cast<double>(jitter() % 97));
        }
        phone.send(Message::ScreenViewStop{});
        drainFor(0.5);
        std::printf(
            "  %d fps: p50 %.1f ms, p95 %.1f ms, max %.1f ms over %zu changes (goal: p50 < %.1f ms); "
            "change to capture of the frame shown: p50 %.1f ms, phone's decode p50 %.1f ms\n",
            fps, percentile(latencies, 0.5) * 1e3, percentile(latencies, 0.95) * 1e3,
            percentile(latencies, 1.0) * 1e3, latencies.size(), 2000.0 / fps,
            percentile(toCapture, 0.5) * 1e3, percentile(decodeTimes, 0.5) * 1e3);
    }
    phone.disconnect();
    listener->stop();
    host->stopAll();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--stream") {
        return streamChild(argv[2], std::atoi(argv[3]), std::atof(argv[4]));
    }
    if (argc == 4 && std::string(argv[1]) == "--memory") {
        return memoryChild(argv[2], std::atof(argv[3]));
    }
    const double seconds = argc > 1 ? std::max(std::atof(argv[1]), 1.0) : 6.0;
    const int rounds = argc > 2 ? std::max(std::atoi(argv[2]), 1) : 5;
    testing_support::XvfbServer::Options options;
    options.width = width;
    options.height = height;
    testing_support::XvfbServer server(options);
    {
        const pid_t animator = startAnimator(server.displayName(), Content::moving);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        conversionFigures(server.displayName(), std::max(rounds, 5));
        stopProcess(animator);
    }
    streamFigures(server.displayName(), seconds, rounds);
    memoryFigures(server.displayName(), rounds);
    const pid_t animator = startAnimator(server.displayName(), Content::moving);
    glassToPhone(server.displayName(), 30);
    stopProcess(animator);
    return 0;
}
