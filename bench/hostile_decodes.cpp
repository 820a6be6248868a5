// Rows of the hostile-phone benchmark for files crafted to cost a decoder far more than their size: a
// progressive grey JPEG of 6896x6896 with 499 scans (Huffman and arithmetic coded), a 64x64 PNG carrying
// 127 zTXt chunks that inflate to 8,000,000 bytes each (as a picture, as an app's icon asked in six
// sizes, as now-playing artwork, and as all three at once), and a 16-bit RGBA 10000x10000 PNG with every
// row Paeth-filtered. Then what a decode may still cost within its work budget: a 16-bit RGB PNG of
// 5826x5826 with tRNS whose rows are Paeth over random-looking bytes as a picture (the largest square of
// the costliest kind, bench/png_work), a 16-bit Paeth PNG of 4096x4096 as an icon, and interlaced ones held
// whole to be shrunk (of 4900x4900, and of 4097x4095, the most a PNG picture may hold), which hold the
// process's turn of large decodes while the honest phone's picture is a photograph that needs it too. Then
// arithmetic-coded grey JPEGs, each the largest of its shape that the work counted before let through:
// 1024x1024 in 3,416 DC first scans; in 2,000 AC scans of a run of zeros (8.3 MB) as a picture, and sent by
// two phones at once; 8200x8200 in one sequential scan of every AC coefficient (8.3 MB); 2904x2904 in 249
// such AC scans (8.2 MB, as much as a picture may be), which needs the turn of large decodes, while the
// honest phone's picture is a 4032x3024 progressive photograph; 1024x1024 in 3,416 such AC scans (14 MB) as
// now-playing artwork. Last, a 16-bit grey PNG of 9219x9219 with tRNS whose rows are Paeth over
// random-looking bytes (1.3 MB).
//
// Every round runs a companion of its own on one Xvfb display, with a private bus whose scripted media
// player it reads, and pairs two phones (three where two send the file). The hostile phone sends the
// file (or the player shows it as artwork), and 0.1 s later the honest phone asks for what fits the row: its
// 64x64 picture (shown once its window is on the display), an icon of another app, or the track the player
// now plays. Per round: the companion's CPU time from the attack until it is idle again, its peak resident
// memory (VmHWM, start-up included), how long the honest phone waited; then the same attack again and SIGTERM
// 0.3 s into it: the seconds until the process ended, its exit status, and whether it logged that it gave up
// waiting for its workers. Rounds of the two companions alternate; per companion the min/median/max.
#include "bench/HostileDecodes.h"

#include <signal.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "bench/ProcessFigures.h"
#include "platform/imaging/Codecs.h"
#include "protocol/messages/LargePayloads.h"
#include "testing/CompanionProcess.h"
#include "testing/CraftedImages.h"
#include "testing/PrivateBus.h"
#include "testing/ScriptedMediaPlayer.h"
#include "testing/XvfbServer.h"

// After <cstdio>: the libjpeg and libpng headers want it first.
#include <jpeglib.h>
#include <png.h>

namespace hostile_decodes {
namespace {

using Clock = std::chrono::steady_clock;
using testing_support::PhoneTestClient;
using TrackpadProtocol::Message;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr int roundsPerSide = 5;
// What the companion logs when it ends without waiting for its workers (app/main.cpp).
constexpr const char* gaveUpLine = "Workers still running";
constexpr const char* craftedApp = "org.example.Crafted";
constexpr const char* honestApp = "org.example.Honest";
// The honest picture, placed in a quarter of each side of the 1920x1080 display: a window fitted to 480x270
// (a square one 270x270).
constexpr int honestWidth = 480;
constexpr int honestHeight = 270;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double at(std::vector<double> values, double where) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(where * static_cast<double>(values.size() - 1) + 0.5)];
}

// Waits until the process has used less than 2% of a core for 0.5 s, at most `limit`.
void waitUntilIdle(pid_t pid, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    double last = bench_figures::cpuSeconds(pid);
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(500ms);
        const double now = bench_figures::cpuSeconds(pid);
        if (now - last < 0.01) {
            return;
        }
        last = now;
    }
}

