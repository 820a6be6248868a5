// Load driver for the whole companion process against a hostile paired phone, on a private Xvfb
// display: each row runs one attack for a bounded time while an honest phone (a host of its own) sends a
// probe every 20 ms and waits for its answer. Per row it prints the companion's resident memory at its
// peak during the attack and a second after it, the honest probe's round trip (p50, p99, lost), the
// lines the companion logged during the row, and whether it still runs. The last row ends the process.
//
// LUMIVEX_COMPANION, when set, is the companion executable to run (another build, or a wrapper).
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

#include "protocol/messages/LargePayloads.h"
#include "testing/CompanionProcess.h"
#include "testing/HostileClients.h"
#include "testing/PhoneTestClient.h"
#include "testing/XvfbServer.h"

// After <cstdio>: the libjpeg header needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <png.h>

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::PhoneTestClient;
using TrackpadProtocol::Message;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

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
        if (row.find(onlyRows.substr(from, bar == std::string::npos ? bar : bar - from)) != std::string::npos) {
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

long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

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

void writeJPEGScanlines(jpeg_compress_struct& info, int width, int height) {
    std::vector<JSAMPLE> row(static_cast<std::size_t>(width));
    for (int x = 0; x < width; ++x) {
        row[static_cast<std::size_t>(x)] = static_cast<JSAMPLE>((x / 97) % 2 ? 40 : 220);
    }
    JSAMPROW rows[1] = {row.data()};
    for (int y = 0; y < height; ++y) {
        jpeg_write_scanlines(&info, rows, 1);
    }
}

// A grey progressive JPEG of the given size, striped so that it is not trivially small.
Bytes progressiveJPEG(int width, int height) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 1;
    info.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 50, TRUE);
    jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    writeJPEGScanlines(info, width, height);
    jpeg_finish_compress(&info);
    Bytes bytes(buffer, buffer + size);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return bytes;
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
    long afterKiB = 0;
    std::vector<double> probes;  // seconds
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
    Figures measure(double attackSeconds, const std::function<void(Clock::time_point)>& attack) {
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
        std::this_thread::sleep_for(1s);
        stop = true;
        prober.join();
        figures.afterKiB = residentKiB(pid);
        figures.alive = process_->running();
        const std::string log = process_->log();
        figures.logLines = lineCount(log) - linesBefore;
        if (!figures.alive) {
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
    std::printf("%-52s %9s %9s %9s %9s %6s %7s %5s  %s\n", "attack", "peak MiB", "after MiB", "p50 ms",
                "p99 ms", "lost", "lines", "alive", "note");
}

void printRow(const std::string& name, const Figures& figures) {
    std::printf("%-52s %9.1f %9.1f %9.2f %9.2f %6d %7zu %5s  %s\n", name.c_str(),
                static_cast<double>(figures.peakKiB) / 1024.0, static_cast<double>(figures.afterKiB) / 1024.0,
                percentile(figures.probes, 0.5) * 1e3, percentile(figures.probes, 0.99) * 1e3, figures.lost,
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
            jpeg_compress_struct info{};
            jpeg_error_mgr errors{};
            info.err = jpeg_std_error(&errors);
            jpeg_create_compress(&info);
            unsigned char* buffer = nullptr;
            unsigned long size = 0;
            jpeg_mem_dest(&info, &buffer, &size);
            info.image_width = static_cast<JDIMENSION>(width);
            info.image_height = static_cast<JDIMENSION>(height);
            info.input_components = 3;
            info.in_color_space = JCS_RGB;
            jpeg_set_defaults(&info);
            jpeg_set_quality(&info, 60, TRUE);
            if (fullChroma) {
                info.comp_info[0].h_samp_factor = 1;
                info.comp_info[0].v_samp_factor = 1;
            }
            if (progressive) {
                jpeg_simple_progression(&info);
            }
            jpeg_start_compress(&info, TRUE);
            std::vector<JSAMPLE> row(static_cast<std::size_t>(width) * 3);
            JSAMPROW rows[1] = {row.data()};
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    JSAMPLE* pixel = &row[static_cast<std::size_t>(x) * 3];
                    pixel[0] = static_cast<JSAMPLE>((x / 61 + y / 47) % 2 ? 200 : 40);
                    pixel[1] = static_cast<JSAMPLE>(x * 255 / width);
                    pixel[2] = static_cast<JSAMPLE>(y * 255 / height);
                }
                jpeg_write_scanlines(&info, rows, 1);
            }
            jpeg_finish_compress(&info);
            Bytes bytes(buffer, buffer + size);
            jpeg_destroy_compress(&info);
            std::free(buffer);
            return bytes;
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
            Figures figures = target.measure(10, [&](Clock::time_point end) {
                smallPictures(target, end, 1000);
                const auto signalled = Clock::now();
                ::kill(target.process().pid(), SIGTERM);
                if (testing_support::waitUntil([&] { return !target.process().running(); }, 90s)) {
                    exit = seconds(Clock::now() - signalled);
                }
            });
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
        Figures figures = companion.measure(2, [&](Clock::time_point end) {
            for (std::uint32_t i = 0; Clock::now() < end; ++i) {
                try {
                    companion.attacker().send(
                        Message::AppIconRequest{{"debian-xterm", static_cast<std::uint16_t>(16 + i % 2000)}});
                    companion.attacker().send(Message::UnlockRequest{{i + 1, "not the password"}});
                    companion.attacker().send(Message::OpenApp{"org.example.Sleeper"});
                } catch (const std::exception&) {
                    break;  // it stopped reading us: the backlog is there
                }
            }
        });
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

}  // namespace

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
    if (runs("screenshot of a monitor 17000 px wide")) {
        wideScreenshot();
    }
    std::printf("whole run: %.0f s; load average at the end %s\n", seconds(Clock::now() - started),
                loadAverage().c_str());
    return 0;
}
