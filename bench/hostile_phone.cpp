// Load driver for the whole companion process against a hostile paired phone, on a private Xvfb
// display: each row runs one attack for a bounded time while an honest phone (a host of its own) sends a
// probe every 20 ms and waits for its answer. Per row it prints the companion's resident memory at its
// peak during the attack and 10 s after it ended, the honest probe's round trip during the attack and the
// 2 s after it (p50, p99, max, lost), the share of a core the process used in those 2 s, the lines the
// companion logged during the row, and whether it still runs. The last row ends the process. After the
// rows, companions of their own are signalled to end under a mixed load, and how each ended is printed.
//
// LUMIVEX_COMPANION, when set, is the companion executable to run (another build, or a wrapper). The rows
// of crafted files (hostile_decodes.cpp) also run LUMIVEX_COMPANION_BEFORE, when set, in turn with it.
//
//   hostile_phone [scale [row]]   (scale 1 by default: each row's time is multiplied by it; row: only
//                                  the rows whose name contains this text, or one of several joined by '|')
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/HostileDecodes.h"
#include "bench/ProcessFigures.h"
#include "protocol/messages/LargePayloads.h"
#include "testing/CompanionProcess.h"
#include "testing/HostileClients.h"
#include "testing/NoisyScreen.h"
#include "testing/PhoneTestClient.h"
#include "testing/PrivateBus.h"
#include "testing/PulseAudioSandbox.h"
#include "testing/ScriptedMediaPlayer.h"
#include "testing/XKeyReader.h"
#include "testing/XvfbServer.h"

// After <cstdio>: the libjpeg header needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <png.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::PhoneTestClient;
using TrackpadProtocol::Message;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using hostile_decodes::compressJPEG;

constexpr const char* honestHost = "127.0.0.1";
constexpr const char* attackerHost = "127.0.0.3";
double scale = 1;
std::string onlyRows;

std::string companionPath() {
    const char* chosen = std::getenv("LUMIVEX_COMPANION");
    return chosen != nullptr && *chosen != '\0' ? chosen : LUMIVEX_COMPANION_PATH;
}

bool runs(const std::string& row) {
    // Several rows: their names' parts joined by '|'.
    std::size_t from = 0;
    while (true) {
        const std::size_t bar = onlyRows.find('|', from);
        if (row.find(onlyRows.substr(from, bar == std::string::npos ? bar : bar - from)) !=
            std::string::npos) {
            return true;
        }
        if (bar == std::string::npos) {
            return false;
        }
        from = bar + 1;
    }
}

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

using bench_figures::cpuSeconds;
using bench_figures::residentKiB;

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// ---- Pictures ---------------------------------------------------------------------------------------

// A grey progressive JPEG of the given size, striped so that it is not trivially small.
Bytes progressiveJPEG(int width, int height) {
    return compressJPEG(width, height, 1, 50, true, false, [width](JSAMPLE* row, int) {
        for (int x = 0; x < width; ++x) {
            row[x] = static_cast<JSAMPLE>((x / 97) % 2 ? 40 : 220);
        }
    });
}

void appendPNG(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

// An RGB PNG; `noise` fills it with random bytes (incompressible), else with stripes; `interlaced` uses
// Adam7.
Bytes png(int width, int height, bool noise, bool interlaced) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, appendPNG, nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    std::mt19937 random(7);
    if (noise) {
        Bytes row(stride);
        for (int y = 0; y < height; ++y) {
            for (auto& byte : row) {
                byte = static_cast<std::uint8_t>(random());
            }
            png_write_row(png, row.data());
        }
    } else {
        // One striped row for every line: the rows of an interlaced image are all handed over at once.
        Bytes row(stride);
        for (std::size_t x = 0; x < stride; ++x) {
            row[x] = static_cast<std::uint8_t>((x / 291) % 2 ? 30 : 200);
        }
        std::vector<png_bytep> rows(static_cast<std::size_t>(height), row.data());
        png_write_image(png, rows.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

// A picture as the phone sends it: the document that carries it in parts, then its placement.
std::vector<Message> pictureMessages(const Bytes& image, std::uint32_t transfer) {
    using TrackpadProtocol::PresentationImage;
    using TrackpadProtocol::ScreenDataPart;
    const Bytes bytes = TrackpadProtocol::PresentationImageFile{image, std::nullopt}.encoded();
    std::vector<Message> messages;
    const std::size_t count = (bytes.size() + ScreenDataPart::maxBytes - 1) / ScreenDataPart::maxBytes;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t begin = i * ScreenDataPart::maxBytes;
        const std::size_t end = std::min(bytes.size(), begin + ScreenDataPart::maxBytes);
        ScreenDataPart part{transfer, static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(count),
                            Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                                  bytes.begin() + static_cast<std::ptrdiff_t>(end))};
        messages.push_back(Message::PresentationImage{{PresentationImage::Part{std::move(part)}}});
    }
    messages.push_back(
        Message::PresentationImage{{PresentationImage::Place{transfer, {{0.5f, 0.5f}, 1.0f, 1.0f}}}});
    return messages;
}

// ---- The companion and its phones ------------------------------------------------------------------

struct Figures {
    long peakKiB = 0;
    long afterKiB = 0;           // 10 s after the attack ended
    double busyAfter = 0;        // share of one core the process used in the 2 s after the attack
    std::vector<double> probes;  // seconds, during the attack and the 2 s after it
    int lost = 0;
    std::size_t logLines = 0;
    bool alive = true;
    std::string note;
};

class Companion {
  public:
    explicit Companion(testing_support::XvfbServer::Options screen = {}) : server_(screen) {
        std::filesystem::create_directories(folder_.path / "data" / "applications");
        std::ofstream(folder_.path / "data" / "applications" / "org.example.Sleeper.desktop")
            << "[Desktop Entry]\nType=Application\nName=Sleeper\nExec=/bin/sleep 2\nIcon=xterm-color\n";
        process_ = std::make_unique<testing_support::CompanionProcess>(companionPath(), folder_.path,
                                                                       server_.displayName());
        endpoint_ = process_->waitUntilReady();
        honest_ = pairFrom(honestHost, "Honest Phone");
        attacker_ = pairFrom(attackerHost, "Hostile Phone");
        std::this_thread::sleep_for(1s);
    }

    std::unique_ptr<PhoneTestClient> pairFrom(const std::string& host, const std::string& name) {
        PhoneTestClient::Endpoint from = endpoint_;
        from.source = host;
        return process_->pair(from, name);
    }

    PhoneTestClient::Endpoint endpointFrom(const std::string& host) const {
        PhoneTestClient::Endpoint from = endpoint_;
        from.source = host;
        return from;
    }

    testing_support::CompanionProcess& process() { return *process_; }
    PhoneTestClient& attacker() { return *attacker_; }
    const std::string& display() const { return server_.displayName(); }

    // The attacker's connection and session again, after the companion closed it.
    void reconnectAttacker() {
        try {
            attacker_->connect();
            attacker_->openSession();
        } catch (const std::exception&) {
            std::this_thread::sleep_for(10ms);
        }
    }

    // Sends outside any row: once more on a new connection when the companion closed the old one.
    void sendSafely(const Message& message) {
        try {
            attacker_->send(message);
        } catch (const std::exception&) {
            reconnectAttacker();
            try {
                attacker_->send(message);
            } catch (const std::exception&) {
            }
        }
    }

    // The honest phone's probe round trip in seconds; none when no answer came within 2 s.
    std::optional<double> probe() {
        const std::uint32_t number = ++probeNumber_;
        const auto sent = Clock::now();
        honest_->send(Message::Probe{number, false});
        const auto reply = honest_->receiveUntil(
            [&](const Message& message) {
                const auto* answer = message.as<Message::ProbeReply>();
                return answer != nullptr && answer->number == number;
            },
            2);
        if (!reply) {
            return std::nullopt;
        }
        return seconds(Clock::now() - sent);
    }

    // Waits, for 60 s at most, until ten probes in a row are answered within 5 ms, so that a row is not
    // charged with what the one before it left behind; the seconds that took.
    double settle() {
        const auto start = Clock::now();
        int good = 0;
        while (good < 10 && Clock::now() - start < 60s) {
            try {
                const auto roundTrip = probe();
                good = roundTrip && *roundTrip < 0.005 ? good + 1 : 0;
            } catch (const std::exception&) {
                good = 0;
            }
            std::this_thread::sleep_for(20ms);
        }
        return seconds(Clock::now() - start);
    }

    // Runs `attack` (given the time it must end by) while the honest phone probes.
    // With `recover` false (a row that ends the process) nothing is measured after the attack.
    Figures measure(double attackSeconds, const std::function<void(Clock::time_point)>& attack,
                    bool recover = true) {
        Figures figures;
        if (const double waited = settle(); waited > 1 && process_->running()) {
            figures.note = "(" + std::to_string(static_cast<int>(waited)) + " s to settle before) ";
        }
        const std::size_t linesBefore = lineCount(process_->log());
        const pid_t pid = process_->pid();
        std::atomic<bool> stop{false};
        std::thread prober([&] {
            while (!stop) {
                const auto sent = Clock::now();
                try {
                    if (const auto roundTrip = probe()) {
                        figures.probes.push_back(*roundTrip);
                    } else {
                        ++figures.lost;
                    }
                } catch (const std::exception&) {
                    ++figures.lost;
                    std::this_thread::sleep_for(20ms);
                }
                figures.peakKiB = std::max(figures.peakKiB, residentKiB(pid));
                std::this_thread::sleep_until(sent + 20ms);
            }
        });
        // A row that ended the attacker's connection, or left it unable to write, leaves the next one a
        // new one.
        reconnectAttacker();
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(attackSeconds * scale));
        try {
            attack(end);
        } catch (const std::exception& error) {
            figures.note += error.what();
        }
        std::this_thread::sleep_until(std::max(end, Clock::now()));
        // The 2 s after the attack: what the process still does, and whether the probes recover.
        const auto attackEnded = Clock::now();
        const double cpuAtEnd = cpuSeconds(pid);
        if (recover) {
            std::this_thread::sleep_for(2s);
            figures.busyAfter = (cpuSeconds(pid) - cpuAtEnd) / seconds(Clock::now() - attackEnded);
        }
        stop = true;
        prober.join();
        if (recover) {
            std::this_thread::sleep_until(attackEnded + 10s);
        }
        figures.afterKiB = residentKiB(pid);
        figures.alive = process_->running();
        const std::string log = process_->log();
        figures.logLines = lineCount(log) - linesBefore;
        // A row that ends the process on purpose measures nothing after the attack.
        if (!figures.alive && recover) {
            std::printf("the companion is gone; the end of its log:\n%s\n",
                        log.substr(log.size() - std::min<std::size_t>(log.size(), 1500)).c_str());
        }
        return figures;
    }

  private:
    testing_support::XvfbServer server_;
    testing_support::TemporaryFolder folder_;
    std::unique_ptr<testing_support::CompanionProcess> process_;
    PhoneTestClient::Endpoint endpoint_;
    std::unique_ptr<PhoneTestClient> honest_;
    std::unique_ptr<PhoneTestClient> attacker_;
    std::uint32_t probeNumber_ = 0;
};

