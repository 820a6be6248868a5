// Figures of the screen view's own work, without a display:
// - a 1920x1080 screenshot to JPEG within the byte budget, for photo-like and noise-like pixels, beside
//   TurboJPEG's tjCompress2 in this process on the same pixels at the same quality and subsampling (rounds
//   interleaved, min/median/max), and beside cjpeg (whose process start-up, measured on a 1x1 picture, is
//   subtracted; it still includes reading its input file);
// - the session's cost per frame from the capture callback to the connection's send, with an encoder that
//   answers at once: on virtual time (pure CPU) and on the session's real queues (with the thread hop),
//   and the heap in use before and after 10,000 frames.
//
//   screenview_bench [iterations]   (20 by default)
#include <malloc.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/ManualExecutor.h"
#include "screen-view/ScreenViewSession.h"
#include "screen-view/ScreenshotImage.h"
#include "screen-view/tests/ScreenViewFakes.h"

namespace {

using namespace ScreenView;
using Clock = std::chrono::steady_clock;
using TrackpadProtocol::Message;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// Smooth shading with edges and fine grain, as in a photograph or a desktop with a wallpaper.
std::shared_ptr<BgraImage> photoLike(int width, int height) {
    auto image = std::make_shared<BgraImage>(width, height);
    std::mt19937 random(3);
    std::normal_distribution<double> grain(0, 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = x / 180.0, v = y / 140.0;
            double r = 128 + 90 * std::sin(u) * std::cos(v * 0.7);
            double g = 120 + 80 * std::sin(u * 0.5 + v);
            double b = 110 + 100 * std::cos(u * 0.3 - v * 0.9);
            if ((x / 240 + y / 200) % 5 == 0) {
                r = 230 - r / 4, g = 220 - g / 5, b = 40 + b / 6;
            }
            std::uint8_t* pixel = image->row(y) + 4 * x;
            pixel[0] = static_cast<std::uint8_t>(std::clamp(b + grain(random), 0.0, 255.0));
            pixel[1] = static_cast<std::uint8_t>(std::clamp(g + grain(random), 0.0, 255.0));
            pixel[2] = static_cast<std::uint8_t>(std::clamp(r + grain(random), 0.0, 255.0));
            pixel[3] = 255;
        }
    }
    return image;
}

std::shared_ptr<BgraImage> noiseLike(int width, int height) {
    auto image = std::make_shared<BgraImage>(width, height);
    std::mt19937 random(5);
    for (std::size_t i = 0; i < image->byteCount(); ++i) {
        image->data()[i] = static_cast<std::uint8_t>(random());
    }
    return image;
}

void writePPM(const BgraImage& image, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << image.width() << " " << image.height() << "\n255\n";
    std::vector<char> row(static_cast<std::size_t>(image.width()) * 3);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const std::uint8_t* pixel = image.row(y) + 4 * x;
            row[3 * x] = static_cast<char>(pixel[2]);
            row[3 * x + 1] = static_cast<char>(pixel[1]);
            row[3 * x + 2] = static_cast<char>(pixel[0]);
        }
        out.write(row.data(), static_cast<std::streamsize>(row.size()));
    }
}

// Seconds per cjpeg run (mean of `runs`), output size in bytes.
std::pair<double, long> timeCjpeg(const std::string& ppm, int quality, int runs) {
    const std::string out = ppm + ".jpg";
    const std::string command =
        "cjpeg -quality " + std::to_string(quality) + " -sample 2x2 -outfile " + out + " " + ppm;
    const auto start = Clock::now();
    for (int i = 0; i < runs; ++i) {
        if (std::system(command.c_str()) != 0) {
            return {-1, 0};
        }
    }
    const double each = secondsSince(start) / runs;
    std::ifstream in(out, std::ios::binary | std::ios::ate);
    return {each, static_cast<long>(in.tellg())};
}

