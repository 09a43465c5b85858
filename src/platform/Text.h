// 8-bit text helpers. All texts of the service are 8-bit strings: paths and names in the system's
// ANSI code page, the program's fixed texts in Windows-1251. Source literals are UTF-8 and are
// converted once through Cp1251().
#pragma once

#include <string>
#include <string_view>

namespace platform {

// UTF-8 text to Windows-1251 bytes. A character with no Windows-1251 byte becomes '?'.
// Invalid UTF-8 bytes are passed through unchanged. Pure; any thread.
std::string Cp1251(std::string_view utf8);

// Windows-1251 bytes to UTF-8 (for the console echo). Pure; any thread.
std::string Utf8FromCp1251(std::string_view bytes);

// ASCII lower-casing of an 8-bit string (the system locale's rules for the names we compare:
// serial digits and ASCII letters).
std::string AsciiLower(std::string_view text);

// Case-insensitive comparison of two 8-bit strings: ASCII letters and the Windows-1251
// Cyrillic letters fold together. Negative, zero or positive as strcmp.
int CompareNoCase(std::string_view a, std::string_view b);

}  // namespace platform