void printHeader() {
    std::printf("%-52s %9s %9s %8s %8s %8s %6s %6s %7s %5s  %s\n", "attack", "peak MiB", "after MiB",
                "p50 ms", "p99 ms", "max ms", "lost", "CPU %", "lines", "alive", "note");
}

void printRow(const std::string& name, const Figures& figures) {
    std::printf("%-52s %9.1f %9.1f %8.2f %8.2f %8.2f %6d %6.1f %7zu %5s  %s\n", name.c_str(),
                static_cast<double>(figures.peakKiB) / 1024.0, static_cast<double>(figures.afterKiB) / 1024.0,
                percentile(figures.probes, 0.5) * 1e3, percentile(figures.probes, 0.99) * 1e3,
                percentile(figures.probes, 1.0) * 1e3, figures.lost, figures.busyAfter * 100.0,
                figures.logLines, figures.alive ? "yes" : "NO", figures.note.c_str());
    std::fflush(stdout);
}

// Sends `messages` over and over until `end`, reading whatever comes back between batches; a connection
// the companion closes is opened again.
void flood(Companion& companion, Clock::time_point end, const std::function<Message(std::uint64_t)>& make,
           int batch = 32) {
    std::uint64_t count = 0;
    while (Clock::now() < end) {
        try {
            for (int i = 0; i < batch; ++i) {
                companion.attacker().send(make(count++));
            }
            while (companion.attacker().receive(0.0005)) {
            }
        } catch (const std::exception&) {
            companion.reconnectAttacker();
        }
    }
}

void sendAll(Companion& companion, const std::vector<Message>& messages) {
    for (const Message& message : messages) {
        companion.attacker().send(message);
        while (companion.attacker().receive(0.0001)) {
        }
    }
}

std::vector<Message> mixedScriptText(std::size_t bytes) {
    const std::string pieces[] = {"Hello world, ",  "Привет мир, ", "你好，世界。",
                                  "مرحبا بالعالم ", "שלום עולם ",   "こんにちは ",
                                  "😀👍🏽 ",  "Γειά σου ",    "नमस्ते "};
    std::vector<Message> messages;
    std::string current;
    std::size_t total = 0;
    for (std::size_t i = 0; total < bytes; ++i) {
        const std::string& piece = pieces[i % std::size(pieces)];
        if (current.size() + piece.size() > 255) {
            messages.push_back(Message::Text{current});
            current.clear();
        }
        current += piece;
        total += piece.size();
    }
    if (!current.empty()) {
        messages.push_back(Message::Text{current});
    }
    return messages;
}

Message annotation(TrackpadProtocol::Annotation annotation) {
    return Message::Annotation{std::move(annotation)};
}

