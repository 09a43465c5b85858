// Regional settings the service uses.
#pragma once

namespace platform {

// Takes the user's regional settings into use (POSIX: setlocale(LC_ALL, "")). Call once at start.
void InitLocale();

// The thousands separator of the regional settings as one Windows-1251 byte, or '\0' when the
// settings give none (numbers are then not grouped). U+00A0 and U+202F both give 0xA0.
char ThousandsSeparator();

}  // namespace platform
