#pragma once
// PNG files made by hand for the decoder's tests: a header that claims any size, and a large grey
// picture compressed from zero rows without ever holding its pixels.
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace PresentationImages::testing {

inline void appendBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

inline void appendChunk(std::vector<std::uint8_t>& out, const char* type,
                        const std::vector<std::uint8_t>& data) {
    appendBigEndian(out, static_cast<std::uint32_t>(data.size()));
    std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    auto crc = crc32(0, out.data() + start, static_cast<uInt>(out.size() - start));
    appendBigEndian(out, static_cast<std::uint32_t>(crc));
}

inline std::vector<std::uint8_t> pngStart(std::uint32_t width, std::uint32_t height, std::uint8_t colourType,
                                          std::uint8_t bitDepth = 8) {
    std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> ihdr;
    appendBigEndian(ihdr, width);
    appendBigEndian(ihdr, height);
    ihdr.insert(ihdr.end(), {bitDepth, colourType, 0, 0, 0});
    appendChunk(png, "IHDR", ihdr);
    return png;
}

// A signature and an RGBA header, nothing else.
inline std::vector<std::uint8_t> pngHeader(std::uint32_t width, std::uint32_t height) {
    auto png = pngStart(width, height, 6);
    appendChunk(png, "IEND", {});
    return png;
}

// A black 1-bit grey picture, compressed row by row: of the PNGs as large as a picture may be, the one
// cheapest to decode.
inline std::vector<std::uint8_t> blackPNG(std::uint32_t width, std::uint32_t height) {
    auto png = pngStart(width, height, 0, 1);
    z_stream stream{};
    deflateInit(&stream, 9);
    std::vector<std::uint8_t> row((width + 7) / 8 + 1, 0), idat, buffer(1 << 16);
    for (std::uint32_t y = 0; y < height; ++y) {
        stream.next_in = row.data();
        stream.avail_in = static_cast<uInt>(row.size());
        int flush = y + 1 == height ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = buffer.data();
            stream.avail_out = static_cast<uInt>(buffer.size());
            deflate(&stream, flush);
            idat.insert(idat.end(), buffer.data(), buffer.data() + (buffer.size() - stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    appendChunk(png, "IDAT", idat);
    appendChunk(png, "IEND", {});
    return png;
}

}  // namespace PresentationImages::testing