void runRows() {
    using TrackpadProtocol::Annotation;
    using TrackpadProtocol::AnnotationTool;
    Companion companion;
    std::printf("hostile paired phone from %s, honest phone from %s probing every 20 ms; load average %s\n",
                attackerHost, honestHost, loadAverage().c_str());
    {
        const Figures idle = companion.measure(2, [](Clock::time_point) {});
        std::printf("idle: resident %.1f MiB\n", static_cast<double>(idle.afterKiB) / 1024.0);
        printHeader();
        printRow("(idle, 2 s)", idle);
    }

    if (runs("icon request flood"))
        printRow("icon request flood, 3 s", companion.measure(3, [&](Clock::time_point end) {
            flood(companion, end, [](std::uint64_t i) {
                return Message::AppIconRequest{
                    {"org.example.Sleeper", static_cast<std::uint16_t>(16 + (i * 37) % 1009)}};
            });
        }));

    if (runs("pictures of")) {
        const Bytes noise = png(1650, 1650, true, false);
        printRow("pictures of " + std::to_string(noise.size() >> 10) + " KiB at full speed, 3 s",
                 companion.measure(3, [&](Clock::time_point end) {
                     for (std::uint32_t transfer = 1; Clock::now() < end; ++transfer) {
                         try {
                             sendAll(companion, pictureMessages(noise, transfer));
                         } catch (const std::exception&) {
                             companion.reconnectAttacker();
                         }
                     }
                 }));
    }
    if (runs("progressive JPEG")) {
        const Bytes jpeg = progressiveJPEG(10000, 10000);
        printRow("10000x10000 progressive JPEG picture (" + std::to_string(jpeg.size() >> 10) + " KiB)",
                 companion.measure(
                     4, [&](Clock::time_point) { sendAll(companion, pictureMessages(jpeg, 9001)); }));
    }
    if (runs("interlaced PNG")) {
        const Bytes interlaced = png(10000, 10000, false, true);
        printRow("10000x10000 interlaced PNG picture (" + std::to_string(interlaced.size() >> 10) + " KiB)",
                 companion.measure(
                     4, [&](Clock::time_point) { sendAll(companion, pictureMessages(interlaced, 9002)); }));
    }
    companion.sendSafely(Message::PresentationImage{{TrackpadProtocol::PresentationImage::Close{}}});

    // Pictures at the rate and sizes a phone can send: each stage keeps only the newest picture, the
    // window goes when the picture does, and camera-sized progressive JPEGs are shown.
    {
        // A colour JPEG; progressive or baseline, with 4:4:4 or 4:2:0 chroma.
        const auto colourJPEG = [](int width, int height, bool progressive, bool fullChroma) {
            return compressJPEG(width, height, 3, 60, progressive, fullChroma, [=](JSAMPLE* row, int y) {
                for (int x = 0; x < width; ++x) {
                    JSAMPLE* pixel = &row[static_cast<std::size_t>(x) * 3];
                    pixel[0] = static_cast<JSAMPLE>((x / 61 + y / 47) % 2 ? 200 : 40);
                    pixel[1] = static_cast<JSAMPLE>(x * 255 / width);
                    pixel[2] = static_cast<JSAMPLE>(y * 255 / height);
                }
            });
        };
        // The attacker's stream of small pictures, `perSecond` of them until `end`, each shown full screen;
        // how many it sent.
        const auto smallPictures = [&](Companion& target, Clock::time_point end, int perSecond) {
            const Bytes small = colourJPEG(64, 48, false, false);
            const auto start = Clock::now();
            std::uint32_t sent = 0;
            while (Clock::now() < end) {
                try {
                    for (const Message& message : pictureMessages(small, 100000 + sent)) {
                        target.attacker().send(message);
                    }
                    // And moves the shown one about.
                    const float at = 0.3f + 0.4f * static_cast<float>(sent % 17) / 16.0f;
                    target.attacker().send(
                        Message::PresentationImage{{TrackpadProtocol::PresentationImage::Place{
                            100000 + sent - (sent > 0 ? 1 : 0), {{at, 1.0f - at}, 0.9f, 0.9f}}}});
                    ++sent;
                    while (target.attacker().receive(0)) {
                    }
                } catch (const std::exception&) {
                    target.reconnectAttacker();
                }
                std::this_thread::sleep_until(start + sent * 1s / perSecond);
            }
            return sent;
        };
        if (runs("small pictures at 1000/s")) {
            std::uint32_t sent = 0;
            Figures figures = companion.measure(30, [&](Clock::time_point end) {
                sent = smallPictures(companion, end, 1000);
                companion.sendSafely(
                    Message::PresentationImage{{TrackpadProtocol::PresentationImage::Close{}}});
            });
            figures.note += std::to_string(sent) + " sent, then closed";
            printRow("small pictures at 1000/s, 30 s", figures);
        }
        if (runs("a picture moved 1000 times a second")) {
            Figures figures = companion.measure(10, [&](Clock::time_point end) {
                sendAll(companion, pictureMessages(colourJPEG(640, 480, false, false), 150000));
                std::this_thread::sleep_for(300ms);
                const auto start = Clock::now();
                for (std::uint32_t moves = 0; Clock::now() < end; ++moves) {
                    const float width = moves % 2 ? 0.5f : 0.9f;
                    try {
                        companion.attacker().send(
                            Message::PresentationImage{{TrackpadProtocol::PresentationImage::Place{
                                150000, {{0.5f, 0.5f}, width, width}}}});
                        while (companion.attacker().receive(0)) {
                        }
                    } catch (const std::exception&) {
                        companion.reconnectAttacker();
                    }
                    std::this_thread::sleep_until(start + (moves + 1) * 1ms);
                }
                companion.attacker().send(
                    Message::PresentationImage{{TrackpadProtocol::PresentationImage::Close{}}});
            });
            printRow("a picture moved 1000 times a second, 10 s", figures);
        }
        if (runs("pictures of 3000x2000 shown and hidden")) {
            const Bytes large = colourJPEG(3000, 2000, false, false);
            Figures figures = companion.measure(10, [&](Clock::time_point) {
                for (std::uint32_t transfer = 200000; transfer < 200200; ++transfer) {
                    sendAll(companion, pictureMessages(large, transfer));
                    std::this_thread::sleep_for(20ms);
                    companion.attacker().send(
                        Message::PresentationImage{{TrackpadProtocol::PresentationImage::Close{}}});
                }
            });
            printRow("200 pictures of 3000x2000 shown and hidden", figures);
        }
        // Camera and web sizes: each one shown for a few seconds, then closed; a refusal is logged.
        struct Camera {
            int width, height;
            bool fullChroma;
        };
        for (const Camera camera : {Camera{4000, 3000, true}, Camera{6000, 4000, false},
                                    Camera{6000, 4500, false}, Camera{8000, 6000, false}}) {
            const std::string name = std::to_string(camera.width) + "x" + std::to_string(camera.height) +
                                     " progressive JPEG " + (camera.fullChroma ? "4:4:4" : "4:2:0");
            if (!runs(name) &&
                !(camera.width == 6000 && camera.height == 4000 && runs("24 MP progressive"))) {
                continue;
            }
            const Bytes jpeg = colourJPEG(camera.width, camera.height, true, camera.fullChroma);
            const std::size_t logBefore = companion.process().log().size();
            Figures figures = companion.measure(4, [&](Clock::time_point end) {
                sendAll(companion, pictureMessages(jpeg, 300000 + static_cast<std::uint32_t>(camera.width)));
                std::this_thread::sleep_until(end - 500ms);
                companion.attacker().send(
                    Message::PresentationImage{{TrackpadProtocol::PresentationImage::Close{}}});
            });
            const bool refused = companion.process().log().find("not shown", logBefore) != std::string::npos;
            figures.note += refused ? "refused (logged)" : "no refusal logged";
            printRow(name + " (" + std::to_string(jpeg.size() >> 10) + " KiB)", figures);
        }
        // A stop right after a flood: the process ends within a second.
        if (runs("SIGTERM after 10 s of small pictures")) {
            Companion target;
            double exit = -1;
            Figures figures = target.measure(
                10,
                [&](Clock::time_point end) {
                    smallPictures(target, end, 1000);
                    const auto signalled = Clock::now();
                    ::kill(target.process().pid(), SIGTERM);
                    if (testing_support::waitUntil([&] { return !target.process().running(); }, 90s)) {
                        exit = seconds(Clock::now() - signalled);
                    }
                },
                false);
            figures.note += exit < 0 ? "still running 90 s after SIGTERM"
                                     : "exited " + std::to_string(exit).substr(0, 5) + " s after SIGTERM";
            printRow("SIGTERM after 10 s of small pictures", figures);
        }
    }

    if (runs("20 KB of mixed-script text"))
        printRow("20 KB of mixed-script text", companion.measure(6, [&](Clock::time_point) {
            sendAll(companion, mixedScriptText(20 * 1024));
        }));

    if (runs("icon flood, 10 s"))
        printRow("icon flood, 10 s", companion.measure(10, [&](Clock::time_point end) {
            flood(companion, end, [](std::uint64_t i) {
                return Message::AppIconRequest{{i % 2 ? "org.example.Sleeper" : "debian-xterm",
                                                static_cast<std::uint16_t>(16 + (i * 53) % 2000)}};
            });
        }));

    if (runs("volume requests"))
        printRow("volume requests, 5 s", companion.measure(5, [&](Clock::time_point end) {
            flood(companion, end, [](std::uint64_t i) {
                return i % 3 == 2 ? Message(Message::VolumeStatusRequest{})
                                  : Message(Message::SetVolume{static_cast<std::uint8_t>(i % 101)});
            });
        }));

    if (runs("unlock requests"))
        printRow("unlock requests, 10 s", companion.measure(10, [&](Clock::time_point end) {
            flood(companion, end, [](std::uint64_t i) {
                return Message::UnlockRequest{{static_cast<std::uint32_t>(i + 1), "not the password"}};
            });
        }));

    if (runs("session churn"))
        printRow("session churn, 10 s", companion.measure(10, [&](Clock::time_point end) {
            while (Clock::now() < end) {
                companion.reconnectAttacker();
            }
        }));

    if (runs("unpaired host reconnecting"))
        printRow("unpaired host reconnecting per two bad frames, 10 s",
                 companion.measure(10, [&](Clock::time_point end) {
                     const auto endpoint = companion.endpointFrom("127.0.0.4");
                     testing_support::BadFrameReconnects noisy(endpoint.host, endpoint.tcpPort, 2,
                                                               "127.0.0.4");
                     std::this_thread::sleep_until(end);
                 }));

    if (runs("9 unpaired sockets")) {
        Figures figures;
        int paired = 0;
        const int tries = 3;
        figures = companion.measure(8, [&](Clock::time_point end) {
            const auto endpoint = companion.endpointFrom("127.0.0.5");
            testing_support::SilentConnections churn(endpoint.host, endpoint.tcpPort, 9, "127.0.0.5");
            std::this_thread::sleep_for(2500ms);
            for (int i = 0; i < tries; ++i) {
                try {
                    companion.pairFrom("127.0.0." + std::to_string(20 + i), "New Phone " + std::to_string(i));
                    ++paired;
                } catch (const std::exception&) {
                }
            }
            std::this_thread::sleep_until(end);
        });
        figures.note += "new phones paired: " + std::to_string(paired) + " of " + std::to_string(tries);
        printRow("9 unpaired sockets reopened as they close, 8 s", figures);
    }

    // ---- Phones that leave, slow players, addresses that hold the unpaired slots ----
    {
        // The companion's own environment names its data folder.
        const auto companionEnvironment = [](Companion& which, const std::string& name) {
            std::ifstream file("/proc/" + std::to_string(which.process().pid()) + "/environ");
            std::string entry;
            while (std::getline(file, entry, '\0')) {
                if (entry.rfind(name + "=", 0) == 0) {
                    return entry.substr(name.size() + 1);
                }
            }
            return std::string();
        };
        const auto helpersRunning = [](Companion& which) {
            int count = 0;
            for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
                std::ifstream stat(entry.path() / "stat");
                std::string pid, name, state, parent;
                if (stat >> pid >> name >> state >> parent &&
                    parent == std::to_string(which.process().pid()) &&
                    name.find("icon") != std::string::npos) {
                    ++count;
                }
            }
            return count;
        };
        // An app whose icon takes the helper about two seconds at the larger sizes.
        const auto addSlowApp = [&](Companion& which) {
            const std::filesystem::path data = companionEnvironment(which, "XDG_DATA_HOME");
            std::string filters, shapes;
            for (int i = 0; i < 4; ++i) {
                filters += "<filter id=\"t" + std::to_string(i) +
                           "\" x=\"0\" y=\"0\" width=\"1\" height=\"1\"><feTurbulence baseFrequency=\"0.0" +
                           std::to_string(i + 1) +
                           "\" numOctaves=\"12\"/><feGaussianBlur stdDeviation=\"40\"/></filter>";
            }
            for (int i = 0; i < 60; ++i) {
                shapes += "<rect width=\"1024\" height=\"1024\" opacity=\"0.5\" filter=\"url(#t" +
                          std::to_string(i % 4) + ")\"/>";
            }
            std::ofstream(data / "slow.svg") << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1024\" "
                                                "height=\"1024\">"
                                             << filters << shapes << "</svg>";
            std::ofstream(data / "applications" / "org.example.Slow.desktop")
                << "[Desktop Entry]\nType=Application\nName=Slow\nExec=/bin/true\nIcon="
                << (data / "slow.svg").string() << "\n";
            std::this_thread::sleep_for(3s);  // the folder watch takes the new entry
        };
        if (runs("session churn asking for a slow icon")) {
            addSlowApp(companion);
            auto other = companion.pairFrom("127.0.0.31", "Other Phone");
            int sessions = 0;
            std::string outcome;
            Figures figures = companion.measure(10, [&](Clock::time_point end) {
                while (Clock::now() < end) {
                    try {
                        companion.attacker().connect();
                        companion.attacker().openSession();
                        // Sizes the icon cache has not seen yet, each drawn anew.
                        companion.attacker().send(Message::AppIconRequest{
                            {"org.example.Slow", static_cast<std::uint16_t>(200 + sessions % 57)}});
                        companion.attacker().disconnect();
                        ++sessions;
                    } catch (const std::exception&) {
                        std::this_thread::sleep_for(10ms);
                    }
                }
                const auto asked = Clock::now();
                other->send(Message::AppIconRequest{{"org.example.Sleeper", 64}});
                const bool answered = other->receiveCase<Message::AppIcon>(120).has_value();
                const double waited = seconds(Clock::now() - asked);
                std::this_thread::sleep_for(1s);
                outcome = std::to_string(sessions) + " sessions; the other phone's icon " +
                          (answered ? "came " + std::to_string(waited).substr(0, 5) + " s"
                                    : std::string("did not come within 120 s")) +
                          " after the attack; " + std::to_string(helpersRunning(companion)) +
                          " icon helpers 1 s later";
            });
            figures.note += outcome;
            printRow("session churn asking for a slow icon, 10 s", figures);
        }
        if (runs("6 hosts holding 2 silent sockets")) {
            auto returning = companion.pairFrom("127.0.0.32", "Returning Phone");
            returning->disconnect();
            int sessions = 0;
            int tries = 0;
            Figures figures = companion.measure(25, [&](Clock::time_point end) {
                std::vector<std::unique_ptr<testing_support::SilentConnections>> hosts;
                for (int i = 0; i < 6; ++i) {
                    const std::string host = "127.0.0." + std::to_string(60 + i);
                    const auto endpoint = companion.endpointFrom(host);
                    hosts.push_back(std::make_unique<testing_support::SilentConnections>(
                        endpoint.host, endpoint.tcpPort, 2, host));
                }
                std::this_thread::sleep_for(1s);
                for (; tries < 10 && Clock::now() < end; ++tries) {
                    try {
                        returning->connect();
                        returning->openSession();
                        sessions += returning->hasSession() ? 1 : 0;
                    } catch (const std::exception&) {
                    }
                    returning->disconnect();
                    std::this_thread::sleep_for(200ms);
                }
                std::this_thread::sleep_until(end);
            });
            figures.note +=
                "sessions opened: " + std::to_string(sessions) + " of " + std::to_string(tries) + " tries";
            printRow("6 hosts holding 2 silent sockets each, 25 s", figures);
        }
        if (runs("mediaCommand")) {
            for (const bool hangs : {false, true}) {
                const std::string row = hangs ? "10000 mediaCommand to a player that never answers"
                                              : "10000 mediaCommand to a player that refuses each";
                if (auto reason = testing_support::PrivateBus::unavailableReason()) {
                    std::printf("%-52s skipped: %s\n", row.c_str(), reason->c_str());
                    break;
                }
                try {
                    // A companion of its own, on a bus where the player that now playing shows misbehaves.
                    testing_support::XvfbServer screen;
                    testing_support::PrivateBus bus;
                    testing_support::ScriptedMediaPlayer player(bus.address(), "companion");
                    player.send(R"({"status":"Playing","metadata":{"xesam:title":["s","Song"]}})");
                    testing_support::CompanionProcess process(
                        companionPath(), bus.folder(), screen.displayName(), {"--headless"},
                        testing_support::EnvironmentChanges{{"DBUS_SESSION_BUS_ADDRESS", bus.address()}});
                    auto phone = process.pair(process.waitUntilReady(), "Media Phone", 30s);
                    std::this_thread::sleep_for(1s);
                    player.send(hangs ? R"({"hang":true})" : R"({"refuse":true})");
                    Figures figures;
                    const std::size_t before = lineCount(process.log());
                    const auto start = Clock::now();
                    int sent = 0;
                    while (sent < 10000 && Clock::now() < start + std::chrono::duration<double>(10 * scale)) {
                        phone->send(Message::MediaCommand{TrackpadProtocol::MediaCommand::playPause});
                        if (++sent % 100 == 0) {
                            figures.peakKiB = std::max(figures.peakKiB, residentKiB(process.pid()));
                            while (phone->receive(0)) {
                            }
                        }
                        std::this_thread::sleep_until(start + std::chrono::microseconds(1000 * sent));
                    }
                    std::this_thread::sleep_for(3s);  // the last calls' time-outs
                    figures.afterKiB = residentKiB(process.pid());
                    figures.alive = process.running();
                    figures.logLines = lineCount(process.log()) - before;
                    figures.note = std::to_string(sent) + " sent";
                    printRow(row, figures);
                } catch (const std::exception& error) {
                    std::printf("%-52s skipped: %s\n", row.c_str(), error.what());
                }
            }
        }
        if (runs("SIGTERM while an icon helper draws")) {
            // A companion of its own, since this one ends.
            try {
                Companion own;
                addSlowApp(own);
                Figures figures;
                figures.peakKiB = residentKiB(own.process().pid());
                own.attacker().send(Message::AppIconRequest{{"org.example.Slow", 256}});
                testing_support::waitUntil([&] { return helpersRunning(own) > 0; }, 5s);
                const int drawing = helpersRunning(own);
                const auto signalled = Clock::now();
                ::kill(own.process().pid(), SIGTERM);
                testing_support::waitUntil([&] { return !own.process().running(); }, 30s);
                const double exit = seconds(Clock::now() - signalled);
                figures.alive = own.process().running();
                figures.note =
                    std::to_string(drawing) + " icon helper drawing; " +
                    (figures.alive ? std::string("still running 30 s after SIGTERM")
                                   : "exited " + std::to_string(exit).substr(0, 5) + " s after SIGTERM");
                printRow("SIGTERM while an icon helper draws", figures);
            } catch (const std::exception& error) {
                std::printf("%-52s skipped: %s\n", "SIGTERM while an icon helper draws", error.what());
            }
        }
    }

    // The overlay rows come late: what they leave drawn slows the main loop for the rows after them.
    if (runs("an annotation mark"))
        printRow("an annotation mark to (20,20)", companion.measure(3, [&](Clock::time_point) {
            sendAll(companion, {annotation({Annotation::Begin{1, AnnotationTool::pen, {0.5f, 0.5f}}}),
                                annotation({Annotation::Update{1, 1, {20.0f, 20.0f}}}),
                                annotation({Annotation::End{1, {20.0f, 20.0f}}})});
        }));

    if (runs("100 display-sized marks"))
        printRow("100 display-sized marks", companion.measure(3, [&](Clock::time_point) {
            std::vector<Message> marks;
            for (std::uint16_t stroke = 2; stroke < 102; ++stroke) {
                const auto tool = static_cast<AnnotationTool>(stroke % 4);
                marks.push_back(annotation({Annotation::Begin{stroke, tool, {0.0f, 0.0f}}}));
                marks.push_back(annotation({Annotation::Update{stroke, 1, {1.0f, 1.0f}}}));
                marks.push_back(annotation({Annotation::End{stroke, {1.0f, 1.0f}}}));
            }
            sendAll(companion, marks);
        }));

    if (runs("a long pen stroke"))
        printRow("a long pen stroke (60000 points)", companion.measure(4, [&](Clock::time_point) {
            std::vector<Message> stroke{
                annotation({Annotation::Begin{200, AnnotationTool::pen, {0.1f, 0.1f}}})};
            for (std::uint16_t i = 1; i <= 60000; ++i) {
                const float t = static_cast<float>(i) / 60000.0f;
                stroke.push_back(annotation(
                    {Annotation::Update{200, i, {0.1f + 0.8f * t, 0.5f + 0.4f * std::sin(t * 300.0f)}}}));
            }
            stroke.push_back(annotation({Annotation::End{200, {0.9f, 0.5f}}}));
            sendAll(companion, stroke);
        }));
    companion.sendSafely(annotation({Annotation::Clear{}}));

    if (runs("242 openApp")) {
        int answers = 0;
        Figures figures = companion.measure(5, [&](Clock::time_point end) {
            for (int i = 0; i < 242; ++i) {
                companion.attacker().send(Message::OpenApp{"org.example.Sleeper"});
            }
            while (answers < 242 && Clock::now() < end) {
                if (auto message = companion.attacker().receive(0.1);
                    message && message->is<Message::OpenAppResult>()) {
                    ++answers;
                }
            }
        });
        figures.note += std::to_string(answers) + " of 242 answered in the row";
        printRow("242 openApp for one app", figures);
    }

    // What the attacks left behind: the honest phone alone for 10 s, then the memory the process holds.
    if (runs("idle again"))
        printRow("(idle again, 10 s after the attacks)", companion.measure(10, [](Clock::time_point) {}));

    // Last: the process ends.
    if (runs("SIGTERM while backlogs exist")) {
        Figures figures = companion.measure(
            2,
            [&](Clock::time_point end) {
                for (std::uint32_t i = 0; Clock::now() < end; ++i) {
                    try {
                        companion.attacker().send(Message::AppIconRequest{
                            {"debian-xterm", static_cast<std::uint16_t>(16 + i % 2000)}});
                        companion.attacker().send(Message::UnlockRequest{{i + 1, "not the password"}});
                        companion.attacker().send(Message::OpenApp{"org.example.Sleeper"});
                    } catch (const std::exception&) {
                        break;  // it stopped reading us: the backlog is there
                    }
                }
            },
            false);
        const auto signalled = Clock::now();
        ::kill(companion.process().pid(), SIGTERM);
        testing_support::waitUntil([&] { return !companion.process().running(); }, 30s);
        const double exit = seconds(Clock::now() - signalled);
        figures.note += companion.process().running()
                            ? "still running 30 s after SIGTERM"
                            : "exited " + std::to_string(exit).substr(0, 5) + " s after SIGTERM";
        printRow("SIGTERM while backlogs exist", figures);
    }
}

