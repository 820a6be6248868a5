// Artwork scaling figures: a 3000 x 3000 JPEG and a 2000 x 1000 PNG made into the phone's artwork
// (360 px, at most 61440 bytes of JPEG at quality 80), whole process against whole process: ours through
// imaging_driver, beside ImageMagick's convert and libvips' vipsthumbnail given what a knowledgeable user
// gives them (the JPEG size hint, never enlarging, one thread like ours). Rounds are interleaved; each
// side's time and peak resident memory are printed as min/median/max with the load average.
// Run: artwork_bench [rounds]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/ProcessFigures.h"
#include "platform/imaging/Codecs.h"

namespace {

namespace imaging = platform::imaging;

// A photograph-like picture: smooth gradients with grain, so that neither codec has it easy.
imaging::Bitmap picture(int width, int height) {
    imaging::Bitmap bitmap = *imaging::Bitmap::create(width, height, imaging::PixelFormat::rgba, 1u << 26);
    std::uint8_t* pixels = bitmap.mutablePixels();
    std::uint32_t noise = 99;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1103515245 + 12345;
            const int grain = static_cast<int>((noise >> 27) & 15) - 8;
            std::uint8_t* p = pixels + y * bitmap.stride() + 4 * x;
            p[0] = static_cast<std::uint8_t>(std::clamp(x * 255 / width + grain, 0, 255));
            p[1] = static_cast<std::uint8_t>(std::clamp(y * 255 / height + grain, 0, 255));
            p[2] =
                static_cast<std::uint8_t>(std::clamp((x + y) * 127 / (width + height) + 64 + grain, 0, 255));
            p[3] = 255;
        }
    }
    return bitmap;
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
    using bench_figures::Series;
    const int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 7;
    const std::string driver = LUMIVEX_IMAGING_DRIVER;
    const auto folder =
        std::filesystem::temp_directory_path() / ("lumivex-artwork-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const auto jpegPath = folder / "square.jpg";
    const auto pngPath = folder / "wide.png";
    writeFile(jpegPath, *imaging::encodeJPEG(picture(3000, 3000).view(), 92));
    writeFile(pngPath, *imaging::encodePNG(picture(2000, 1000).view(), 6));
    const std::string convert = "/usr/bin/convert";
    const std::string vips = "/usr/bin/vipsthumbnail";
    const bool haveConvert = access(convert.c_str(), X_OK) == 0;
    const bool haveVips = access(vips.c_str(), X_OK) == 0;
    // Ours decodes on one thread; so do the peers.
    setenv("MAGICK_THREAD_LIMIT", "1", 1);
    setenv("OMP_NUM_THREADS", "1", 1);
    setenv("VIPS_CONCURRENCY", "1", 1);

    std::printf("artwork to 360 px JPEG (q80), %d interleaved rounds, each side a whole process; "
                "time and peak RSS as min/median/max\n",
                rounds);
    std::printf("load average before: %s\n", bench_figures::loadAverage().c_str());
    std::printf("peak of a program that does nothing (/bin/true), measured the same way: %ld KiB\n",
                bench_figures::measured(driver, {"/bin/true"}).peakKiB);
    for (const auto& path : {jpegPath, pngPath}) {
        const std::string in = path.string();
        const std::string ours = (folder / "ours.jpg").string();
        const std::string theirs = (folder / "convert.jpg").string();
        const std::string thumb = (folder / "vips.jpg").string();
        Series oursSeries, convertSeries, vipsSeries;
        for (int round = 0; round < rounds; ++round) {
            oursSeries.add(bench_figures::measured(driver, {driver, "artwork", in, ours}));
            if (haveConvert) {
                convertSeries.add(bench_figures::measured(
                    driver, {convert, "-define", "jpeg:size=360x360", in, "-background", "black", "-flatten",
                             "-resize", "360x360>", "-quality", "80", theirs}));
            }
            if (haveVips) {
                vipsSeries.add(
                    bench_figures::measured(driver, {vips, in, "--size", "360x360>", "-o", thumb + "[Q=80]"}));
            }
        }
        auto bytes = [](const std::string& file) {
            std::error_code error;
            const auto size = std::filesystem::file_size(file, error);
            return error ? 0ull : static_cast<unsigned long long>(size);
        };
        std::printf("%s (%llu bytes)\n", path.filename().c_str(), bytes(in));
        std::printf("  ours          %s  out %llu bytes\n", oursSeries.text().c_str(), bytes(ours));
        if (haveConvert) {
            std::printf("  convert       %s  out %llu bytes   ours/convert median time %.2f\n",
                        convertSeries.text().c_str(), bytes(theirs),
                        oursSeries.medianMs() / std::max(convertSeries.medianMs(), 1e-9));
        }
        if (haveVips) {
            std::printf("  vipsthumbnail %s  out %llu bytes   ours/vips median time %.2f\n",
                        vipsSeries.text().c_str(), bytes(thumb),
                        oursSeries.medianMs() / std::max(vipsSeries.medianMs(), 1e-9));
        }
    }
    std::printf("convert: -define jpeg:size=360x360 IN -background black -flatten -resize '360x360>' -quality 80\n"
                "vipsthumbnail: IN --size '360x360>' -o OUT[Q=80]; MAGICK_THREAD_LIMIT=1 VIPS_CONCURRENCY=1\n");
    std::printf("load average after: %s\n", bench_figures::loadAverage().c_str());
    std::filesystem::remove_all(folder);
    return 0;
}
