#include "platform/imaging/Exif.h"

#include <cstring>

namespace platform::imaging {
namespace {

class TIFFReader {
public:
    explicit TIFFReader(std::span<const std::uint8_t> data) : data_(data) {}

    bool readByteOrder() {
        if (data_.size() < 8)
            return false;
        if (data_[0] == 'I' && data_[1] == 'I')
            bigEndian_ = false;
        else if (data_[0] == 'M' && data_[1] == 'M')
            bigEndian_ = true;
        else
            return false;
        const auto magic = u16(2);
        return magic && *magic == 42;
    }

    std::optional<std::uint16_t> u16(std::size_t offset) const {
        if (offset > data_.size() || data_.size() - offset < 2)
            return std::nullopt;
        const std::uint8_t a = data_[offset];
        const std::uint8_t b = data_[offset + 1];
        return static_cast<std::uint16_t>(bigEndian_ ? (a << 8 | b) : (b << 8 | a));
    }

    std::optional<std::uint32_t> u32(std::size_t offset) const {
        const auto high = u16(bigEndian_ ? offset : offset + 2);
        const auto low = u16(bigEndian_ ? offset + 2 : offset);
        if (!high || !low)
            return std::nullopt;
        return static_cast<std::uint32_t>(*high) << 16 | *low;
    }

    std::size_t size() const { return data_.size(); }

private:
    std::span<const std::uint8_t> data_;
    bool bigEndian_ = false;
};

constexpr std::uint16_t orientationTag = 0x0112;
constexpr std::uint16_t typeShort = 3;
constexpr std::uint16_t typeLong = 4;

}  // namespace

std::optional<Orientation> exifOrientation(std::span<const std::uint8_t> tiff) {
    TIFFReader reader(tiff);
    if (!reader.readByteOrder())
        return std::nullopt;
    const auto directory = reader.u32(4);
    if (!directory || *directory < 8)
        return std::nullopt;
    const auto count = reader.u16(*directory);
    if (!count)
        return std::nullopt;
    // Only entries that lie wholly inside the data are looked at.
    const std::size_t first = static_cast<std::size_t>(*directory) + 2;
    for (std::size_t i = 0; i < *count; ++i) {
        const std::size_t entry = first + i * 12;
        if (entry > reader.size() || reader.size() - entry < 12)
            break;
        if (reader.u16(entry) != orientationTag)
            continue;
        const auto type = reader.u16(entry + 2);
        const auto values = reader.u32(entry + 4);
        if (!values || *values < 1)
            return std::nullopt;
        std::optional<std::uint32_t> value;
        if (type == typeShort)
            value = reader.u16(entry + 8);
        else if (type == typeLong)
            value = reader.u32(entry + 8);
        if (!value || *value < 1 || *value > 8)
            return std::nullopt;
        return static_cast<Orientation>(*value);
    }
    return std::nullopt;
}

Orientation jpegOrientation(std::span<const std::uint8_t> jpeg) {
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return Orientation::up;
    std::size_t pos = 2;
    while (pos + 4 <= jpeg.size()) {
        if (jpeg[pos] != 0xFF)
            break;
        const std::uint8_t marker = jpeg[pos + 1];
        if (marker == 0xFF) {  // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA)  // end of image, start of scan: no metadata follows
            break;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // markers without a length
            pos += 2;
            continue;
        }
        const std::size_t length = static_cast<std::size_t>(jpeg[pos + 2]) << 8 | jpeg[pos + 3];
        if (length < 2 || length > jpeg.size() - pos - 2)
            break;
        static constexpr std::uint8_t exifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
        if (marker == 0xE1 && length >= 2 + sizeof exifHeader &&
            std::memcmp(jpeg.data() + pos + 4, exifHeader, sizeof exifHeader) == 0) {
            const auto orientation = exifOrientation(jpeg.subspan(pos + 10, length - 8));
            return orientation.value_or(Orientation::up);
        }
        pos += 2 + length;
    }
    return Orientation::up;
}

}  // namespace platform::imaging