// ---- Text: a phone typing 8 MB while another presses a key; a stop with text queued ------------------
// A companion of their own, so that its idle memory is known and the stop can be measured.

// Seconds from phone B's key (Z) to its arrival at the focused client; none within 60 s.
std::optional<double> keyDelay(PhoneTestClient& phone, const testing_support::XKeyReader& reader) {
    const auto zs = [&] {
        const std::string text = reader.text();
        return std::count(text.begin(), text.end(), 'z');
    };
    const auto before = zs();
    const auto sent = Clock::now();
    phone.send(Message::KeyCombination{{TrackpadProtocol::KeyCombination::Code{6}, {}}});
    while (Clock::now() - sent < 60s) {
        if (zs() > before) {
            return seconds(Clock::now() - sent);
        }
        std::this_thread::sleep_for(1ms);
    }
    return std::nullopt;
}

std::string delayText(std::optional<double> delay) {
    return delay ? std::to_string(static_cast<int>(*delay * 1000)) + " ms" : "none in 60 s";
}

void textAttacks() {
    if (runs("text 8 MB")) {
        Companion companion;
        testing_support::XKeyReader reader(companion.display());
        const auto phoneB = companion.pairFrom("127.0.0.6", "Key Phone");
        const Figures idle = companion.measure(2, [](Clock::time_point) {});
        std::string delays;
        Figures figures = companion.measure(1, [&](Clock::time_point) {
            const std::vector<Message> messages = mixedScriptText(8 << 20);
            std::thread sender([&] {
                try {
                    sendAll(companion, messages);
                } catch (const std::exception&) {
                }
            });
            std::this_thread::sleep_for(2s);
            delays += "B's key while A types " + delayText(keyDelay(*phoneB, reader));
            sender.join();
            companion.attacker().disconnect();
            delays += ", after A left " + delayText(keyDelay(*phoneB, reader));
            // The row's after-figure is taken 10 s after the text was sent.
            std::this_thread::sleep_for(9s);
        });
        figures.note += "idle " + std::to_string(idle.afterKiB >> 10) + " MiB; " + delays;
        printRow("text 8 MB", figures);
    }
    for (const std::size_t kilobytes : {256, 512, 1024}) {
        const std::string row = "SIGTERM with " + std::to_string(kilobytes) + " KB of text queued";
        if (!runs(row)) {
            continue;
        }
        Companion companion;
        // Lines of characters the keymap lacks (slow to type), each message ending with a line break, a
        // key of its own among the text.
        std::vector<Message> lines;
        char32_t next = U'\u4e00';
        for (std::size_t bytes = 0; bytes < (kilobytes << 10);) {
            std::string line;
            while (line.size() < 240) {
                const char32_t c = next;
                next = next + 1 < U'\u4e00' + 2000 ? next + 1 : U'\u4e00';
                line += static_cast<char>(0xE0 | (c >> 12));
                line += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                line += static_cast<char>(0x80 | (c & 0x3F));
            }
            bytes += line.size() + 1;
            lines.push_back(Message::Text{line + "\n"});
        }
        Figures figures = companion.measure(0.5, [&](Clock::time_point) { sendAll(companion, lines); });
        const auto signalled = Clock::now();
        ::kill(companion.process().pid(), SIGTERM);
        testing_support::waitUntil([&] { return !companion.process().running(); }, 60s);
        figures.note += companion.process().running()
                            ? "still running 60 s after SIGTERM"
                            : "exited " + std::to_string(seconds(Clock::now() - signalled)).substr(0, 5) +
                                  " s after SIGTERM";
        printRow(row, figures);
    }
}