// The seconds from now until the process last used more than a fifth of a core in a 10 ms tick, once it
// has used less for 0.3 s.
double secondsBusy(pid_t pid) {
    const auto start = Clock::now();
    auto lastBusy = start;
    double last = bench_figures::cpuSeconds(pid);
    while (Clock::now() - lastBusy < 300ms && Clock::now() - start < 30s) {
        std::this_thread::sleep_for(10ms);
        const double now = bench_figures::cpuSeconds(pid);
        if (now - last > 0.002) {
            lastBusy = Clock::now();
        }
        last = now;
    }
    return std::chrono::duration<double>(lastBusy - start).count();
}

// A viewable 32-bit top-level window (an overlay) fitted to width x height is on the display.
bool overlayShown(xcb_connection_t* connection, int width, int height) {
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    xcb_query_tree_reply_t* tree =
        xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr);
    if (tree == nullptr) {
        return false;
    }
    bool found = false;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree) && !found; ++i) {
        auto* attributes = xcb_get_window_attributes_reply(
            connection, xcb_get_window_attributes(connection, children[i]), nullptr);
        auto* geometry =
            xcb_get_geometry_reply(connection, xcb_get_geometry(connection, children[i]), nullptr);
        found = attributes != nullptr && geometry != nullptr &&
                attributes->map_state == XCB_MAP_STATE_VIEWABLE && geometry->depth == 32 &&
                ((geometry->width == width && geometry->height <= height) ||
                 (geometry->height == height && geometry->width <= width));
        std::free(attributes);
        std::free(geometry);
    }
    std::free(tree);
    return found;
}

std::vector<Message> pictureMessages(const Bytes& image, std::uint32_t transfer,
                                     TrackpadProtocol::PresentationImagePlacement placement) {
    const Bytes document = TrackpadProtocol::PresentationImageFile{image, placement}.encoded();
    std::vector<Message> messages;
    for (auto& part : TrackpadProtocol::splitIntoParts(transfer, document)) {
        messages.push_back(Message::PresentationImage{
            TrackpadProtocol::PresentationImage{TrackpadProtocol::PresentationImage::Part{std::move(part)}}});
    }
    return messages;
}

std::string track(const std::string& title, const std::optional<std::filesystem::path>& artwork) {
    std::string json = R"({"status":"Playing","metadata":{"xesam:title":["s",")" + title +
                       R"("],"xesam:artist":["as",["Band"]])";
    if (artwork) {
        json += R"(,"mpris:artUrl":["s","file://)" + artwork->string() + R"("])";
    }
    return json + "}}";
}

void appendPNG(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

// A transparent black 16-bit RGBA PNG, Adam7-interlaced, every row Paeth-filtered: of any shape, where
// the crafted one is square.
Bytes interlacedPaethPNG(int width, int height) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, appendPNG, nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 16,
                 PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_ADAM7, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_PAETH);
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    Bytes row(static_cast<std::size_t>(width) * 8, 0);
    std::vector<png_bytep> rows(static_cast<std::size_t>(height), row.data());
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

// An ordinary photograph as a phone sends it: RGB in 4:2:0, progressive, in the library's usual scans;
// shading and grain, so that it is as large as a camera's file. Its coefficients need the turn of large
// decodes from about 12 megapixels on.
Bytes progressivePhoto(int width, int height) {
    std::uint32_t grain = 7;
    return compressJPEG(width, height, 3, 90, true, false, [&](std::uint8_t* row, int y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                grain = grain * 1664525u + 1013904223u;
                row[static_cast<std::size_t>(x) * 3 + c] =
                    static_cast<std::uint8_t>((x * (c + 1) / 24 + y / 16 + (grain >> 28)) & 0xFF);
            }
        }
    });
}

// A plain 64x64 PNG: the honest phone's picture and icon.
Bytes smallPicture() {
    auto bitmap = *platform::imaging::Bitmap::create(64, 64, platform::imaging::PixelFormat::rgba, 4096);
    std::fill(bitmap.mutablePixels(), bitmap.mutablePixels() + bitmap.bytes().size(), std::uint8_t{200});
    return *platform::imaging::encodePNG(bitmap.view(), 6);
}

