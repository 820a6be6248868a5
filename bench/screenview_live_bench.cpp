// The live view on a private Xvfb (1920x1080) whose content changes 60 times a second, side by side with
// ffmpeg's x11grab + libx264 on the same content:
// - conversion of one grab to I420 with libswscale (BT.709, what we use) and libyuv (whose ARGB to I420 is
//   BT.601 only), at the same size and scaled to 1280x720;
// - grab + convert and encode per frame at 1920x1080;
// - 30 and 60 fps streams through a screen-view session: CPU per second and per frame, mean frame interval,
//   p95 encode time; ffmpeg with the same preset, rate control and size;
// - glass to phone: a window changes colour, a phone test client paired over TLS on loopback receives the
//   parts, reassembles and decodes them (libavcodec) until a frame shows the new colour.
//
//   screenview_live_bench [seconds per stream]   (10 by default)
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ScreenView/FrameConverter.h"
#include "ScreenView/H264Encoder.h"
#include "ScreenView/ScreenViewHost.h"
#include "ScreenView/SystemScreenCaptureSource.h"
#include "ScreenView/XScreenGrabber.h"
#include "ScreenView/tests/PhoneVideoDecoder.h"
#include "ScreenView/tests/ScreenViewFakes.h"
#include "network/CompanionListener.h"
#include "network/PairingCoordinator.h"
#include "network/TrustedDevice.h"
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

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Content for both grabbers: 48 rectangles of new colours every 1/60 s over a slowly moving band, in a
// process of its own so that its CPU counts for neither side.
pid_t startAnimator(const std::string& display) {
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
    for (int tick = 0;; ++tick) {
        for (int i = 0; i < 48; ++i) {
            const std::uint32_t colour = random() & 0xffffff;
            xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
            const xcb_rectangle_t rect{static_cast<std::int16_t>(random() % (width - 200)),
                                       static_cast<std::int16_t>(random() % (height - 400)), 160, 90};
            xcb_poly_fill_rectangle(c, window, gc, 1, &rect);
        }
        const std::uint32_t band = 0x4080c0 + static_cast<std::uint32_t>(tick % 64);
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &band);
        const xcb_rectangle_t moving{static_cast<std::int16_t>((tick * 8) % width), 0, 64, height - 200};
        xcb_poly_fill_rectangle(c, window, gc, 1, &moving);
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        usleep(16667);
    }
}

