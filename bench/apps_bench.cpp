// The app catalog's costs: a cold scan of 2,000 desktop entries with localized names, the installed
// answer built from it, and icon answers for a 512x512 SVG and a 256x256 PNG, cold and cached.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

#include "apps/AppCatalog.h"
#include "apps/IconImages.h"
#include "apps/InstalledAppScanner.h"
#include "apps/SystemAppCatalogProvider.h"

namespace {

using TrackpadProtocol::AppListKind;
using TrackpadProtocol::Message;

class Tree {
  public:
    Tree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-apps-bench-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
    }
    ~Tree() { std::filesystem::remove_all(root_); }
    const std::filesystem::path& root() const { return root_; }
    void write(const std::filesystem::path& relative, const std::string& text) const {
        std::filesystem::create_directories((root_ / relative).parent_path());
        std::ofstream(root_ / relative, std::ios::binary) << text;
    }

  private:
    std::filesystem::path root_;
};

// 2,000 entries: 1,500 at the top, 500 in ten vendor subfolders; each with 12 translations of its name.
const Tree& entryTree() {
    static const Tree tree = [] {
        Tree t;
        const char* locales[] = {"de", "fr",    "es", "it", "ja", "pt_BR",
                                 "ru", "zh_CN", "nl", "sv", "pl", "cs"};
        for (int i = 0; i < 2000; ++i) {
            std::string text =
                "[Desktop Entry]\nType=Application\nName=Application " + std::to_string(i) + "\n";
            for (const char* locale : locales) {
                text +=
                    "Name[" + std::string(locale) + "]=Anwendung " + std::to_string(i) + " " + locale + "\n";
                text += "Comment[" + std::string(locale) + "]=Eine Anwendung zum Testen\n";
            }
            text += "Exec=app" + std::to_string(i) + " %U\nIcon=app" + std::to_string(i) +
                    "\nCategories=Utility;\n";
            const std::string name = "org.example.App" + std::to_string(i) + ".desktop";
            t.write(i < 1500 ? std::filesystem::path(name)
                             : std::filesystem::path("vendor" + std::to_string(i % 10)) / name,
                    text);
        }
        return t;
    }();
    return tree;
}

void BM_ColdScan2000(benchmark::State& state) {
    ::setenv("LANG", "de_DE.UTF-8", 1);
    const Apps::InstalledAppScanner scanner({entryTree().root()}, 2);
    std::size_t count = 0;
    for (auto _ : state) {
        count = scanner.installedApplications().size();
        benchmark::DoNotOptimize(count);
    }
    state.counters["entries"] = static_cast<double>(count);
}
BENCHMARK(BM_ColdScan2000)->Unit(benchmark::kMillisecond);

class ScannerProvider final : public Apps::AppCatalogProvider {
  public:
    explicit ScannerProvider(Apps::InstalledAppScanner scanner) : scanner_(std::move(scanner)) {}
    std::vector<Apps::RunningAppInfo> runningApplications() override { return {}; }
    std::vector<Apps::InstalledAppInfo> installedApplications() override {
        return scanner_.installedApplications();
    }
    std::optional<Apps::IconBitmap> icon(const std::string&, int) override { return std::nullopt; }
    void start(Handler) override {}
    void stop() override {}

  private:
    Apps::InstalledAppScanner scanner_;
};

// A fresh catalog each time: scan, sort and split.
void BM_InstalledAnswerCold2000(benchmark::State& state) {
    ::setenv("LANG", "de_DE.UTF-8", 1);
    auto provider = std::make_shared<ScannerProvider>(Apps::InstalledAppScanner({entryTree().root()}, 2));
    std::size_t parts = 0;
    for (auto _ : state) {
        auto catalog = Apps::AppCatalog::make(provider, {}, std::nullopt, Apps::AppIconScaler(61440), {});
        parts = catalog->answer(Message{Message::AppsRequest{AppListKind::installed}})->size();
        benchmark::DoNotOptimize(parts);
    }
    state.counters["parts"] = static_cast<double>(parts);
}
BENCHMARK(BM_InstalledAnswerCold2000)->Unit(benchmark::kMillisecond);

void BM_InstalledAnswerCached2000(benchmark::State& state) {
    auto provider = std::make_shared<ScannerProvider>(Apps::InstalledAppScanner({entryTree().root()}, 2));
    auto catalog = Apps::AppCatalog::make(provider, {}, std::nullopt, Apps::AppIconScaler(61440), {});
    catalog->installedApps();
    for (auto _ : state) {
        benchmark::DoNotOptimize(catalog->answer(Message{Message::AppsRequest{AppListKind::installed}}));
    }
}
BENCHMARK(BM_InstalledAnswerCached2000)->Unit(benchmark::kMicrosecond);