// TurboJPEG as a program that links it would call it for the same picture: BGRX, 4:2:0, quality 85.
std::size_t turboJpeg(tjhandle handle, const BgraImage& image) {
    unsigned char* output = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, image.data(), image.width(), image.stride(), image.height(), TJPF_BGRX, &output,
                &size, TJSAMP_420, 85, 0);
    tjFree(output);
    return size;
}

void screenshotFigures(int iterations) {
    std::printf(
        "Screenshot 1920x1080 -> JPEG within %zu bytes, quality 0.85 (4:2:0); ms min/median/max of %d "
        "interleaved rounds\n",
        ScreenshotImage::maxByteCount, iterations);
    char dir[] = "/tmp/screenview-bench-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        return;
    }
    const std::string folder = dir;
    writePPM(BgraImage(1, 1), folder + "/tiny.ppm");
    const double startup = timeCjpeg(folder + "/tiny.ppm", 85, iterations).first;
    std::printf("  %-11s %-22s %9s %-22s %9s %9s %15s\n", "content", "ours", "bytes", "TurboJPEG in process",
                "bytes", "ours/TJ", "cjpeg net ms");
    tjhandle handle = tjInitCompress();
    for (auto [name, image] :
         {std::pair{"photo-like", photoLike(1920, 1080)}, std::pair{"noise-like", noiseLike(1920, 1080)}}) {
        std::vector<double> ours, turbo;
        std::size_t bytes = 0, turboBytes = 0;
        for (int i = 0; i < iterations; ++i) {
            for (int side = 0; side < 2; ++side) {
                const bool oursNow = (side == 0) == (i % 2 == 0);
                const auto start = Clock::now();
                if (oursNow) {
                    const auto jpeg =
                        ScreenshotImage::jpeg(*image, 8192, ScreenshotImage::maxByteCount, 0.85);
                    ours.push_back(secondsSince(start));
                    bytes = jpeg ? jpeg->size() : 0;
                } else {
                    turboBytes = turboJpeg(handle, *image);
                    turbo.push_back(secondsSince(start));
                }
            }
        }
        const std::string ppm = folder + "/" + name + ".ppm";
        writePPM(*image, ppm);
        const auto [cjpeg, cjpegBytes] = timeCjpeg(ppm, 85, iterations);
        (void)cjpegBytes;
        auto triple = [](const std::vector<double>& values) {
            char text[64];
            std::snprintf(text, sizeof text, "%.2f/%.2f/%.2f", percentile(values, 0) * 1e3,
                          percentile(values, 0.5) * 1e3, percentile(values, 1) * 1e3);
            return std::string(text);
        };
        std::printf("  %-11s %-22s %9zu %-22s %9zu %8.2fx %15.2f\n", name, triple(ours).c_str(), bytes,
                    triple(turbo).c_str(), turboBytes, percentile(ours, 0.5) / percentile(turbo, 0.5),
                    (cjpeg - startup) * 1e3);
    }
    tjDestroy(handle);
    std::printf("  (cjpeg: mean of %d runs less %.2f ms start-up, still includes reading the PPM file)\n",
                iterations, startup * 1e3);
    std::system(("rm -rf " + folder).c_str());
}

// Answers every frame at once with a small sample and keeps no record, so that the heap figure is the
// session's own.
class InstantEncoder final : public ScreenVideoEncoder {
  public:
    void encode(std::shared_ptr<const VideoFrame>, std::uint64_t, bool forceKeyframe,
                Completion completion) override {
        completion(EncodeResult::encoded(fakes::FakeEncoder::sampleFor(forceKeyframe)));
    }
    void invalidate() override {}
};

class InstantEncoders final : public ScreenVideoEncoderFactory {
  public:
    ScreenVideoCodecs supportedCodecs() const override { return ScreenVideoCodecs::h264; }
    std::unique_ptr<ScreenVideoEncoder> makeEncoder(ScreenVideoCodec, int, int, int) override {
        return std::make_unique<InstantEncoder>();
    }
};

std::size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