enum class Kind { picture, icon, artwork, allThree };

struct Row {
    std::string name;
    Kind kind;
    Bytes file;
    // The honest phone's picture: 64x64, or a photograph large enough to wait for the decode turn.
    Bytes honestPicture = smallPicture();
    // As artwork, the second attack's file: the same bytes would not be decoded again.
    Bytes variant = {};
    // The phones sending the file, each from a host of its own.
    int hostilePhones = 1;
};

struct Round {
    double cpuSeconds = 0;
    double peakMiB = 0;
    std::optional<double> wait;  // none: not answered within 60 s
    std::optional<double> exit;  // none: still running 30 s after SIGTERM
    std::optional<double> runsOn;  // after the hostile phones left mid-decode (pictures and icons)
    int status = -1;
    bool gaveUp = false;
};

// What every round shares: the display, the bus with its player, and the files the apps name.
class World {
  public:
    World() : player_(bus_.address(), "crafted"), x_(xcb_connect(screen_.displayName().c_str(), nullptr)) {
        writePNG(files_.path / "honest.png", smallPicture());
    }
    ~World() { xcb_disconnect(x_); }

    // The row's file as the crafted app's icon and the player's artwork; the variant is another file
    // of the same kind (artwork is decoded once per distinct file).
    void useFile(const Bytes& file, const Bytes& variant) {
        writePNG(crafted(false), file);
        writePNG(crafted(true), variant);
    }
    std::filesystem::path crafted(bool variant) const {
        return files_.path / (variant ? "crafted-variant" : "crafted");
    }
    std::filesystem::path honestIcon() const { return files_.path / "honest.png"; }

    const std::string& display() const { return screen_.displayName(); }
    const std::string& busAddress() const { return bus_.address(); }
    testing_support::ScriptedMediaPlayer& player() { return player_; }
    xcb_connection_t* x() { return x_; }

