// The name and line rules of the two catalogue walks, as small pure functions. Each reads its
// input as 8-bit bytes; none throws, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A server folder's name: "^([\d]{1,3}.[\d]{1,3}.[\d]{1,3}.[\d]{1,3})-([\d]{2,5})" where "." is
// any one byte. Where the name allows several readings, the one a backtracking engine meets first
// is taken (each digit run as long as it can be). The port keeps the low 16 bits of its value.
struct ServerFolderName {
    std::string Address;
    uint16_t Port = 0;
};
std::optional<ServerFolderName> MatchServerFolderName(std::string_view name);

// A device settings file's name: its last three bytes, lower-cased, are "zrk".
bool IsDeviceFileName(std::string_view name);

// A device line, read up to its first zero byte: 5 to 7 digits, ":", one or more white-space
// bytes (space, TAB, LF, CR, FF), "PASSWORD=", 1 to 8 of [A-Za-z0-9_-], any white space, ";".
// The serial is the value of the digits as written (the caller drops serials below 10000).
struct DeviceLine {
    uint32_t Serial = 0;
    std::string Password;
};
std::optional<DeviceLine> MatchDeviceLine(std::string_view line);

// A lower-cased password file name: "^(\d{5,7}).psw" with "." any one byte. The digits are the
// longest run with which the rest still matches ("1234567psw" gives 123456). May give 0, which
// the caller ignores.
std::optional<uint32_t> MatchPasswordFileName(std::string_view lowerName);

// A serial as the listings write it: seven decimal digits with leading zeros ("%07u").
std::string FormatSerial(uint32_t serial);

// Lines of a device settings file held in memory. A line is at most 50 bytes; CR LF, LF CR, a
// lone CR and a lone LF each end one line and are not part of it; the 51st byte without a line
// end starts the next line.
class TextLineReader {
  public:
    static constexpr size_t kMaxLine = 50;

    explicit TextLineReader(std::string_view data) : data_(data) {}

    // Sets line to the next line and returns true when the end of the data was met while reading
    // it (the line may still hold the last, unterminated line). The view points into the data.
    bool ReadTextLine(std::string_view& line);

  private:
    std::string_view data_;
    size_t pos_ = 0;
};
