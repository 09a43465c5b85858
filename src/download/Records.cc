// Pure helpers of the download records: the file kinds of a mode, the day-file name reader and
// the line the store logs for a received block.
#include <cstdio>

#include "download/OnlineClient.h"
#include "platform/Text.h"

std::string_view FileKind(uint16_t mode, int index) {
    if (mode == 2) return index == 0 ? "bin" : index == 1 ? "sbin" : "";
    if (mode == 4 && index == 0) return "route";
    return {};
}

namespace {

bool IsScanSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One "%<width>u" of the C scanner: leading white space is skipped, then an optional sign and
// digits, the sign counting towards the width; a minus negates modulo 2^32. Empty when no digit
// is read (a matching failure).
std::optional<uint32_t> ScanUnsigned(std::string_view text, size_t& pos, size_t width) {
    while (pos < text.size() && IsScanSpace(text[pos])) ++pos;
    size_t used = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
        ++used;
    }
    uint32_t value = 0;
    size_t digits = 0;
    while (used < width && pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
        ++pos;
        ++used;
        ++digits;
    }
    if (digits == 0) return std::nullopt;
    return negative ? 0u - value : value;
}

bool IsLeapYear(uint64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

// Reads the name as sscanf(name, "%7u-%2u%2u%2u.%5s", ...) would: the digits of the serial and of
// the day may be preceded by white space and a sign, and the word stops at white space or after
// five characters, whatever follows it.
std::optional<DataFileDay> ParseDataFileName(std::string_view name, std::string_view ext) {
    size_t pos = 0;
    if (!ScanUnsigned(name, pos, 7)) return std::nullopt;
    if (pos >= name.size() || name[pos] != '-') return std::nullopt;
    ++pos;
    uint32_t parts[3];
    for (uint32_t& part : parts) {
        const auto value = ScanUnsigned(name, pos, 2);
        if (!value) return std::nullopt;
        part = *value;
    }
    if (pos >= name.size() || name[pos] != '.') return std::nullopt;
    ++pos;
    while (pos < name.size() && IsScanSpace(name[pos])) ++pos;
    size_t end = pos;
    while (end < name.size() && end - pos < 5 && !IsScanSpace(name[end])) ++end;
    if (end == pos) return std::nullopt;
    // Read for every file of a device folder: compared in place, without a lower-cased copy.
    if (platform::CompareNoCase(name.substr(pos, end - pos), ext) != 0) return std::nullopt;

    // A negative part read as a huge unsigned number gives no calendar date.
    const uint64_t year = 2000 + uint64_t{parts[0]};
    const uint32_t month = parts[1];
    const uint32_t day = parts[2];
    static constexpr uint32_t kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year > 9999 || month < 1 || month > 12 || day < 1) return std::nullopt;
    const uint32_t monthDays = kDaysIn[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    if (day > monthDays) return std::nullopt;
    return DataFileDay{static_cast<int>(year), static_cast<int>(month), static_cast<int>(day)};
}

namespace {

// The count as "###,###,##0" formats it: groups of three joined by sep, none when sep is '\0'.
std::string GroupedCount(uint32_t count, char sep) {
    const std::string digits = std::to_string(count);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (sep != '\0' && i > 0 && (digits.size() - i) % 3 == 0) out.push_back(sep);
        out.push_back(digits[i]);
    }
    return out;
}

}  // namespace

std::string FormatReceivedLine(const TDevFilesRequest& item, uint32_t count, char sep) {
    static const std::string kReceived = platform::Cp1251(" (принято ");
    static const std::string kBytes = platform::Cp1251(" байт");
    static const std::string kEndingMany = platform::Cp1251("ов)");
    static const std::string kEndingFew = platform::Cp1251("а)");

    std::string line;
    if (!item.Label.empty()) {
        line = item.Label;
    } else {
        char serial[16];
        std::snprintf(serial, sizeof serial, "%07u", item.Serial);
        line = serial;
    }
    const char* d = item.Date;
    line += " - ";
    line += {d[0], d[1], '.', d[2], d[3], '.', d[4], d[5]};
    line += kReceived;
    line += GroupedCount(count, sep);
    line += kBytes;

    const uint32_t ones = count % 10;
    const uint32_t tens = count % 100 - ones;
    if (ones == 0 || ones >= 5 || tens == 10) {
        line += kEndingMany;
    } else if (ones == 1) {
        line += ")";
    } else {
        line += kEndingFew;
    }
    return line;
}
