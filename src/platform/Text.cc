#include "platform/Text.h"

#include <array>
#include <cstdint>

namespace platform {
namespace {

// Unicode code points of the Windows-1251 bytes 0x80..0xBF; 0 marks an unused byte.
constexpr std::array<uint16_t, 64> kHigh = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

uint32_t CodePointOf(unsigned char byte) {
    if (byte < 0x80) return byte;
    if (byte >= 0xC0) return 0x0410 + (byte - 0xC0);  // А..я in order
    return kHigh[byte - 0x80];
}

int ByteOf(uint32_t cp) {
    if (cp < 0x80) return static_cast<int>(cp);
    if (cp >= 0x0410 && cp <= 0x044F) return static_cast<int>(0xC0 + (cp - 0x0410));
    for (size_t i = 0; i < kHigh.size(); ++i)
        if (kHigh[i] == cp && cp != 0) return static_cast<int>(0x80 + i);
    if (cp == 0x202F) return 0xA0;  // narrow no-break space: the nearest Windows-1251 byte
    return -1;
}

unsigned char FoldByte(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
    if (c >= 0xC0 && c <= 0xDF) return static_cast<unsigned char>(c + 32);  // А..Я -> а..я
    if (c == 0xA8) return 0xB8;                                             // Ё -> ё
    return c;
}

}  // namespace

std::string Cp1251(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp = 0;
        size_t len = 0;
        if (c < 0x80) {
            cp = c, len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F, len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F, len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07, len = 4;
        }
        bool valid = len > 0 && i + len <= utf8.size();
        for (size_t k = 1; valid && k < len; ++k) {
            const auto cc = static_cast<unsigned char>(utf8[i + k]);
            valid = (cc & 0xC0) == 0x80;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (!valid) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        const int byte = ByteOf(cp);
        out.push_back(byte < 0 ? '?' : static_cast<char>(byte));
        i += len;
    }
    return out;
}

std::string Utf8FromCp1251(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char ch : bytes) {
        const uint32_t cp = CodePointOf(static_cast<unsigned char>(ch));
        if (cp == 0 && ch != 0) {
            out.push_back('?');
        } else if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

int CompareNoCase(std::string_view a, std::string_view b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const int x = FoldByte(static_cast<unsigned char>(a[i]));
        const int y = FoldByte(static_cast<unsigned char>(b[i]));
        if (x != y) return x - y;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

}  // namespace platform