void wideScreenshot() {
    testing_support::XvfbServer::Options wide;
    wide.width = 17000;
    wide.height = 400;
    std::unique_ptr<Companion> companion;
    try {
        companion = std::make_unique<Companion>(wide);
    } catch (const std::exception& error) {
        std::printf("%-52s skipped: %s\n", "screenshot of a monitor 17000 px wide", error.what());
        return;
    }
    Figures figures = companion->measure(6, [&](Clock::time_point end) {
        auto& phone = companion->attacker();
        phone.send(Message::ScreenDisplaysRequest{});
        const auto displays = phone.receiveCase<Message::ScreenDisplays>(5);
        if (!displays || displays->displays.empty()) {
            throw std::runtime_error("no display list");
        }
        phone.send(Message::ScreenshotRequest{{77, displays->displays.front().id, 8192}});
        int parts = 0;
        while (Clock::now() < end) {
            const auto part = phone.receiveCase<Message::Screenshot>(0.2);
            parts += part ? 1 : 0;
        }
        if (parts == 0) {
            throw std::runtime_error("no screenshot came");
        }
    });
    if (figures.note.empty()) {
        figures.note = "answered";
    }
    printRow("screenshot of a monitor 17000 px wide", figures);
}

// ---- Screen view: sessions, display changes and large screenshots ----------------------------------

// The process's threads and open descriptors now.
std::pair<long, long> threadsAndDescriptors(pid_t pid) {
    long threads = -1;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) {
            threads = std::stol(line.substr(8));
        }
    }
    std::error_code ignored;
    long descriptors = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored);
         it != std::filesystem::directory_iterator(); it.increment(ignored)) {
        ++descriptors;
    }
    return {threads, descriptors};
}

// Samples the process's threads and descriptors until stopped; the highest counts seen.
class ThreadCounter {
  public:
    explicit ThreadCounter(pid_t pid)
        : thread_([this, pid] {
              while (!stop_) {
                  const auto [threads, descriptors] = threadsAndDescriptors(pid);
                  peakThreads_ = std::max(peakThreads_.load(), threads);
                  peakDescriptors_ = std::max(peakDescriptors_.load(), descriptors);
                  std::this_thread::sleep_for(50ms);
              }
          }) {}
    ~ThreadCounter() { finish(); }
    void finish() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    long peakThreads() const { return peakThreads_; }
    long peakDescriptors() const { return peakDescriptors_; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<long> peakThreads_{0};
    std::atomic<long> peakDescriptors_{0};
    std::thread thread_;
};

// Gives the named monitor (holding the screen's first output) a new size, as a resolution change does:
// the server refuses to change a monitor in place, so it is deleted and set again under a grab. The
// command-line xrandr cannot set monitors on Xvfb, so the request is sent as the test server sends it.
bool resizeMonitor(const std::string& display, const std::string& name, int width, int height) {
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    bool done = false;
    if (xcb_connection_has_error(connection) == 0) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        auto* resources = xcb_randr_get_screen_resources_reply(
            connection, xcb_randr_get_screen_resources(connection, root), nullptr);
        auto* atom = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
            nullptr);
        if (resources != nullptr && atom != nullptr &&
            xcb_randr_get_screen_resources_outputs_length(resources) > 0) {
            xcb_grab_server(connection);
            std::free(xcb_request_check(connection,
                                        xcb_randr_delete_monitor_checked(connection, root, atom->atom)));
            struct {
                xcb_randr_monitor_info_t info;
                xcb_randr_output_t outputs[1];
            } request{};
            request.info.name = atom->atom;
            request.info.primary = 1;
            request.info.nOutput = 1;
            request.info.width = static_cast<std::uint16_t>(width);
            request.info.height = static_cast<std::uint16_t>(height);
            request.info.width_in_millimeters = static_cast<std::uint32_t>(width * 254 / 960);
            request.info.height_in_millimeters = static_cast<std::uint32_t>(height * 254 / 960);
            request.outputs[0] = xcb_randr_get_screen_resources_outputs(resources)[0];
            xcb_randr_set_monitor_request_t header{};
            header.window = root;
            iovec parts[6] = {};
            parts[2] = {&header, sizeof header};
            parts[4] = {&request, sizeof request};
            xcb_protocol_request_t protocol = {4, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
            xcb_generic_error_t* error = xcb_request_check(
                connection,
                xcb_void_cookie_t{xcb_send_request(connection, XCB_REQUEST_CHECKED, parts + 2, &protocol)});
            done = error == nullptr;
            std::free(error);
            xcb_ungrab_server(connection);
            xcb_flush(connection);
        }
        std::free(resources);
        std::free(atom);
    }
    xcb_disconnect(connection);
    return done;
}