void sessionFigures() {
    constexpr int frames = 10000;
    std::printf("\nSession per frame, capture callback -> send, encoder answering at once, %d frames\n",
                frames);
    auto source = std::make_shared<fakes::FakeCaptureSource>();
    source->setDisplays({fakes::display(1, 1920, 1080)});
    auto encoders = std::make_shared<InstantEncoders>();
    const auto frame = fakes::blankFrame(1920, 1080);
    {
        // Virtual time: every cost is the session's own, without thread hops.
        auto queue = std::make_shared<platform::ManualExecutor>();
        std::atomic<int> sent{0};
        ScreenViewSession::Environment environment;
        environment.queue = queue;
        environment.imageQueue = queue;
        auto session = ScreenViewSession::make(
            {source, encoders, std::make_shared<fakes::FakePermission>(), nullptr},
            ScreenViewSession::Configuration(2, 0.85),
            [&](ScreenViewSession::Messages messages, std::function<void()> completion) {
                sent += static_cast<int>(messages.size());
                completion();
            },
            environment);
        session->handle(Message::ScreenViewStart{{1, 1920, 120, TrackpadProtocol::ScreenVideoCodecs::h264}});
        queue->drain();
        auto capture = source->lastCapture();
        for (int i = 0; i < 100; ++i) {  // warm-up
            capture->deliver(static_cast<std::uint64_t>(i + 1) * 8334, frame);
            queue->drain();
            queue->advance(1.0 / 120);
        }
        const std::size_t heapBefore = heapInUse();
        double busy = 0;
        for (int i = 0; i < frames; ++i) {
            const auto start = Clock::now();
            capture->deliver(static_cast<std::uint64_t>(i + 101) * 8334, frame);
            queue->drain();
            busy += secondsSince(start);
            queue->advance(1.0 / 120);
        }
        const std::size_t heapAfter = heapInUse();
        const auto stats = session->statistics();
        std::printf(
            "  virtual time: %.2f us per frame (goal < 20 us); encoded %d, sent %d; heap %+ld bytes "
            "over %d frames\n",
            busy / frames * 1e6, stats.framesEncoded, stats.framesSent,
            static_cast<long>(heapAfter) - static_cast<long>(heapBefore), frames);
    }
    {
        // Real queues: the frame hops from the capture thread onto the session's queue.
        std::vector<double> latencies;
        latencies.reserve(frames);
        std::atomic<Clock::rep> deliveredAt{0};
        std::atomic<int> sends{0};
        std::mutex mutex;
        std::condition_variable arrived;
        auto session = ScreenViewSession::make(
            {source, encoders, std::make_shared<fakes::FakePermission>(), nullptr},
            ScreenViewSession::Configuration(2, 0.85),
            [&](ScreenViewSession::Messages messages, std::function<void()> completion) {
                if (messages.front().is<Message::ScreenVideo>()) {
                    const auto now = Clock::now().time_since_epoch().count();
                    std::lock_guard lock(mutex);
                    latencies.push_back(
                        std::chrono::duration<double>(Clock::duration(now - deliveredAt.load())).count());
                    sends += 1;
                    arrived.notify_all();
                }
                completion();
            },
            ScreenViewSession::Environment{});
        session->handle(Message::ScreenViewStart{{1, 1920, 120, TrackpadProtocol::ScreenVideoCodecs::h264}});
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto capture = source->lastCapture();
        for (int i = 0; i < 2000; ++i) {
            deliveredAt = Clock::now().time_since_epoch().count();
            capture->deliver(static_cast<std::uint64_t>(i + 1) * 8334, frame);
            std::unique_lock lock(mutex);
            arrived.wait_for(lock, std::chrono::milliseconds(100), [&] { return sends > i; });
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::microseconds(8334));
        }
        session->stop();
        std::printf(
            "  real queues (2000 frames at 120 fps): capture callback -> send p50 %.1f us, p99 %.1f us\n",
            percentile(latencies, 0.5) * 1e6, percentile(latencies, 0.99) * 1e6);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(std::atoi(argv[1]), 1) : 20;
    screenshotFigures(iterations);
    sessionFigures();
    return 0;
}