// One entry with a 512x512 SVG icon and one with a 256x256 PNG, in a hicolor theme.
const Tree& iconTree() {
    static const Tree tree = [] {
        Tree t;
        t.write("applications/svg.desktop",
                "[Desktop Entry]\nType=Application\nName=S\nExec=x\nIcon=bench-svg\n");
        t.write("applications/png.desktop",
                "[Desktop Entry]\nType=Application\nName=P\nExec=x\nIcon=bench-png\n");
        t.write("icons/hicolor/index.theme",
                "[Icon Theme]\nName=Hicolor\nDirectories=256x256/apps,scalable/apps\n"
                "[256x256/apps]\nSize=256\nType=Fixed\n[scalable/"
                "apps]\nSize=512\nMinSize=8\nMaxSize=512\nType=Scalable\n");
        std::string svg =
            R"(<svg xmlns="http://www.w3.org/2000/svg" width="512" height="512">)"
            R"(<defs><linearGradient id="g"><stop offset="0" stop-color="#3465a4"/><stop offset="1" stop-color="#729fcf"/></linearGradient></defs>)"
            R"svg(<rect x="32" y="32" width="448" height="448" rx="64" fill="url(#g)"/>)svg";
        for (int i = 0; i < 24; ++i) {
            svg += "<circle cx=\"" + std::to_string(96 + (i % 6) * 64) + "\" cy=\"" +
                   std::to_string(96 + (i / 6) * 96) + "\" r=\"24\" fill=\"#ffffff\" fill-opacity=\"0.6\"/>";
        }
        svg += "</svg>";
        t.write("icons/hicolor/scalable/apps/bench-svg.svg", svg);
        // A typical icon: a shaded rounded square on transparency.
        Apps::IconBitmap image;
        image.width = image.height = 256;
        image.pixels.assign(256 * 256 * 4, 0);
        for (int y = 0; y < 256; ++y) {
            for (int x = 0; x < 256; ++x) {
                const double d = std::hypot(x - 127.5, y - 127.5);
                if (d < 110) {
                    std::uint8_t* p = &image.pixels[(static_cast<std::size_t>(y) * 256 + x) * 4];
                    p[0] = static_cast<std::uint8_t>(40 + x / 2);
                    p[1] = static_cast<std::uint8_t>(80 + y / 3);
                    p[2] = 200;
                    p[3] = 255;
                }
            }
        }
        const std::vector<std::uint8_t> png = *Apps::encodePNG(image);
        t.write("icons/hicolor/256x256/apps/bench-png.png", std::string(png.begin(), png.end()));
        return t;
    }();
    return tree;
}

std::shared_ptr<Apps::SystemAppCatalogProvider> iconProvider() {
    const Tree& tree = iconTree();
    return std::make_shared<Apps::SystemAppCatalogProvider>(
        Apps::InstalledAppScanner({tree.root() / "applications"}, 2), 1.0, 10.0, ":no-display",
        Apps::IconTheme({tree.root() / "icons"}, {}, "hicolor"),
        Apps::IconRenderer(std::filesystem::path(LUMIVEX_ICON_HELPER)));
}

void iconAnswer(benchmark::State& state, const std::string& id, bool cached) {
    auto provider = iconProvider();
    auto catalog = Apps::AppCatalog::make(provider, {}, std::nullopt, Apps::AppIconScaler(61440), {});
    const Message request{Message::AppIconRequest{{id, 256}}};
    std::size_t bytes = 0;
    for (auto _ : state) {
        if (!cached) {
            state.PauseTiming();
            catalog = Apps::AppCatalog::make(provider, {}, std::nullopt, Apps::AppIconScaler(61440), {});
            state.ResumeTiming();
        }
        auto replies = catalog->answer(request);
        const auto& icon = replies->front().as<Message::AppIcon>()->icon;
        bytes = icon.image ? icon.image->size() : 0;
    }
    state.counters["png_bytes"] = static_cast<double>(bytes);
}
void BM_IconSVG512Cold(benchmark::State& state) {
    iconAnswer(state, "svg", false);
}
void BM_IconSVG512Cached(benchmark::State& state) {
    iconAnswer(state, "svg", true);
}
void BM_IconPNG256Cold(benchmark::State& state) {
    iconAnswer(state, "png", false);
}
void BM_IconPNG256Cached(benchmark::State& state) {
    iconAnswer(state, "png", true);
}
BENCHMARK(BM_IconSVG512Cold)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IconSVG512Cached)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IconPNG256Cold)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IconPNG256Cached)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