// The first display a phone is offered, asked for on its session.
std::vector<TrackpadProtocol::ScreenDisplay> listedDisplays(PhoneTestClient& phone) {
    phone.send(Message::ScreenDisplaysRequest{});
    const auto displays = phone.receiveCase<Message::ScreenDisplays>(10);
    if (!displays || displays->displays.empty()) {
        throw std::runtime_error("no display list");
    }
    return displays->displays;
}

// Seconds until the screenshot of that number begins to arrive (or, `whole`, has arrived whole); none
// within `timeout`.
std::optional<double> screenshotTime(PhoneTestClient& phone, std::uint32_t number, std::uint32_t displayID,
                                     double timeout, std::uint16_t maxPixelLength = 640, bool whole = false) {
    const auto sent = Clock::now();
    phone.send(Message::ScreenshotRequest{{number, displayID, maxPixelLength}});
    const auto part = phone.receiveUntil(
        [&](const Message& message) {
            const auto* shot = message.as<Message::Screenshot>();
            return shot != nullptr && shot->part.transfer == number &&
                   (!whole || shot->part.part + 1 >= shot->part.partCount);
        },
        timeout);
    if (!part) {
        return std::nullopt;
    }
    return seconds(Clock::now() - sent);
}

// The noise moved a few pixels every 100 ms, on a thread of its own, while the object lives.
class ChangingPicture {
  public:
    ChangingPicture(const std::string& display, int blockSize)
        : thread_([this, display, blockSize] {
              std::optional<testing_support::NoisyScreen> screen;
              try {
                  screen.emplace(display, blockSize);
              } catch (const std::exception&) {
              }
              shown_ = true;
              while (screen && !stop_) {
                  screen->change();
                  std::this_thread::sleep_for(100ms);
              }
          }) {
        while (!shown_) {
            std::this_thread::sleep_for(10ms);
        }
    }
    ~ChangingPicture() {
        stop_ = true;
        thread_.join();
    }
    ChangingPicture(const ChangingPicture&) = delete;
    ChangingPicture& operator=(const ChangingPicture&) = delete;

  private:
    std::atomic<bool> shown_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::size_t occurrences(const std::string& text, const std::string& what, std::size_t from = 0) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what, from); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// Phones that ask for full-size screenshots of a changing 1920x1080 screen and read nothing, and 3 s later
// another phone's 1024 px screenshot: how long until it has arrived whole, and how long until the companion
// let the phones that do not read go.
void unreadScreenshots(int unreadPhones, int each, const std::string& name) {
    Companion companion;
    auto other = companion.pairFrom("127.0.0.6", "Other Phone");
    std::unique_ptr<PhoneTestClient> second;
    if (unreadPhones > 1) {
        second = companion.pairFrom("127.0.0.7", "Second Hostile Phone");
    }
    // Finer than the other rows' noise: answers of megabytes, as a detailed desktop gives, more than the
    // sockets of a phone that does not read take in.
    ChangingPicture picture(companion.display(), 2);
    const std::uint32_t display = listedDisplays(*other).front().id;
    std::string note;
    Figures figures = companion.measure(40, [&](Clock::time_point end) {
        std::vector<PhoneTestClient*> unread{&companion.attacker()};
        if (second) {
            unread.push_back(second.get());
        }
        const std::size_t logBefore = companion.process().log().size();
        const auto asked = Clock::now();
        std::uint32_t number = 1;
        for (PhoneTestClient* phone : unread) {
            for (int i = 0; i < each; ++i) {
                phone->send(Message::ScreenshotRequest{{number++, display, 8192}});
            }
        }
        std::this_thread::sleep_until(asked + 3s);
        const auto answer = screenshotTime(*other, 901, display, 25, 1024, true);
        std::optional<double> letGo;
        while (!letGo && Clock::now() < end) {
            if (occurrences(companion.process().log(), "does not take its data", logBefore) >=
                unread.size()) {
                letGo = seconds(Clock::now() - asked);
            } else {
                std::this_thread::sleep_for(200ms);
            }
        }
        char text[256];
        std::snprintf(
            text, sizeof text, "other phone's 1024 px screenshot whole after %s; unread phones let go %s; ",
            answer ? (std::to_string(static_cast<int>(*answer * 1000)) + " ms").c_str() : "none in 25 s",
            letGo ? ("after " + std::to_string(static_cast<int>(*letGo)) + " s").c_str()
                  : "not within the row");
        note = text;
    });
    figures.note = note + figures.note;
    printRow(name, figures);
}

void screenViewRows() {
    if (runs("session churn asking for two screenshots")) {
        Companion companion;
        auto other = companion.pairFrom("127.0.0.6", "Other Phone");
        const std::uint32_t display = listedDisplays(*other).front().id;
        const pid_t pid = companion.process().pid();
        std::string counts;
        int sessions = 0;
        Figures figures = companion.measure(10, [&](Clock::time_point end) {
            ThreadCounter counter(pid);
            const std::uint32_t attacked = listedDisplays(companion.attacker()).front().id;
            while (Clock::now() < end) {
                try {
                    companion.attacker().send(Message::ScreenshotRequest{{1, attacked, 8192}});
                    companion.attacker().send(Message::ScreenshotRequest{{2, attacked, 8192}});
                    ++sessions;
                } catch (const std::exception&) {
                }
                companion.reconnectAttacker();
            }
            companion.attacker().disconnect();
            counter.finish();
            const auto [threads, descriptors] = threadsAndDescriptors(pid);
            const auto answer = screenshotTime(*other, 901, display, 60);
            char text[256];
            std::snprintf(
                text, sizeof text,
                "%d sessions; threads peak %ld, after %ld; descriptors peak %ld, after %ld; other "
                "phone's screenshot after the attack: %s; ",
                sessions, counter.peakThreads(), threads, counter.peakDescriptors(), descriptors,
                answer ? (std::to_string(static_cast<int>(*answer * 1000)) + " ms").c_str() : "none in 60 s");
            counts = text;
        });
        figures.note = counts + figures.note;
        printRow("session churn asking for two screenshots, 10 s", figures);
    }

    if (runs("views started and stopped while the screen is resized")) {
        testing_support::XvfbServer::Options screen;
        screen.monitors.push_back({"big", 0, 0, 1920, 1080, true});
        Companion companion(screen);
        int resizes = 0;
        Figures figures = companion.measure(10, [&](Clock::time_point end) {
            const std::uint32_t display = listedDisplays(companion.attacker()).front().id;
            std::atomic<bool> done{false};
            // The screen's one monitor alternates between two sizes, as a user trying resolutions.
            std::thread resizer([&] {
                for (bool small = true; !done; small = !small) {
                    resizes +=
                        resizeMonitor(companion.display(), "big", small ? 1280 : 1920, small ? 720 : 1080);
                    std::this_thread::sleep_for(100ms);
                }
            });
            for (std::uint32_t i = 0; Clock::now() < end; ++i) {
                try {
                    companion.attacker().send(Message::ScreenViewStart{
                        {display, 1920, 30, TrackpadProtocol::ScreenVideoCodecs::h264}});
                    const auto until = Clock::now() + 50ms;
                    while (Clock::now() < until && companion.attacker().receive(0.005)) {
                    }
                    companion.attacker().send(Message::ScreenViewStop{});
                    while (companion.attacker().receive(0.001)) {
                    }
                } catch (const std::exception&) {
                    companion.reconnectAttacker();
                }
            }
            done = true;
            resizer.join();
        });
        figures.note = std::to_string(resizes) + " resizes; " + figures.note;
        printRow("views started and stopped while the screen is resized, 10 s", figures);
    }

    if (runs("screenshots of a 7680x4320 display")) {
        testing_support::XvfbServer::Options large;
        large.width = 7680;
        large.height = 4320;
        Companion companion(large);
        testing_support::NoisyScreen content(companion.display());
        int answered = 0;
        Figures figures = companion.measure(10, [&](Clock::time_point end) {
            const std::uint32_t display = listedDisplays(companion.attacker()).front().id;
            for (std::uint32_t number = 1; Clock::now() < end; ++number) {
                try {
                    companion.attacker().send(Message::ScreenshotRequest{{number, display, 8192}});
                    while (auto message = companion.attacker().receive(0.002)) {
                        const auto* part = message->as<Message::Screenshot>();
                        answered += part != nullptr && part->part.part == 0 ? 1 : 0;
                    }
                } catch (const std::exception&) {
                    companion.reconnectAttacker();
                }
            }
        });
        figures.note = std::to_string(answered) + " answered; " + figures.note;
        printRow("screenshots of a 7680x4320 display at full speed, 10 s", figures);
    }

    if (runs("8 unread 1920x1080 screenshots")) {
        unreadScreenshots(1, 8, "8 unread 1920x1080 screenshots, another's, 40 s");
    }
    if (runs("two phones with 4 unread screenshots")) {
        unreadScreenshots(2, 4, "two phones with 4 unread screenshots, another's, 40 s");
    }

    if (runs("a screenshot of each of 17 displays")) {
        testing_support::XvfbServer::Options screens;
        screens.width = 17 * 1920;
        screens.height = 1080;
        for (int i = 0; i < 17; ++i) {
            screens.monitors.push_back({"M" + std::to_string(i), i * 1920, 0, 1920, 1080, i == 0});
        }
        Companion companion(screens);
        testing_support::NoisyScreen content(companion.display());
        int answered = 0;
        std::size_t listed = 0;
        Figures figures = companion.measure(10, [&](Clock::time_point end) {
            std::uint32_t number = 1;
            while (Clock::now() < end) {
                try {
                    const auto displays = listedDisplays(companion.attacker());
                    listed = displays.size();
                    for (const auto& display : displays) {
                        companion.attacker().send(Message::ScreenshotRequest{{number++, display.id, 8192}});
                    }
                    // All of them answered (or a second passed), then the next round.
                    int parts = 0;
                    const auto until = Clock::now() + 1s;
                    while (parts < static_cast<int>(displays.size()) && Clock::now() < until) {
                        if (auto message = companion.attacker().receive(0.05)) {
                            const auto* part = message->as<Message::Screenshot>();
                            parts += part != nullptr && part->part.part == 0 ? 1 : 0;
                        }
                    }
                    answered += parts;
                } catch (const std::exception&) {
                    companion.reconnectAttacker();
                }
            }
        });
        figures.note = std::to_string(listed) + " displays listed, " + std::to_string(answered) +
                       " answered; " + figures.note;
        printRow("a screenshot of each of 17 displays at once, 10 s", figures);
    }
}

