#include "platform/imaging/JPEGWalk.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace platform::imaging {
namespace {

// The second byte of the markers the walk tells apart.
enum Marker : std::uint8_t {
    TEM = 0x01,
    SOF0 = 0xC0,
    SOF1 = 0xC1,
    SOF2 = 0xC2,
    DHT = 0xC4,
    SOF9 = 0xC9,
    SOF10 = 0xCA,
    DAC = 0xCC,
    RST0 = 0xD0,
    RST7 = 0xD7,
    EOI = 0xD9,
    SOS = 0xDA,
    DQT = 0xDB,
    DNL = 0xDC,
    DRI = 0xDD,
    APP0 = 0xE0,
    APP15 = 0xEF,
    COM = 0xFE,
};

bool isRestart(std::uint8_t code) {
    return code >= RST0 && code <= RST7;
}

// What the library does with a marker and its segment.
enum class Kind : std::uint8_t {
    parameterless,    // TEM, RSTn: nothing
    endOfImage,       // EOI: it stops reading
    frame,            // SOF of a process it decodes
    scan,             // SOS
    table,            // DHT, DAC, DQT: read to the length's end, or an error
    restartInterval,  // DRI: four bytes, or an error
    jfif,             // APP0: its first bytes looked at, the rest skipped
    skipped,          // other APPn, COM, DNL: skipped by the length
    refused,          // a stuffed zero, a second SOI, SOF of a process it lacks, reserved markers: an error
};

constexpr Kind kindOf(std::uint8_t marker) {
    if (marker == TEM || (marker >= RST0 && marker <= RST7))
        return Kind::parameterless;
    switch (marker) {
        case EOI:
            return Kind::endOfImage;
        case SOF0:
        case SOF1:
        case SOF2:
        case SOF9:
        case SOF10:
            return Kind::frame;
        case SOS:
            return Kind::scan;
        case DHT:
        case DAC:
        case DQT:
            return Kind::table;
        case DRI:
            return Kind::restartInterval;
        case APP0:
            return Kind::jfif;
        case DNL:
        case COM:
            return Kind::skipped;
        default:
            return marker > APP0 && marker <= APP15 ? Kind::skipped : Kind::refused;
    }
}

// Looked up for each marker: millions of them may follow each other.
constexpr std::array<Kind, 256> kinds = [] {
    std::array<Kind, 256> table{};
    for (int code = 0; code < 256; ++code)
        table[static_cast<std::size_t>(code)] = kindOf(static_cast<std::uint8_t>(code));
    return table;
}();

std::size_t bigEndian16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::size_t>(bytes[at]) << 8 | bytes[at + 1];
}