  private:
    static void writePNG(const std::filesystem::path& path, const Bytes& bytes) {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    testing_support::XvfbServer screen_;
    testing_support::PrivateBus bus_;
    testing_support::ScriptedMediaPlayer player_;
    testing_support::TemporaryFolder files_;
    xcb_connection_t* x_;
};

bool sendsPicture(Kind kind) {
    return kind == Kind::picture || kind == Kind::allThree;
}
bool asksIcons(Kind kind) {
    return kind == Kind::icon || kind == Kind::allThree;
}
bool playsArtwork(Kind kind) {
    return kind == Kind::artwork || kind == Kind::allThree;
}

// The hostile side of a row; `again` for the second attack, which needs what was not decoded yet.
void attack(const Row& row, World& world, const std::vector<std::unique_ptr<PhoneTestClient>>& hostile,
            int round, bool again, std::uint32_t transfer = 0) {
    if (sendsPicture(row.kind)) {
        for (const Message& message :
             pictureMessages(row.file, transfer != 0 ? transfer : again ? 2 : 1, {{0.5f, 0.5f}, 1.0f, 1.0f})) {
            for (const auto& phone : hostile) {
                phone->send(message);
            }
        }
    }
    if (asksIcons(row.kind)) {
        for (const int side : again ? std::vector<int>{40, 80, 112, 144, 160, 224}
                                    : std::vector<int>{48, 64, 96, 128, 192, 256}) {
            hostile.front()->send(Message::AppIconRequest{{craftedApp, static_cast<std::uint16_t>(side)}});
        }
    }
    if (playsArtwork(row.kind)) {
        world.player().send(
            track("Crafted " + std::to_string(round) + (again ? " again" : ""), world.crafted(again)));
    }
}

// Waits until the companion has read what each phone sent: its answer to a probe comes after it. The
// newest picture from any phone is the one shown, so the honest phone's must come after the others'.
void untilRead(const std::vector<std::unique_ptr<PhoneTestClient>>& phones) {
    for (const auto& phone : phones) {
        phone->send(Message::Probe{1, false});
        phone->receiveUntil([](const Message& message) { return message.is<Message::ProbeReply>(); }, 30);
    }
}

// How long the honest phone waited for what it asked, from its request (from the player's change for
// artwork).
std::optional<double> honestWait(const Row& row, World& world, PhoneTestClient& honest, int round,
                                 Clock::time_point attacked) {
    if (row.kind == Kind::icon) {
        const auto asked = Clock::now();
        honest.send(Message::AppIconRequest{{honestApp, 64}});
        const auto answer = honest.receiveUntil(
            [](const Message& message) {
                const auto* icon = message.as<Message::AppIcon>();
                return icon != nullptr && icon->icon.bundleID == honestApp;
            },
            60);
        return answer ? std::optional(secondsSince(asked)) : std::nullopt;
    }
    if (row.kind == Kind::artwork) {
        const std::string title = "Crafted " + std::to_string(round);
        const auto answer = honest.receiveUntil(
            [&](const Message& message) {
                const auto* playing = message.as<Message::NowPlaying>();
                return playing != nullptr && playing->nowPlaying.title == title;
            },
            60);
        return answer ? std::optional(secondsSince(attacked)) : std::nullopt;
    }
    const auto asked = Clock::now();
    for (const Message& message : pictureMessages(row.honestPicture, 7, {{0.5f, 0.5f}, 0.25f, 0.25f})) {
        honest.send(message);
    }
    if (!testing_support::waitUntil([&] { return overlayShown(world.x(), honestWidth, honestHeight); },
                                    60s)) {
        return std::nullopt;
    }
    return secondsSince(asked);
}

Round runRound(const std::string& companion, const Row& row, World& world, int round) {
    testing_support::TemporaryFolder folder;
    const auto applications = folder.path / "data" / "applications";
    std::filesystem::create_directories(applications);
    std::ofstream(applications / (std::string(craftedApp) + ".desktop"))
        << "[Desktop Entry]\nType=Application\nName=Crafted\nExec=/bin/true\nIcon="
        << world.crafted(false).string() << "\n";
    std::ofstream(applications / (std::string(honestApp) + ".desktop"))
        << "[Desktop Entry]\nType=Application\nName=Honest\nExec=/bin/true\nIcon="
        << world.honestIcon().string() << "\n";
    world.player().send(track("Calm " + std::to_string(round), std::nullopt));

    testing_support::CompanionProcess process(
        companion, folder.path, world.display(), {},
        testing_support::EnvironmentChanges{{"DBUS_SESSION_BUS_ADDRESS", world.busAddress()},
                                            {"XDG_DATA_DIRS", (folder.path / "none").string()}});
    PhoneTestClient::Endpoint endpoint = process.waitUntilReady();
    std::vector<std::unique_ptr<PhoneTestClient>> hostile;
    for (int i = 0; i < row.hostilePhones; ++i) {
        endpoint.source = "127.0.0." + std::to_string(3 + i);
        hostile.push_back(process.pair(endpoint, "Hostile Phone " + std::to_string(i + 1), 30s));
    }
    endpoint.source = "127.0.0.1";
    auto honest = process.pair(endpoint, "Honest Phone", 30s);
    // What the honest phone will ask for is at hand: its subscription, and the catalog's first scan.
    if (row.kind == Kind::artwork) {
        honest->send(Message::Subscribe{TrackpadProtocol::Subscriptions::nowPlaying});
        honest->receiveCase<Message::NowPlaying>(10);
    }
    if (asksIcons(row.kind)) {
        honest->send(Message::AppIconRequest{{honestApp, 16}});
        honest->receiveCase<Message::AppIcon>(10);
    }
    const pid_t pid = process.pid();
    waitUntilIdle(pid, 10s);

    Round figures;
    const double cpuBefore = bench_figures::cpuSeconds(pid);
    const auto attacked = Clock::now();
    attack(row, world, hostile, round, false);
    if (sendsPicture(row.kind)) {
        untilRead(hostile);
    }
    std::this_thread::sleep_until(attacked + 100ms);
    figures.wait = honestWait(row, world, *honest, round, attacked);
    waitUntilIdle(pid, 90s);
    figures.cpuSeconds = bench_figures::cpuSeconds(pid) - cpuBefore;
    figures.peakMiB = static_cast<double>(bench_figures::statusKiB(pid, "VmHWM")) / 1024.0;

    // The hostile phones leave 0.3 s into another attack: how long its decode runs on.
    if (row.kind == Kind::picture || row.kind == Kind::icon) {
        const auto left = Clock::now();
        if (row.kind == Kind::picture) {
            attack(row, world, hostile, round, false, 3);
        } else {
            for (const int side : {36, 72, 120}) {
                hostile.front()->send(Message::AppIconRequest{{craftedApp, static_cast<std::uint16_t>(side)}});
            }
        }
        std::this_thread::sleep_until(left + 300ms);
        hostile.clear();
        figures.runsOn = secondsBusy(pid);
        for (int i = 0; i < row.hostilePhones; ++i) {
            endpoint.source = "127.0.0." + std::to_string(3 + i);
            hostile.push_back(process.pair(endpoint, "Hostile Phone " + std::to_string(i + 1) + "b", 30s));
        }
    }

    const auto again = Clock::now();
    attack(row, world, hostile, round, true);
    std::this_thread::sleep_until(again + 300ms);
    const auto signalled = Clock::now();
    ::kill(pid, SIGTERM);
    if (testing_support::waitUntil([&] { return !process.running(); }, 30s)) {
        figures.exit = secondsSince(signalled);
    }
    const int status = process.stop(0);
    figures.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    figures.gaveUp = process.log().find(gaveUpLine) != std::string::npos;
    return figures;
}

std::string spread(const std::vector<double>& values, const char* format) {
    char text[96];
    std::snprintf(text, sizeof text, format, at(values, 0), at(values, 0.5), at(values, 1));
    return text;
}

void printSide(const char* side, const std::vector<Round>& rounds) {
    std::vector<double> cpu, peak, waits, exits, runsOn;
    int unanswered = 0, running = 0, clean = 0, gaveUp = 0;
    for (const Round& round : rounds) {
        cpu.push_back(round.cpuSeconds);
        peak.push_back(round.peakMiB);
        round.wait ? waits.push_back(*round.wait) : void(++unanswered);
        round.exit ? exits.push_back(*round.exit) : void(++running);
        if (round.runsOn) {
            runsOn.push_back(*round.runsOn);
        }
        clean += round.status == 0 ? 1 : 0;
        gaveUp += round.gaveUp ? 1 : 0;
    }
    std::string wait = spread(waits, "%6.2f/%6.2f/%6.2f");
    if (unanswered > 0) {
        wait += " (" + std::to_string(unanswered) + " unanswered)";
    }
    std::string exit = spread(exits, "%5.2f/%5.2f/%5.2f");
    if (running > 0) {
        exit += " (" + std::to_string(running) + " still running after 30 s)";
    }
    const std::string left = runsOn.empty() ? std::string("-") : spread(runsOn, "%5.2f/%5.2f/%5.2f");
    std::printf("  %-7s %s  %s  %-22s %-20s %-17s status 0 in %d of %zu, gave up waiting in %d\n", side,
                spread(cpu, "%6.2f/%6.2f/%6.2f").c_str(), spread(peak, "%6.0f/%6.0f/%6.0f").c_str(),
                wait.c_str(), exit.c_str(), left.c_str(), clean, rounds.size(), gaveUp);
    std::fflush(stdout);
}

}  // namespace

