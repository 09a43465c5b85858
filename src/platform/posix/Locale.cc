#include <clocale>
#include <cstdlib>
#include <string>

#include "platform/Locale.h"
#include "platform/Text.h"

namespace platform {

void InitLocale() { std::setlocale(LC_ALL, ""); }

char ThousandsSeparator() {
    // PELORN_THOUSANDS_SEP lets tests and users fix the separator: its UTF-8 text, "" for none.
    if (const char* forced = std::getenv("PELORN_THOUSANDS_SEP")) {
        const std::string sep = Cp1251(forced);
        return sep.empty() ? '\0' : sep[0];
    }
    const lconv* lc = std::localeconv();
    if (!lc || !lc->thousands_sep || !*lc->thousands_sep) return '\0';
    const std::string sep = Cp1251(lc->thousands_sep);
    return sep.empty() || sep[0] == '?' ? '\0' : sep[0];
}

}  // namespace platform