// Volume requests answered by a real sound server (the rows above run without one, so that every
// request reads as unsupported): the level and the mute state change with nearly every request, and
// every change is a notice to each phone.
void volumeWithSoundServer() {
    const char* row = "volume requests to a sound server, 5 s";
    if (auto reason = testing_support::PulseAudioSandbox::unavailableReason()) {
        std::printf("%-52s skipped: %s\n", row, reason->c_str());
        return;
    }
    std::unique_ptr<testing_support::PulseAudioSandbox> sound;
    std::unique_ptr<Companion> companion;
    try {
        sound = std::make_unique<testing_support::PulseAudioSandbox>();
        // The companion takes the server from its environment, which it inherits.
        ::setenv("PULSE_SERVER", sound->serverAddress().c_str(), 1);
        companion = std::make_unique<Companion>();
        ::unsetenv("PULSE_SERVER");
    } catch (const std::exception& error) {
        ::unsetenv("PULSE_SERVER");
        std::printf("%-52s skipped: %s\n", row, error.what());
        return;
    }
    Figures figures = companion->measure(5, [&](Clock::time_point end) {
        flood(*companion, end, [](std::uint64_t i) {
            switch (i % 4) {
                case 0:
                    return Message(Message::SetMute{i % 8 == 0});
                case 3:
                    return Message(Message::VolumeStatusRequest{});
                default:
                    return Message(Message::SetVolume{static_cast<std::uint8_t>((i * 37) % 101)});
            }
        });
    });
    // The row means something only if the companion reached the server.
    try {
        auto& phone = companion->attacker();
        while (phone.receive(0.2)) {
        }
        phone.send(Message::VolumeStatusRequest{});
        const auto status = phone.receiveCase<Message::VolumeStatus>(5);
        if (!status || !status->status.isSupported) {
            figures.note += "the companion did not reach the sound server";
        }
    } catch (const std::exception& error) {
        figures.note += error.what();
    }
    printRow(row, figures);
}

// ---- Annotation bursts on two monitors --------------------------------------------------------------

// Sends `messages` at `perSecond`, in bursts of a millisecond's worth, until all are sent or `end`.
void paced(Companion& companion, const std::vector<Message>& messages, double perSecond,
           Clock::time_point end) {
    const auto start = Clock::now();
    std::size_t sent = 0;
    while (sent < messages.size() && Clock::now() < end) {
        const auto due = static_cast<std::size_t>(seconds(Clock::now() - start) * perSecond) + 1;
        for (; sent < std::min(due, messages.size()); ++sent) {
            companion.attacker().send(messages[sent]);
        }
        while (companion.attacker().receive(0.0001)) {
        }
        std::this_thread::sleep_for(1ms);
    }
}

// `count` marks over the whole display, of every tool but the spotlight.
std::vector<Message> displaySizedMarks(std::uint16_t first, int count) {
    using TrackpadProtocol::Annotation;
    using TrackpadProtocol::AnnotationTool;
    std::vector<Message> marks;
    for (int i = 0; i < count; ++i) {
        const auto stroke = static_cast<std::uint16_t>(first + i);
        const auto tool = static_cast<AnnotationTool>(i % 3);
        const float inset = 0.001f * static_cast<float>(i % 100);
        marks.push_back(annotation({Annotation::Begin{stroke, tool, {inset, inset}}}));
        marks.push_back(annotation({Annotation::Update{stroke, 1, {0.5f, 1.0f - inset}}}));
        marks.push_back(annotation({Annotation::End{stroke, {1.0f - inset, 1.0f - inset}}}));
    }
    return marks;
}

// Holds `count` display-sized marks (a new one every second keeps them from fading) while the view goes
// from one monitor to the other every `interval`.
void switchingViews(Companion& companion, Clock::time_point end, int count, Clock::duration interval) {
    auto& phone = companion.attacker();
    phone.send(Message::ScreenDisplaysRequest{});
    const auto displays = phone.receiveCase<Message::ScreenDisplays>(5);
    if (!displays || displays->displays.size() < 2) {
        throw std::runtime_error("two displays were not listed");
    }
    phone.send(Message::ScreenViewSelectDisplay{displays->displays[0].id});
    sendAll(companion, displaySizedMarks(1, count));
    auto nextMark = Clock::now() + 1s;
    std::uint16_t stroke = 5000;
    for (std::size_t turn = 1; Clock::now() < end; ++turn) {
        phone.send(Message::ScreenViewSelectDisplay{displays->displays[turn % 2].id});
        if (Clock::now() >= nextMark) {
            sendAll(companion, displaySizedMarks(stroke++, 1));
            nextMark += 1s;
        }
        while (phone.receive(0.0001)) {
        }
        std::this_thread::sleep_for(interval);
    }
    phone.send(annotation({TrackpadProtocol::Annotation::Clear{}}));
}

