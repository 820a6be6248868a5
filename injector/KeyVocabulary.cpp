#include "injector/KeyVocabulary.h"

#include <array>

namespace Injector {
namespace KeyCode {
namespace {

constexpr std::uint16_t none = 0xFFFF;

// Virtual key code (index) to evdev key code, from <linux/input-event-codes.h>.
constexpr std::array<std::uint16_t, 128> evdevTable = [] {
    std::array<std::uint16_t, 128> t{};
    t.fill(none);
    // Letters, digits and punctuation of the ANSI block.
    t[0] = 30;     // A
    t[1] = 31;     // S
    t[2] = 32;     // D
    t[3] = 33;     // F
    t[4] = 35;     // H
    t[5] = 34;     // G
    t[6] = 44;     // Z
    t[7] = 45;     // X
    t[8] = 46;     // C
    t[9] = 47;     // V
    t[10] = 86;    // ISO section key (KEY_102ND)
    t[11] = 48;    // B
    t[12] = 16;    // Q
    t[13] = 17;    // W
    t[14] = 18;    // E
    t[15] = 19;    // R
    t[16] = 21;    // Y
    t[17] = 20;    // T
    t[18] = 2;     // 1
    t[19] = 3;     // 2
    t[20] = 4;     // 3
    t[21] = 5;     // 4
    t[22] = 7;     // 6
    t[23] = 6;     // 5
    t[24] = 13;    // =
    t[25] = 10;    // 9
    t[26] = 8;     // 7
    t[27] = 12;    // -
    t[28] = 9;     // 8
    t[29] = 11;    // 0
    t[30] = 27;    // ]
    t[31] = 24;    // O
    t[32] = 22;    // U
    t[33] = 26;    // [
    t[34] = 23;    // I
    t[35] = 25;    // P
    t[36] = 28;    // Return
    t[37] = 38;    // L
    t[38] = 36;    // J
    t[39] = 40;    // '
    t[40] = 37;    // K
    t[41] = 39;    // ;
    t[42] = 43;    // backslash
    t[43] = 51;    // ,
    t[44] = 53;    // /
    t[45] = 49;    // N
    t[46] = 50;    // M
    t[47] = 52;    // .
    t[48] = 15;    // Tab
    t[49] = 57;    // Space
    t[50] = 41;    // `
    t[51] = 14;    // Delete (backspace)
    t[53] = 1;     // Escape
    t[54] = 126;   // right Command (KEY_RIGHTMETA)
    t[55] = 125;   // Command (KEY_LEFTMETA)
    t[56] = 42;    // Shift
    t[57] = 58;    // Caps Lock
    t[58] = 56;    // Option (KEY_LEFTALT)
    t[59] = 29;    // Control
    t[60] = 54;    // right Shift
    t[61] = 100;   // right Option
    t[62] = 97;    // right Control
    t[64] = 187;   // F17
    t[65] = 83;    // keypad .
    t[67] = 55;    // keypad *
    t[69] = 78;    // keypad +
    t[71] = 69;    // keypad Clear (Num Lock position)
    t[72] = 115;   // volume up
    t[73] = 114;   // volume down
    t[74] = 113;   // mute
    t[75] = 98;    // keypad /
    t[76] = 96;    // keypad Enter
    t[78] = 74;    // keypad -
    t[79] = 188;   // F18
    t[80] = 189;   // F19
    t[81] = 117;   // keypad =
    t[82] = 82;    // keypad 0
    t[83] = 79;    // keypad 1
    t[84] = 80;    // keypad 2
    t[85] = 81;    // keypad 3
    t[86] = 75;    // keypad 4
    t[87] = 76;    // keypad 5
    t[88] = 77;    // keypad 6
    t[89] = 71;    // keypad 7
    t[90] = 190;   // F20
    t[91] = 72;    // keypad 8
    t[92] = 73;    // keypad 9
    t[93] = 124;   // JIS yen
    t[94] = 89;    // JIS underscore (KEY_RO)
    t[95] = 121;   // JIS keypad comma
    t[96] = 63;    // F5
    t[97] = 64;    // F6
    t[98] = 65;    // F7
    t[99] = 61;    // F3
    t[100] = 66;   // F8
    t[101] = 67;   // F9
    t[103] = 87;   // F11
    t[105] = 183;  // F13
    t[106] = 186;  // F16
    t[107] = 184;  // F14
    t[109] = 68;   // F10
    t[110] = 127;  // context menu (KEY_COMPOSE)
    t[111] = 88;   // F12
    t[113] = 185;  // F15
    t[114] = 110;  // Help, where PC keyboards have Insert
    t[115] = 102;  // Home
    t[116] = 104;  // Page Up
    t[117] = 111;  // Forward Delete
    t[118] = 62;   // F4
    t[119] = 107;  // End
    t[120] = 60;   // F2
    t[121] = 109;  // Page Down
    t[122] = 59;   // F1
    t[123] = 105;  // Left
    t[124] = 106;  // Right
    t[125] = 108;  // Down
    t[126] = 103;  // Up
    return t;
}();

}  // namespace

bool isArrowKey(std::uint16_t code) {
    return code >= 123 && code <= 126;
}

bool isFunctionKey(std::uint16_t code) {
    switch (code) {
        case 122:
        case 120:
        case 99:
        case 118:
        case 96:
        case 97:
        case 98:
        case 100:
        case 101:
        case 109:
        case 103:
        case 111:
        case 105:
        case 107:
        case 113:
        case 106:
        case 64:
        case 79:
        case 80:
        case 90:
        case 114:
        case 115:
        case 116:
        case 117:
        case 119:
        case 121:
            return true;
        default:
            return false;
    }
}

bool isKeypadKey(std::uint16_t code) {
    switch (code) {
        case 65:
        case 67:
        case 69:
        case 71:
        case 75:
        case 76:
        case 78:
        case 81:
        case 91:
        case 92:
            return true;
        default:
            return code >= 82 && code <= 89;
    }
}

std::uint64_t eventFlags(std::uint16_t code) {
    if (isArrowKey(code)) {
        return 0xa00000;
    }
    if (isFunctionKey(code)) {
        return 0x800000;
    }
    if (isKeypadKey(code)) {
        return 0x200000;
    }
    return 0;
}

std::optional<std::uint16_t> evdevKeyCode(std::uint16_t code) {
    if (code >= evdevTable.size() || evdevTable[code] == none) {
        return std::nullopt;
    }
    return evdevTable[code];
}

std::optional<Modifiers> modifierOfKey(std::uint16_t code) {
    switch (code) {
        case shift:
        case rightShift:
            return Modifiers::shift;
        case control:
        case rightControl:
            return Modifiers::control;
        case option:
        case rightOption:
            return Modifiers::option;
        case command:
        case rightCommand:
            return Modifiers::command;
        default:
            return std::nullopt;
    }
}

}  // namespace KeyCode

std::u32string scalarsOfUTF16(const std::u16string& text) {
    std::u32string scalars;
    scalars.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                scalars.push_back(0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
                ++i;
            }
        } else if (unit < 0xDC00 || unit > 0xDFFF) {
            scalars.push_back(unit);
        }
    }
    return scalars;
}

}  // namespace Injector
