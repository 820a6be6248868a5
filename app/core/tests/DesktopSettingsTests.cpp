// The XSETTINGS block belongs to another process: its integer is found, and damage is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/core/DesktopSettings.h"

namespace Shell {
namespace {

struct Block {
    bool bigEndian = false;
    std::vector<std::uint8_t> bytes;

    void put(std::uint32_t value, int width) {
        for (int i = 0; i < width; ++i) {
            const int shift = bigEndian ? (width - 1 - i) * 8 : i * 8;
            bytes.push_back(static_cast<std::uint8_t>(value >> shift));
        }
    }
    void pad() {
        while (bytes.size() % 4) {
            bytes.push_back(0);
        }
    }
    void header(std::uint32_t count) {
        bytes.push_back(bigEndian ? 1 : 0);
        bytes.insert(bytes.end(), 3, 0);
        put(7, 4);
        put(count, 4);
    }
    void name(std::uint8_t type, const std::string& text) {
        bytes.push_back(type);
        bytes.push_back(0);
        put(static_cast<std::uint32_t>(text.size()), 2);
        bytes.insert(bytes.end(), text.begin(), text.end());
        pad();
        put(1, 4);
    }
    void integer(const std::string& text, std::int32_t value) {
        name(0, text);
        put(static_cast<std::uint32_t>(value), 4);
    }
    void string(const std::string& text, const std::string& value) {
        name(1, text);
        put(static_cast<std::uint32_t>(value.size()), 4);
        bytes.insert(bytes.end(), value.begin(), value.end());
        pad();
    }
};

TEST(DesktopSettings, FindsTheIntegerAfterOtherKindsInEitherByteOrder) {
    for (bool bigEndian : {false, true}) {
        Block block;
        block.bigEndian = bigEndian;
        block.header(4);
        block.string("Net/ThemeName", "Adwaita");
        block.name(2, "Gtk/Color");
        block.put(0, 4);
        block.put(0, 4);
        block.integer("Net/DoubleClickTime", 250);
        block.integer("Net/CursorBlink", 1);
        EXPECT_EQ(xsettingsInteger(block.bytes, "Net/DoubleClickTime"), 250);
        EXPECT_EQ(xsettingsInteger(block.bytes, "Net/Missing"), std::nullopt);
    }
}

TEST(DesktopSettings, RefusesTruncatedAndLyingBlocks) {
    Block block;
    block.header(1);
    block.integer("Net/DoubleClickTime", 250);
    for (std::size_t size = 0; size < block.bytes.size(); ++size) {
        EXPECT_EQ(xsettingsInteger(std::span(block.bytes.data(), size), "Net/DoubleClickTime"), std::nullopt)
            << size;
    }
    Block lying;
    lying.header(1000000);
    lying.string("Net/ThemeName", "x");
    lying.bytes[lying.bytes.size() - 8] = 0xFF;  // string length far beyond the block
    EXPECT_EQ(xsettingsInteger(lying.bytes, "Net/DoubleClickTime"), std::nullopt);
    Block unknownType;
    unknownType.header(1);
    unknownType.name(9, "Net/DoubleClickTime");
    EXPECT_EQ(xsettingsInteger(unknownType.bytes, "Net/DoubleClickTime"), std::nullopt);
}

}  // namespace
}  // namespace Shell
