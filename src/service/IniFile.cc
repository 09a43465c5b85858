#include "service/IniFile.h"

#include <stdexcept>

#include "platform/Text.h"

std::optional<int32_t> ParseIniInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) return std::nullopt;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    if (base == 16) {
        // Hexadecimal covers the whole 32-bit pattern: $FFFFFFFF is -1.
        const auto bits = static_cast<uint32_t>(value);
        return static_cast<int32_t>(negative ? 0u - bits : bits);
    }
    const int64_t signedValue = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
    if (signedValue < INT32_MIN || signedValue > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(signedValue);
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
    return file_.GetString(section, key, def);
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t def) const {
    return ParseIniInteger(ReadString(section, key, "")).value_or(def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    if (!file_.WriteString(section, key, value))
        throw std::runtime_error("cannot write the configuration file " + file_.Path());
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
    file_.DeleteKey(section, key);  // a failed deletion is passed over
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
    for (const std::string& name : file_.KeyNames(section))
        if (platform::CompareNoCase(name, key) == 0) return true;
    return false;
}
