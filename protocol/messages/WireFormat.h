#pragma once
// Big-endian readers and writers of the wire primitives shared by the message codec and the large-payload
// documents: integers, IEEE-754 floats, length-prefixed strings and blobs, presence bytes.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "protocol/messages/MessageCodec.h"
#include "protocol/messages/Types.h"

namespace TrackpadProtocol {

class WireWriter {
  public:
    explicit WireWriter(Data& output) : out_(output) {}

    void u8(std::uint8_t value) { out_.push_back(value); }
    void u16(std::uint16_t value) {
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value >> 8),
                                       static_cast<std::uint8_t>(value)};
        append(bytes, sizeof bytes);
    }
    void u32(std::uint32_t value) {
        const std::uint8_t bytes[4] = {
            static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
        append(bytes, sizeof bytes);
    }
    void u64(std::uint64_t value) {
        u32(static_cast<std::uint32_t>(value >> 32));
        u32(static_cast<std::uint32_t>(value));
    }
    void boolean(bool value) { u8(value ? 1 : 0); }
    // Non-finite numbers have no wire form: the receiver could not act on them.
    void f32(float value, const char* field) {
        if (!std::isfinite(value)) throw MessageCodec::EncodingError::nonFiniteValue(field);
        u32(std::bit_cast<std::uint32_t>(value));
    }
    void f64(double value, const char* field) {
        if (!std::isfinite(value)) throw MessageCodec::EncodingError::nonFiniteValue(field);
        u64(std::bit_cast<std::uint64_t>(value));
    }
    // u8 length and UTF-8 bytes; at most 255 bytes of valid UTF-8.
    void string(std::string_view text, const char* field);
    // u16 length and the bytes; the caller checks the limit of its field.
    void blob(std::span<const std::uint8_t> bytes) {
        u16(static_cast<std::uint16_t>(bytes.size()));
        append(bytes.data(), bytes.size());
    }
    template <std::size_t N>
    void fixed(const std::array<std::uint8_t, N>& bytes) {
        append(bytes.data(), N);
    }
    void append(const std::uint8_t* bytes, std::size_t count) {
        out_.insert(out_.end(), bytes, bytes + count);
    }
    void reserveMore(std::size_t count) { out_.reserve(out_.size() + count); }
    std::size_t size() const { return out_.size(); }

  private:
    Data& out_;
};

// Reads from a byte span; a read past its end throws DecodingError::truncated, so a length field can never
// make the reader take (or allocate for) more than the bytes actually present.
class WireReader {
  public:
    explicit WireReader(std::span<const std::uint8_t> bytes)
        : next_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - next_); }
    bool atEnd() const { return next_ == end_; }

    std::uint8_t u8() {
        need(1);
        return *next_++;
    }
    std::uint16_t u16() {
        need(2);
        auto value = static_cast<std::uint16_t>(next_[0] << 8 | next_[1]);
        next_ += 2;
        return value;
    }
    std::uint32_t u32() {
        need(4);
        auto value = std::uint32_t{next_[0]} << 24 | std::uint32_t{next_[1]} << 16 |
                     std::uint32_t{next_[2]} << 8 | std::uint32_t{next_[3]};
        next_ += 4;
        return value;
    }
    std::uint64_t u64() {
        auto high = std::uint64_t{u32()};
        return high << 32 | u32();
    }
    bool boolean(const char* field) {
        auto value = u8();
        if (value > 1) throw MessageCodec::DecodingError::invalidValue(field);
        return value == 1;
    }
    // A presence byte: 0 absent, 1 present, anything else invalid.
    bool presence(const char* field) { return boolean(field); }
    float f32(const char* field) {
        auto value = std::bit_cast<float>(u32());
        if (!std::isfinite(value)) throw MessageCodec::DecodingError::invalidValue(field);
        return value;
    }
    double f64(const char* field) {
        auto value = std::bit_cast<double>(u64());
        if (!std::isfinite(value)) throw MessageCodec::DecodingError::invalidValue(field);
        return value;
    }
    // An enumeration stored as one byte holding 0...last.
    template <class Enum>
    Enum enumeration(Enum last, const char* field) {
        auto raw = u8();
        if (raw > static_cast<std::uint8_t>(last)) throw MessageCodec::DecodingError::invalidValue(field);
        return static_cast<Enum>(raw);
    }
    // An option set of one byte whose undefined bits are refused.
    template <class Set>
    Set options(const char* field) {
        auto raw = u8();
        if ((raw & ~Set::allBits) != 0) throw MessageCodec::DecodingError::invalidValue(field);
        return Set(raw);
    }
    std::string string(const char* field);
    std::span<const std::uint8_t> bytes(std::size_t count) {
        need(count);
        std::span<const std::uint8_t> taken(next_, count);
        next_ += count;
        return taken;
    }
    std::span<const std::uint8_t> blob() { return bytes(u16()); }
    template <std::size_t N>
    std::array<std::uint8_t, N> fixed() {
        need(N);
        std::array<std::uint8_t, N> value;
        std::memcpy(value.data(), next_, N);
        next_ += N;
        return value;
    }
    // Anything left after the last field.
    void expectEnd() const {
        if (!atEnd()) throw MessageCodec::DecodingError::trailingBytes(remaining());
    }

  private:
    void need(std::size_t count) const {
        if (remaining() < count) throw MessageCodec::DecodingError::truncated();
    }

    const std::uint8_t* next_;
    const std::uint8_t* end_;
};

// Checks that an enumeration value lies within 0...last before it is written.
template <class Enum>
std::uint8_t checkedEnum(Enum value, Enum last, const char* field) {
    auto raw = static_cast<std::uint8_t>(value);
    if (raw > static_cast<std::uint8_t>(last)) throw MessageCodec::EncodingError::invalidValue(field);
    return raw;
}

template <class Set>
std::uint8_t checkedOptions(Set set, const char* field) {
    if ((set.rawValue & ~Set::allBits) != 0) throw MessageCodec::EncodingError::invalidValue(field);
    return set.rawValue;
}

}  // namespace TrackpadProtocol