void conversionFigures(const std::string& display) {
    XDisplayConnection connection(display);
    XScreenGrabber grabber(connection);
    std::string error;
    if (grabber.grab({0, 0, width, height}, error) != XScreenGrabber::Outcome::grabbed) {
        std::printf("grab failed: %s\n", error.c_str());
        return;
    }
    std::printf("Grab and conversion of one 1920x1080 frame (median of 100, shared memory: %s)\n",
                grabber.usesSharedMemory() ? "yes" : "no");
    std::vector<double> grabs;
    for (int i = 0; i < 100; ++i) {
        const auto start = Clock::now();
        grabber.grab({0, 0, width, height}, error);
        grabs.push_back(since(start));
    }
    std::printf("  grab (MIT-SHM + cursor)                 %7.2f ms\n", percentile(grabs, 0.5) * 1e3);
    for (auto [outW, outH] : {std::pair{width, height}, std::pair{1280, 720}}) {
        VideoFrame out(outW, outH);
        FrameConverter converter;
        std::vector<double> sws, yuv;
        std::vector<std::uint8_t> scaled(static_cast<std::size_t>(outW * outH * 4));
        for (int i = 0; i < 100; ++i) {
            auto start = Clock::now();
            converter.convert(grabber.pixels(), grabber.stride(), width, height, out);
            sws.push_back(since(start));
            start = Clock::now();
            const std::uint8_t* source = grabber.pixels();
            int stride = grabber.stride();
            if (outW != width) {
                libyuv::ARGBScale(grabber.pixels(), grabber.stride(), width, height, scaled.data(), outW * 4,
                                  outW, outH, libyuv::kFilterBox);
                source = scaled.data();
                stride = outW * 4;
            }
            libyuv::ARGBToI420(source, stride, out.dataY(), out.strideY(), out.dataU(), out.strideUV(),
                               out.dataV(), out.strideUV(), outW, outH);
            yuv.push_back(since(start));
        }
        std::printf("  to %4dx%-4d libswscale (BT.709) %7.2f ms   libyuv (BT.601 only) %7.2f ms\n", outW,
                    outH, percentile(sws, 0.5) * 1e3, percentile(yuv, 0.5) * 1e3);
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

struct StreamFigures {
    int frames = 0;
    double cpuPerSecond = 0;  // share of one core
    double cpuPerFrame = 0;   // seconds
    double meanInterval = 0;
    double p95Encode = 0;
    double captureToSend = 0;  // p50, from the capture's timestamp to the parts handed to send
};

StreamFigures ourStream(const std::string& display, int fps, double seconds) {
    auto source = std::make_shared<SystemScreenCaptureSource>(display);
    auto encoders = std::make_shared<TimingEncoders>();
    std::atomic<int> sent{0};
    std::mutex sendMutex;
    std::vector<double> captureToSend;
    fakes::PhoneVideoDecoder decoder;
    auto session = ScreenViewSession::make(
        {source, encoders, std::make_shared<fakes::FakePermission>(), nullptr},
        ScreenViewSession::Configuration(2, 0.85),
        [&](ScreenViewSession::Messages messages, std::function<void()> completion) {
            sent += 1;
            TrackpadProtocol::ScreenDataAssembler assembler;
            for (const auto& message : messages) {
                if (const auto* video = message.as<Message::ScreenVideo>()) {
                    if (auto document = assembler.add(video->part)) {
                        const auto frame = TrackpadProtocol::ScreenVideoFrame::decode(*document);
                        const double now = platform::monotonicSeconds();
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
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // warm-up
    {
        std::lock_guard lock(encoders->mutex);
        encoders->captureTimes.clear();
        encoders->encodeTimes.clear();
    }
    const double cpuStart = cpuSeconds(RUSAGE_SELF);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = cpuSeconds(RUSAGE_SELF) - cpuStart;
    const double wall = since(start);
    session->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::lock_guard lock(encoders->mutex);
    StreamFigures figures;
    figures.frames = static_cast<int>(encoders->captureTimes.size());
    figures.cpuPerSecond = cpu / wall;
    figures.cpuPerFrame = figures.frames > 0 ? cpu / figures.frames : 0;
    if (figures.frames > 1) {
        figures.meanInterval =
            static_cast<double>(encoders->captureTimes.back() - encoders->captureTimes.front()) / 1e6 /
            (figures.frames - 1);
    }
    figures.p95Encode = percentile(encoders->encodeTimes, 0.95);
    std::lock_guard sendLock(sendMutex);
    figures.captureToSend = percentile(captureToSend, 0.5);
    return figures;
}

StreamFigures ffmpegStream(const std::string& display, int fps, double seconds) {
    const long rate = H264Encoder::bitRate(width, height, fps);
    const std::string log = "/tmp/screenview-ffmpeg-" + std::to_string(getpid()) + ".log";
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string r = std::to_string(rate), buffer = std::to_string(rate / 4);
        const std::string f = std::to_string(fps), g = std::to_string(30 * fps), t = std::to_string(seconds);
        freopen(log.c_str(), "w", stderr);
        execlp("ffmpeg", "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "info", "-f", "x11grab",
               "-draw_mouse", "1", "-framerate", f.c_str(), "-video_size", "1920x1080", "-i", display.c_str(),
               "-t", t.c_str(), "-vf", "scale=out_color_matrix=bt709:out_range=tv,format=yuv420p", "-c:v",
               "libx264", "-preset", H264Encoder::preset, "-tune", "zerolatency", "-bf", "0", "-g", g.c_str(),
               "-b:v", r.c_str(), "-maxrate", r.c_str(), "-bufsize", buffer.c_str(), "-f", "null", "-",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    const auto start = Clock::now();
    wait4(pid, &status, 0, &usage);
    const double wall = since(start);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    StreamFigures figures;
    // The last "frame=" of its progress lines.
    FILE* file = std::fopen(log.c_str(), "r");
    if (file != nullptr) {
        std::string text;
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
            text.append(chunk, n);
        }
        std::fclose(file);
        const auto at = text.rfind("frame=");
        if (at != std::string::npos) {
            figures.frames = std::atoi(text.c_str() + at + 6 + text.substr(at + 6).find_first_not_of(' '));
        }
    }
    std::remove(log.c_str());
    figures.cpuPerSecond = cpu / wall;
    figures.cpuPerFrame = figures.frames > 0 ? cpu / figures.frames : 0;
    figures.meanInterval = figures.frames > 1 ? seconds / figures.frames : 0;
    return figures;
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
        std::make_shared<SystemScreenCaptureSource>(display), std::make_shared<VideoToolboxEncoderFactory>(),
        std::make_shared<fakes::FakePermission>(), ScreenViewSession::Configuration(2, 0.85));
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
    const double seconds = argc > 1 ? std::max(std::atof(argv[1]), 1.0) : 10.0;
    testing_support::XvfbServer::Options options;
    options.width = width;
    options.height = height;
    testing_support::XvfbServer server(options);
    const pid_t animator = startAnimator(server.displayName());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    conversionFigures(server.displayName());

    std::printf(
        "\nStreams of 1920x1080 (x264 preset %s, zerolatency, ABR with VBV at the stream's bit rate), %.0f s "
        "each\n",
        H264Encoder::preset, seconds);
    std::printf("  %-8s %4s %8s %10s %12s %14s %12s %16s\n", "who", "fps", "frames", "CPU/s", "CPU/frame",
                "mean interval", "p95 encode", "capture->send");
    for (int fps : {30, 60}) {
        const StreamFigures ours = ourStream(server.displayName(), fps, seconds);
        const StreamFigures theirs = ffmpegStream(server.displayName(), fps, seconds);
        std::printf("  %-8s %4d %8d %9.0f%% %9.2f ms %11.2f ms %9.2f ms %13.2f ms\n", "ours", fps,
                    ours.frames, ours.cpuPerSecond * 100, ours.cpuPerFrame * 1e3, ours.meanInterval * 1e3,
                    ours.p95Encode * 1e3, ours.captureToSend * 1e3);
        std::printf("  %-8s %4d %8d %9.0f%% %9.2f ms %11.2f ms %12s\n", "ffmpeg", fps, theirs.frames,
                    theirs.cpuPerSecond * 100, theirs.cpuPerFrame * 1e3, theirs.meanInterval * 1e3, "-");
    }
    glassToPhone(server.displayName(), 30);
    kill(animator, SIGTERM);
    waitpid(animator, nullptr, 0);
    return 0;
}
