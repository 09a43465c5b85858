#include <gtest/gtest.h>

#include "platform/Text.h"

TEST(Text, Cp1251RoundTripOfFixedTexts) {
    struct Case {
        const char* utf8;
        std::string bytes;
    } cases[] = {
        {"Служба", "\xD1\xEB\xF3\xE6\xE1\xE0"},
        {"Ёё", "\xA8\xB8"},
        {"приёма…", "\xEF\xF0\xE8\xB8\xEC\xE0\x85"},
        {"Cписок", "C\xEF\xE8\xF1\xEE\xEA"},  // Latin C first
        {"\xC2\xA0", "\xA0"},                  // no-break space
        {"\xE2\x80\xAF", "\xA0"},              // narrow no-break space maps to the same byte
        {"abc", "abc"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::Cp1251(c.utf8), c.bytes) << c.utf8;
    }
    EXPECT_EQ(platform::Utf8FromCp1251("\xD1\xEB\xF3\xE6\xE1\xE0 \x85"), "Служба …");
    EXPECT_EQ(platform::Cp1251("€"), "\x88");
    EXPECT_EQ(platform::Cp1251("漢"), "?");
}

TEST(Text, CompareNoCaseFoldsLatinAndCyrillic) {
    EXPECT_EQ(platform::CompareNoCase("ABC", "abc"), 0);
    EXPECT_EQ(platform::CompareNoCase(platform::Cp1251("ПРИЁМ"), platform::Cp1251("приём")), 0);
    EXPECT_LT(platform::CompareNoCase("a", "B"), 0);
    EXPECT_GT(platform::CompareNoCase("ab", "a"), 0);
}
