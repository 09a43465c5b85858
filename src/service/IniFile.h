// The configuration file as the service reads and writes it: text, integers and booleans over
// the private-profile file, with the conversions of the classic class library. Every call goes
// to the file on disk. Reads never fail (a missing key or file gives the default); a write that
// fails throws std::runtime_error whose text names the file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ProfileFile.h"

class TIniFile {
public:
    explicit TIniFile(std::string path) : file_(std::move(path)) {}
    const std::string& FileName() const { return file_.Path(); }

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    // A decimal integer with optional sign, or a hexadecimal one after "0x", "0X" or "$", in the
    // 32-bit range; anything else (empty, trailing junk, inner blanks, overflow) gives def.
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
    // An integer read with default 0 or 1; true when it is not 0.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int32_t value);
    void WriteBool(const std::string& section, const std::string& key, bool value);

    // Removes the key; a failure is ignored (as the service wants it).
    void DeleteKey(const std::string& section, const std::string& key);
    // The key stands in its section's key list, whatever its value (an empty one included).
    bool ValueExists(const std::string& section, const std::string& key) const;

private:
    platform::ProfileFile file_;
};

// The integer conversion of ReadInteger on a text; empty when the text is no valid integer.
std::optional<int32_t> ParseIniInteger(std::string_view text);