std::vector<std::uint8_t> compressJPEG(int width, int height, int components, int quality, bool progressive,
                                       bool fullChroma,
                                       const std::function<void(std::uint8_t* row, int y)>& fill) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    if (fullChroma && components == 3) {
        info.comp_info[0].h_samp_factor = 1;
        info.comp_info[0].v_samp_factor = 1;
    }
    if (progressive) {
        jpeg_simple_progression(&info);
    }
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(static_cast<std::size_t>(width) * static_cast<std::size_t>(components));
    JSAMPROW rows[1] = {row.data()};
    for (int y = 0; y < height; ++y) {
        fill(row.data(), y);
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    Bytes bytes(buffer, buffer + size);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return bytes;
}

void runRows(const std::function<bool(const std::string&)>& runs, const std::string& after,
             const std::string& before) {
    const std::string grey = "crafted grey progressive JPEG 6896x6896, 499 scans, ";
    const std::string text = "crafted 64x64 PNG with 127 zTXt chunks of 8,000,000 bytes, ";
    const std::string paeth = "crafted 16-bit RGBA PNG 10000x10000, Paeth rows, a picture";
    std::vector<Row> rows;
    for (const bool arithmetic : {false, true}) {
        const std::string name = grey + (arithmetic ? "arithmetic" : "Huffman") + ", a picture";
        if (runs(name)) {
            rows.push_back({name, Kind::picture, testing_support::manyScanGreyJPEG(6896, 499, arithmetic)});
        }
    }
    Bytes textChunks;
    Bytes textChunksVariant;
    const std::pair<const char*, Kind> uses[] = {{"a picture", Kind::picture},
                                                 {"an app's icon in 6 sizes", Kind::icon},
                                                 {"now-playing artwork", Kind::artwork},
                                                 {"all three at once", Kind::allThree}};
    for (const auto& [use, kind] : uses) {
        if (runs(text + use)) {
            if (textChunks.empty()) {
                textChunks = testing_support::textChunkPNG(64, 127, 8000000);
                textChunksVariant = testing_support::textChunkPNG(65, 127, 8000000);
            }
            rows.push_back({text + use, kind, textChunks, smallPicture(), textChunksVariant});
        }
    }
    if (runs(paeth)) {
        rows.push_back({paeth, Kind::picture, testing_support::paethRGBA16PNG(10000)});
    }
    // What one decode may still cost within the work budget: the most a picture may take, and a picture
    // held whole (interlaced, shrunk) that holds the process's turn of large decodes meanwhile, while the
    // other phone's picture is a 4096x4096 progressive photograph that needs that turn too.
    const std::string most =
        "crafted 16-bit RGB PNG 5826x5826 with tRNS, Paeth rows over noise, within the work budget, a "
        "picture";
    if (runs(most)) {
        rows.push_back(
            {most, Kind::picture, testing_support::paethNoisePNG({5826, 5826, 16, 2, true, false})});
    }
    const std::string icon =
        "crafted 16-bit RGBA PNG 4096x4096, Paeth rows, within the work budget, an app's icon in 6 sizes";
    if (runs(icon)) {
        rows.push_back({icon, Kind::icon, testing_support::paethRGBA16PNG(4096)});
    }
    const std::string turn =
        "crafted interlaced 16-bit RGBA PNG 4900x4900 within the work budget, a picture; "
        "the other phone's a 4096x4096 progressive JPEG";
    if (runs(turn)) {
        rows.push_back({turn, Kind::picture, testing_support::interlacedPaethRGBA16PNG(4900),
                        testing_support::manyScanGreyJPEG(4096, 10, false)});
    }
    const std::string held =
        "crafted interlaced 16-bit RGBA PNG 4097x4095 (64 MiB held whole), a picture; "
        "the other phone's a 4096x4096 progressive JPEG";
    if (runs(held)) {
        rows.push_back({held, Kind::picture, interlacedPaethPNG(4097, 4095),
                        testing_support::manyScanGreyJPEG(4096, 10, false)});
    }
    // Arithmetic-coded: each the largest of its shape that the work counted for a JPEG let through while
    // the decisions of its coding went uncounted.
    const std::string arithmetic = "crafted arithmetic-coded grey JPEG ";
    const std::pair<std::string, Bytes (*)()> coded[] = {
        {arithmetic + "1024x1024, 3,416 DC first scans, a picture",
         [] { return testing_support::repeatedDCScanJPEG(1024, 3416); }},
        {arithmetic + "1024x1024, 2,000 zero-run AC scans, a picture",
         [] { return testing_support::zeroRunACScanJPEG(1024, 2001); }},
        {arithmetic + "8200x8200, one sequential scan of every AC coefficient, a picture",
         [] { return testing_support::allACSequentialJPEG(8200); }},
    };
    for (const auto& [name, make] : coded) {
        if (runs(name)) {
            rows.push_back({name, Kind::picture, make()});
        }
    }
    const std::string twoPhones =
        arithmetic + "1024x1024, 2,000 zero-run AC scans, a picture from two phones";
    if (runs(twoPhones)) {
        Row row{twoPhones, Kind::picture, testing_support::zeroRunACScanJPEG(1024, 2001)};
        row.hostilePhones = 2;
        rows.push_back(std::move(row));
    }
    const std::string codedTurn = arithmetic +
                                  "2904x2904, 249 zero-run AC scans (16 MiB of coefficients), a picture; "
                                  "the other phone's a 4032x3024 progressive photograph";
    if (runs(codedTurn)) {
        rows.push_back({codedTurn, Kind::picture, testing_support::zeroRunACScanJPEG(2904, 250),
                        progressivePhoto(4032, 3024)});
    }
    const std::string codedArtwork = arithmetic + "1024x1024, 3,416 zero-run AC scans, now-playing artwork";
    if (runs(codedArtwork)) {
        rows.push_back({codedArtwork, Kind::artwork, testing_support::zeroRunACScanJPEG(1024, 3417),
                        smallPicture(), testing_support::zeroRunACScanJPEG(1024, 3416)});
    }
    // The PNG that took longest within the work budget as it was counted before its conversions were.
    const std::string noisyGrey =
        "crafted 16-bit grey PNG 9219x9219 with tRNS, Paeth rows over noise, a picture";
    if (runs(noisyGrey)) {
        rows.push_back(
            {noisyGrey, Kind::picture, testing_support::paethNoisePNG({9219, 9219, 16, 0, true, false})});
    }
    // Deflate blocks that decode to nothing before the pixels, and a JPEG whose every block is a one-bit
    // code, each the costliest of its kind the count let through before it charged their bytes.
    using testing_support::DeflatePadding;
    const std::string padded = "crafted PNG behind empty deflate blocks: ";
    const std::string paddedPicture = padded + "16-bit RGB 5826x5826 tRNS Paeth over noise, 8.3 MB in all, a picture from two phones";
    if (runs(paddedPicture)) {
        const Bytes pixels = testing_support::paethNoisePNG({5826, 5826, 16, 2, true, false});
        Row row{paddedPicture, Kind::picture,
                testing_support::paddedPNG(pixels, 8'300'000 - pixels.size(), DeflatePadding::minimalDynamic)};
        row.hostilePhones = 2;
        rows.push_back(std::move(row));
    }
    const std::string paddedArtwork = padded + "interlaced 16-bit RGBA 4096x4096, 16.6 MB in all, now-playing artwork";
    if (runs(paddedArtwork)) {
        const Bytes pixels = testing_support::interlacedPaethRGBA16PNG(4096);
        rows.push_back({paddedArtwork, Kind::artwork,
                        testing_support::paddedPNG(pixels, 16'600'000 - pixels.size(), DeflatePadding::minimalDynamic),
                        smallPicture(),
                        testing_support::paddedPNG(pixels, 16'600'000 - pixels.size(), DeflatePadding::fullDynamic)});
    }
    const std::string paddedIcon = padded + "interlaced 16-bit RGBA 4096x4096, 8 MB in all, an app's icon in 6 sizes";
    if (runs(paddedIcon)) {
        rows.push_back({paddedIcon, Kind::icon,
                        testing_support::paddedPNG(testing_support::interlacedPaethRGBA16PNG(4096), 7'850'000,
                                                   DeflatePadding::minimalDynamic)});
    }
    const Bytes dot = testing_support::paethNoisePNG({1, 1, 8, 6, false, false});
    const std::string dotPicture = padded + "1x1, 8.2 MB, a picture from two phones";
    if (runs(dotPicture)) {
        Row row{dotPicture, Kind::picture, testing_support::paddedPNG(dot, 8'200'000, DeflatePadding::minimalDynamic)};
        row.hostilePhones = 2;
        rows.push_back(std::move(row));
    }
    const std::string dotArtwork = padded + "1x1, 8.2 MB, now-playing artwork";
    if (runs(dotArtwork)) {
        rows.push_back({dotArtwork, Kind::artwork, testing_support::paddedPNG(dot, 8'200'000, DeflatePadding::minimalDynamic),
                        smallPicture(), testing_support::paddedPNG(dot, 8'200'000, DeflatePadding::fullDynamic)});
    }
    const std::string oneBit = "crafted grey progressive JPEG 1024x1024, 3,416 DC scans of one-bit codes (7 MB), a picture from two phones";
    if (runs(oneBit)) {
        Row row{oneBit, Kind::picture, testing_support::oneBitDCScanJPEG(1024, 3416)};
        row.hostilePhones = 2;
        rows.push_back(std::move(row));
    }
    // Behind a comment whose length field says 0, which the library reads as empty and reads on: the
    // 2,402 one-bit DC scans of 4.9 MB as a picture, and 499 scans of a 4096x4096 grey JPEG, which needs the
    // turn of large decodes, while the honest phone's picture is a photograph that needs it too.
    const auto behindEmptyComment = [](Bytes jpeg) {
        const std::uint8_t comment[] = {0xFF, 0xFE, 0, 0};
        jpeg.insert(jpeg.begin() + 2, std::begin(comment), std::end(comment));
        return jpeg;
    };
    const std::string emptyComment =
        "crafted grey progressive JPEG 1024x1024, 2,402 DC scans of one-bit codes behind a comment of "
        "length 0, a picture";
    if (runs(emptyComment)) {
        rows.push_back(
            {emptyComment, Kind::picture, behindEmptyComment(testing_support::oneBitDCScanJPEG(1024, 2402))});
    }
    const std::string emptyCommentTurn =
        "crafted grey progressive JPEG 4096x4096, 499 scans behind a comment of length 0, a picture; "
        "the other phone's a 4032x3024 progressive photograph";
    if (runs(emptyCommentTurn)) {
        rows.push_back({emptyCommentTurn, Kind::picture,
                        behindEmptyComment(testing_support::manyScanGreyJPEG(4096, 499, false)),
                        progressivePhoto(4032, 3024)});
    }
    if (rows.empty()) {
        return;
    }
    if (auto reason = testing_support::PrivateBus::unavailableReason()) {
        std::printf("%-52s skipped: %s\n", "crafted files", reason->c_str());
        return;
    }
    if (!testing_support::ScriptedMediaPlayer::isAvailable()) {
        std::printf("%-52s skipped: /usr/bin/python3 is not installed\n", "crafted files");
        return;
    }
    World world;
    std::vector<std::pair<const char*, std::string>> sides;
    if (!before.empty()) {
        sides.emplace_back("before", before);
    }
    sides.emplace_back("after", after);
    std::printf(
        "crafted files: %d rounds a companion, interleaved, each a companion of its own; per round the "
        "companion's CPU s and peak MiB (start-up included), the honest phone's wait s, and the s from "
        "SIGTERM 0.3 s into a second attack until it ended (min/median/max); load average %s\n",
        roundsPerSide, bench_figures::loadAverage().c_str());
    std::printf("  %-7s %-20s  %-20s  %-22s %-20s %-17s\n", "", "CPU s", "peak MiB", "other phone's wait s",
                "SIGTERM to exit s", "runs on after left");
    for (const Row& row : rows) {
        std::printf("%s (%zu KiB)\n", row.name.c_str(), row.file.size() >> 10);
        std::fflush(stdout);
        world.useFile(row.file, row.variant);
        std::vector<std::vector<Round>> results(sides.size());
        for (int round = 0; round < roundsPerSide; ++round) {
            for (std::size_t i = 0; i < sides.size(); ++i) {
                // The order of the companions alternates from round to round.
                const std::size_t side = round % 2 == 0 ? i : sides.size() - 1 - i;
                try {
                    results[side].push_back(
                        runRound(sides[side].second, row, world,
                                 round * static_cast<int>(sides.size()) + static_cast<int>(i)));
                } catch (const std::exception& error) {
                    std::printf("  %s round %d failed: %s\n", sides[side].first, round + 1, error.what());
                }
            }
        }
        for (std::size_t side = 0; side < sides.size(); ++side) {
            printSide(sides[side].first, results[side]);
        }
        std::printf("  load average %s\n", bench_figures::loadAverage().c_str());
    }
}

}  // namespace hostile_decodes