void annotationBursts() {
    using TrackpadProtocol::Annotation;
    using TrackpadProtocol::AnnotationTool;
    const std::string undoAndClear = "annotation undo and clear at 1000/s, 5 s";
    const std::string pens = "50 pens of 400 points at 1000/s";
    const std::string fastSwitches = "300 display-sized marks, view switched every 0.1 s, 10 s";
    const std::string slowSwitches = "1000 display-sized marks, view switched every 1 s, 10 s";
    if (!runs(undoAndClear) && !runs(pens) && !runs(fastSwitches) && !runs(slowSwitches)) {
        return;
    }
    testing_support::XvfbServer::Options twoMonitors;
    twoMonitors.width = 1920 + 2560;
    twoMonitors.height = 1440;
    twoMonitors.monitors = {{"LEFT", 0, 0, 1920, 1080, true}, {"RIGHT", 1920, 0, 2560, 1440, false}};
    std::unique_ptr<Companion> companion;
    try {
        companion = std::make_unique<Companion>(twoMonitors);
    } catch (const std::exception& error) {
        std::printf("%-52s skipped: %s\n", "annotation bursts on two monitors", error.what());
        return;
    }
    auto row = [&](const std::string& name, double attackSeconds,
                   const std::function<void(Clock::time_point)>& attack) {
        if (!runs(name)) {
            return;
        }
        printRow(name, companion->measure(attackSeconds, attack));
        companion->sendSafely(annotation({Annotation::Clear{}}));
    };

    row(undoAndClear, 5, [&](Clock::time_point end) {
        // Every millisecond a display-sized box, then an undo or a clear.
        std::vector<Message> messages;
        for (std::uint16_t i = 0; i < 10000; ++i) {
            const auto stroke = static_cast<std::uint16_t>(i % 4000 + 1);
            messages.push_back(annotation({Annotation::Begin{stroke, AnnotationTool::box, {0.05f, 0.05f}}}));
            messages.push_back(annotation({Annotation::End{stroke, {0.95f, 0.95f}}}));
            messages.push_back(i % 2 ? annotation({Annotation::Clear{}})
                                     : annotation({Annotation::Undo{stroke}}));
        }
        paced(*companion, messages, 3000, end);
    });

    row(pens, 20, [&](Clock::time_point end) {
        std::vector<Message> messages;
        for (std::uint16_t pen = 1; pen <= 50; ++pen) {
            messages.push_back(annotation({Annotation::Begin{pen, AnnotationTool::pen, {0.0f, 0.5f}}}));
            for (std::uint16_t i = 1; i <= 400; ++i) {
                const float t = static_cast<float>(i) / 400.0f;
                messages.push_back(
                    annotation({Annotation::Update{pen, i, {t, 0.5f + 0.45f * std::sin(t * 40.0f + pen)}}}));
            }
            messages.push_back(annotation({Annotation::End{pen, {1.0f, 0.5f}}}));
        }
        paced(*companion, messages, 1000, end);
    });

    row(fastSwitches, 10, [&](Clock::time_point end) { switchingViews(*companion, end, 300, 100ms); });

    row(slowSwitches, 10, [&](Clock::time_point end) { switchingViews(*companion, end, 1000, 1s); });
}

}  // namespace

// ---- An end under a mixed load ----------------------------------------------------------------------

// SIGTERM while a phone takes full-size screenshots of a 7680x4320 screen and leaves, another sends a
// 10000x10000 picture shortly before (so that it is still being decoded) and leaves, and two more start
// and stop screen views: the process must end with status 0 every time, whatever its queues were doing.
// Per run the signal's time, the exit status and the seconds the process took to end; then how many
// ended cleanly and those seconds' min/median/max.
void exitUnderLoad() {
    constexpr int runsWanted = 20;
    testing_support::XvfbServer::Options large;
    large.width = 7680;
    large.height = 4320;
    testing_support::XvfbServer server(large);
    testing_support::NoisyScreen content(server.displayName());
    // A baseline colour JPEG with full chroma and coarse noise, as a camera's photograph: slow to decode.
    std::mt19937 noise(5);
    std::vector<JSAMPLE> blocks(10000 / 8 * 3);
    const Bytes picture = compressJPEG(10000, 10000, 3, 75, false, true, [&](JSAMPLE* row, int y) {
        if (y % 8 == 0) {
            for (JSAMPLE& sample : blocks) {
                sample = static_cast<JSAMPLE>(noise());
            }
        }
        for (int x = 0; x < 10000; ++x) {
            for (int c = 0; c < 3; ++c) {
                row[x * 3 + c] = blocks[static_cast<std::size_t>(x / 8 * 3 + c)];
            }
        }
    });
    std::printf("  the picture: %zu KiB\n", picture.size() >> 10);
    std::mt19937 random(2024);
    auto between = [&random](double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random);
    };
    std::vector<double> exitSeconds;
    int clean = 0;
    int aborted = 0;
    for (int run = 1; run <= runsWanted; ++run) {
        const double shooterLeaves = between(0, 1.5);
        const double signalAt = between(3.5, 6);
        const double pictureAt = signalAt - between(0.2, 1.2);
        const double pictureLeaves = pictureAt + between(0, 1);
        testing_support::TemporaryFolder folder;
        testing_support::CompanionProcess process(companionPath(), folder.path, server.displayName());
        PhoneTestClient::Endpoint endpoint = process.waitUntilReady();
        std::vector<std::unique_ptr<PhoneTestClient>> phones;
        for (int i = 0; i < 4; ++i) {
            endpoint.source = "127.0.0." + std::to_string(3 + i);
            phones.push_back(process.pair(endpoint, "Phone " + std::to_string(i + 1)));
        }
        const std::uint32_t display = listedDisplays(*phones[0]).front().id;
        const auto start = Clock::now();
        auto at = [&start](double secondsIn) {
            return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(secondsIn));
        };
        std::atomic<bool> ended{false};
        std::vector<std::thread> load;
        load.emplace_back([&, phone = phones[0].get()] {
            try {
                for (std::uint32_t number = 1; Clock::now() < at(shooterLeaves); ++number) {
                    phone->send(Message::ScreenshotRequest{{number, display, 8192}});
                    while (phone->receive(0.002)) {
                    }
                }
            } catch (const std::exception&) {
            }
            phone->disconnect();
        });
        load.emplace_back([&, phone = phones[1].get()] {
            std::this_thread::sleep_until(at(pictureAt));
            try {
                for (const Message& message : pictureMessages(picture, 1)) {
                    phone->send(message);
                }
            } catch (const std::exception&) {
            }
            std::this_thread::sleep_until(std::min(at(pictureLeaves), at(signalAt)));
            phone->disconnect();
        });
        for (int i = 2; i < 4; ++i) {
            load.emplace_back([&, phone = phones[static_cast<std::size_t>(i)].get()] {
                while (!ended) {
                    try {
                        phone->send(Message::ScreenViewStart{
                            {display, 1920, 30, TrackpadProtocol::ScreenVideoCodecs::h264}});
                        const auto until = Clock::now() + 150ms;
                        while (Clock::now() < until && phone->receive(0.005)) {
                        }
                        phone->send(Message::ScreenViewStop{});
                        while (phone->receive(0.001)) {
                        }
                    } catch (const std::exception&) {
                        std::this_thread::sleep_for(10ms);
                    }
                }
            });
        }
        std::this_thread::sleep_until(at(signalAt));
        const auto signalled = Clock::now();
        ::kill(process.pid(), SIGTERM);
        while (process.running() && Clock::now() - signalled < 30s) {
            std::this_thread::sleep_for(1ms);
        }
        const double took = seconds(Clock::now() - signalled);
        ended = true;
        for (std::thread& thread : load) {
            thread.join();
        }
        // Signal 0 sends nothing: the process has ended (or is ended by stop() past its grace).
        const int status = process.stop(0);
        const bool terminated = process.log().find("terminate called") != std::string::npos;
        const bool exitedCleanly = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !terminated;
        clean += exitedCleanly ? 1 : 0;
        aborted += terminated || WIFSIGNALED(status) ? 1 : 0;
        exitSeconds.push_back(took);
        std::string ending = WIFEXITED(status) ? "status " + std::to_string(WEXITSTATUS(status))
                                               : "signal " + std::to_string(WTERMSIG(status));
        std::printf("  run %2d: screenshots until %.2f s, a picture at %.2f s, SIGTERM at %.2f s: %s%s, ended in "
                    "%.2f s\n",
                    run, shooterLeaves, pictureAt, signalAt, ending.c_str(),
                    terminated ? ", \"terminate called\" logged" : "", took);
        std::fflush(stdout);
    }
    std::printf("%-52s %d of %d ended with status 0, %d aborted or killed; seconds to end min %.2f / median %.2f / max "
                "%.2f; load average %s\n",
                "SIGTERM under a mixed load on 7680x4320", clean, runsWanted, aborted,
                percentile(exitSeconds, 0), percentile(exitSeconds, 0.5), percentile(exitSeconds, 1),
                loadAverage().c_str());
    std::fflush(stdout);
}

int main(int argc, char** argv) {
    scale = argc > 1 ? std::max(0.1, std::atof(argv[1])) : 1.0;
    onlyRows = argc > 2 ? argv[2] : "";
    testing_support::ignoreBrokenPipes();
    if (!testing_support::XvfbServer::isInstalled()) {
        std::fprintf(stderr, "hostile_phone: Xvfb is not installed\n");
        return 1;
    }
    const auto started = Clock::now();
    runRows();
    textAttacks();
    if (runs("screenshot of a monitor 17000 px wide")) {
        wideScreenshot();
    }
    screenViewRows();
    if (runs("volume requests to a sound server")) {
        volumeWithSoundServer();
    }
    annotationBursts();
    const char* before = std::getenv("LUMIVEX_COMPANION_BEFORE");
    hostile_decodes::runRows(runs, companionPath(), before != nullptr ? before : "");
    if (runs("SIGTERM under a mixed load")) {
        exitUnderLoad();
    }
    std::printf("whole run: %.0f s; load average at the end %s\n", seconds(Clock::now() - started),
                loadAverage().c_str());
    return 0;
}