std::uint64_t saturatedSum(std::uint64_t a, std::uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

std::uint64_t saturatedProduct(std::uint64_t a, std::uint64_t b) {
    return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}

// The blocks across (or down) `samples` of a component sampled `factor` times where the largest factor is
// `maxFactor`, rounded up as the library sizes each component.
std::uint64_t blocksAcross(std::uint64_t samples, int factor, int maxFactor) {
    const std::uint64_t unit = static_cast<std::uint64_t>(maxFactor) * 8;
    return (samples * static_cast<std::uint64_t>(factor) + unit - 1) / unit;
}

using End = WalkedScans::End;

// The library reads the file as a sequence of markers (each FF, any number of fill bytes FF, and a code):
// parameterless ones, segments that begin with their length, and after each scan's header the scan's
// coded data, up to the first marker in it that is not a restart. The walk reads each as it does.
class SegmentWalk {
  public:
    SegmentWalk(std::span<const std::uint8_t> data, std::vector<std::size_t>* scanStarts)
        : data_(data), scanStarts_(scanStarts) {}

    WalkedScans run() {
        std::size_t at = 2;  // past the start of image, where the header's reading found it
        while (true) {
            // Runs of segments the library only skips (millions of them, it may be), at the pace of their
            // lengths; the walk below takes any other marker, and fill bytes.
            while (at + 4 <= data_.size() && data_[at] == 0xFF &&
                   (kinds[data_[at + 1]] == Kind::skipped || kinds[data_[at + 1]] == Kind::table)) {
                const std::size_t length = bigEndian16(data_, at + 2);
                if (length < 2 || length > data_.size() - at - 2)
                    break;
                at += 2 + length;
            }
            // Where a marker should be, the library discards anything else, a stuffed zero too, with a
            // warning; the data ending is one as well.
            if (at >= data_.size() || data_[at] != 0xFF)
                return ended(End::libraryFails);
            std::size_t code = at + 1;
            while (code < data_.size() && data_[code] == 0xFF)
                ++code;
            if (code == data_.size())
                return ended(End::libraryFails);
            const std::uint8_t marker = data_[code];
            const Kind kind = kinds[marker];
            at = code + 1;
            if (kind == Kind::parameterless)
                continue;
            if (kind == Kind::endOfImage) {
                walked_.endOffset = at;
                return ended(End::image);
            }
            if (const std::optional<End> end = segment(marker, kind, &at))
                return ended(*end);
        }
    }

  private:
    WalkedScans ended(End end) {
        walked_.end = end;
        return walked_;
    }

    // The segment of `marker`, of `kind`, whose length is at `*at`; past it (and past a scan's coded data)
    // when the library reads on.
    std::optional<End> segment(std::uint8_t marker, Kind kind, std::size_t* at) {
        if (kind == Kind::refused || data_.size() - *at < 2)
            return End::libraryFails;
        const std::size_t length = bigEndian16(data_, *at);
        if (length < 2)
            return kind == Kind::skipped || kind == Kind::jfif ? End::shortLength : End::libraryFails;
        if (length > data_.size() - *at)
            return End::libraryFails;
        const std::span<const std::uint8_t> body = data_.subspan(*at + 2, length - 2);
        *at += length;
        switch (kind) {
            case Kind::frame:
                return frame(marker, body) ? std::nullopt : std::optional(End::libraryFails);
            case Kind::scan:
                return scan(body, at);
            case Kind::restartInterval:
                return length == 4 ? std::nullopt : std::optional(End::libraryFails);
            case Kind::jfif: {
                // The library looks at the first 14 bytes, and warns of a JFIF header whose major version is
                // not 1.
                static constexpr std::uint8_t jfif[] = {'J', 'F', 'I', 'F', 0};
                const bool otherVersion = body.size() >= 14 &&
                                          std::equal(std::begin(jfif), std::end(jfif), body.begin()) &&
                                          body[5] != 1;
                return otherVersion ? std::optional(End::libraryFails) : std::nullopt;
            }
            case Kind::table:
            case Kind::skipped:
            case Kind::refused:
            case Kind::parameterless:
            case Kind::endOfImage:
                break;
        }
        return std::nullopt;
    }

    // The frame's header: one only, its length that of its components, its size not zero.
    bool frame(std::uint8_t marker, std::span<const std::uint8_t> body) {
        if (frameSeen_ || body.size() < 6 || body[5] == 0 || body.size() != 6 + 3 * std::size_t{body[5]})
            return false;
        height_ = bigEndian16(body, 1);
        width_ = bigEndian16(body, 3);
        if (width_ == 0 || height_ == 0)
            return false;
        frameSeen_ = true;
        progressive_ = marker == SOF2 || marker == SOF10;
        for (std::size_t c = 6; c < body.size(); c += 3) {
            components_.push_back({body[c], std::max(body[c + 1] >> 4, 1), std::max(body[c + 1] & 15, 1)});
            maxH_ = std::max(maxH_, components_.back().h);
            maxV_ = std::max(maxV_, components_.back().v);
        }
        for (const Component& component : components_)
            walked_.frameBlocks +=
                blocksAcross(width_, component.h, maxH_) * blocksAcross(height_, component.v, maxV_);
        return true;
    }

    // A scan's header, then its coded data.
    std::optional<End> scan(std::span<const std::uint8_t> body, std::size_t* at) {
        if (!frameSeen_ || body.empty())
            return End::libraryFails;
        const std::size_t inScan = body[0];
        if (inScan < 1 || inScan > 4 || body.size() != 4 + 2 * inScan)
            return End::libraryFails;
        // A file whose first scan holds every component, in sequential mode, has no other.
        if (walked_.count > 0 && !multiScan_)
            return End::libraryFails;
        // The component in place i of the scan is the first of the frame's first four, from the i-th on,
        // with its identifier (so they come in the frame's order); none, or one already in the scan, is an
        // error.
        std::array<std::size_t, 4> chosen{};
        const std::size_t searched = std::min<std::size_t>(components_.size(), 4);
        for (std::size_t i = 0; i < inScan; ++i) {
            std::size_t c = i;
            while (c < searched && components_[c].id != body[1 + 2 * i])
                ++c;
            if (c == searched || std::find(chosen.begin(), chosen.begin() + i, c) != chosen.begin() + i)
                return End::libraryFails;
            chosen[i] = c;
        }
        std::uint64_t blocks = 0;
        if (inScan == 1) {
            const Component& component = components_[chosen[0]];
            blocks = blocksAcross(width_, component.h, maxH_) * blocksAcross(height_, component.v, maxV_);
        } else {
            std::uint64_t perUnit = 0;
            for (std::size_t i = 0; i < inScan; ++i)
                perUnit += static_cast<std::uint64_t>(components_[chosen[i]].h) * components_[chosen[i]].v;
            blocks = blocksAcross(width_, 1, maxH_) * blocksAcross(height_, 1, maxV_) * perUnit;
        }
        if (walked_.count == 0)
            multiScan_ = inScan < components_.size() || progressive_;
        const std::size_t band = 1 + 2 * inScan;
        const int ss = body[band];
        const int se = body[band + 1];
        const int ah = body[band + 2] >> 4;
        ++walked_.count;
        walked_.scanBlocks = saturatedSum(walked_.scanBlocks, blocks);
        if (ss > 0 && ah > 0)
            walked_.refinedCoefficients = saturatedSum(
                walked_.refinedCoefficients, saturatedProduct(blocks, static_cast<std::uint64_t>(se)));
        if (scanStarts_)
            scanStarts_->push_back(*at);
        return codedData(at);
    }

    // As the library's entropy decoder reads coded data: a byte FF, after any fill bytes FF, is followed by
    // 0 for a data byte FF, or by a restart marker's code, which the decoder takes within the scan; any other
    // code is the marker that ends the scan's data. The data ending first is a warning.
    std::optional<End> codedData(std::size_t* at) {
        const std::size_t start = *at;
        std::size_t from = start;
        while (true) {
            // The next FF, looked at first where it most often is in data dense with them: right there.
            std::size_t mark = from;
            if (from >= data_.size())
                return End::libraryFails;
            if (data_[from] != 0xFF) {
                const void* found = std::memchr(&data_[from], 0xFF, data_.size() - from);
                if (!found)
                    return End::libraryFails;
                mark = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - data_.data());
            }
            std::size_t code = mark + 1;
            while (code < data_.size() && data_[code] == 0xFF)
                ++code;
            if (code == data_.size())
                return End::libraryFails;
            if (data_[code] != 0 && !isRestart(data_[code])) {
                walked_.codedBytes += mark - start;
                *at = mark;
                return std::nullopt;
            }
            from = code + 1;
        }
    }

    struct Component {
        int id, h, v;
    };

    std::span<const std::uint8_t> data_;
    std::vector<std::size_t>* scanStarts_;
    WalkedScans walked_;
    bool frameSeen_ = false;
    bool progressive_ = false;
    bool multiScan_ = false;
    std::uint64_t width_ = 0;
    std::uint64_t height_ = 0;
    std::vector<Component> components_;
    int maxH_ = 1;
    int maxV_ = 1;
};

}  // namespace

WalkedScans walkScans(std::span<const std::uint8_t> data, std::vector<std::size_t>* scanStarts) {
    return SegmentWalk(data, scanStarts).run();
}

}  // namespace platform::imaging
