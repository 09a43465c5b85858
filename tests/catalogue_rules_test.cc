// The name and line rules of the catalogue walks: tables of good and bad inputs, and a comparison
// with a backtracking regular-expression engine on generated near-misses.
#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "catalogue/ScanRules.h"

using namespace std::string_literals;

namespace {

std::string Printable(std::string_view text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// Random strings over an alphabet, and single-byte mutations of seed strings: the mutations land
// next to the rules' edges where a table might miss a case.
std::vector<std::string> Variants(const std::vector<std::string>& seeds, std::string_view alphabet,
                                  int count) {
    std::mt19937 random(12345);
    std::vector<std::string> out(seeds);
    const auto pick = [&](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(random);
    };
    for (int i = 0; i < count; ++i) {
        std::string s = seeds[pick(seeds.size())];
        for (int edits = 1 + static_cast<int>(pick(3)); edits > 0; --edits) {
            const size_t at = s.empty() ? 0 : pick(s.size() + 1);
            const char c = alphabet[pick(alphabet.size())];
            switch (pick(3)) {
                case 0:
                    s.insert(s.begin() + static_cast<long>(at), c);
                    break;
                case 1:
                    if (at < s.size()) s.erase(at, 1);
                    break;
                default:
                    if (at < s.size()) s[at] = c;
                    break;
            }
        }
        out.push_back(std::move(s));
    }
    return out;
}

}  // namespace

TEST(CatalogueRules, ServerFolderNames) {
    struct Case {
        std::string name;
        bool matches;
        std::string address;
        uint16_t port;
    } cases[] = {
        {"10.0.0.1-2226", true, "10.0.0.1", 2226},
        {"10.0.0.1-2226 main office", true, "10.0.0.1", 2226},
        {"10_0_0_1-2226", true, "10_0_0_1", 2226},
        {"192.168.100.200-65535", true, "192.168.100.200", 65535},
        {"010.000.000.001-22", true, "010.000.000.001", 22},
        {"10.0.0.1-123456", true, "10.0.0.1", 12345},
        {"10.0.0.1-70000", true, "10.0.0.1", 4464},
        {"10.0.0.1-65536", true, "10.0.0.1", 0},
        {"1.2.3.4-00", true, "1.2.3.4", 0},
        {"1\xC0"
         "2\xC0"
         "3\xC0"
         "4-22",
         true,
         "1\xC0"
         "2\xC0"
         "3\xC0"
         "4",
         22},
        // The joining byte may be a digit or "-"; the first reading a backtracking engine finds
        // is the one taken.
        {"1111111-22", true, "1111111", 22},
        {"1111111-22-33", true, "1111111-22", 33},
        {"1-2-3-4-55", true, "1-2-3-4", 55},
        {"10.0.0.1-5", false, "", 0},
        {"10.0.0.1-", false, "", 0},
        {"10.0.0.1_2226", false, "", 0},
        {"10.0.0-2226", false, "", 0},
        {"1.2.3.4444-22", false, "", 0},
        {" 10.0.0.1-2226", false, "", 0},
        {"a10.0.0.1-2226", false, "", 0},
        {"", false, "", 0},
    };
    for (const auto& c : cases) {
        const auto got = MatchServerFolderName(c.name);
        ASSERT_EQ(got.has_value(), c.matches) << Printable(c.name);
        if (!got) continue;
        EXPECT_EQ(got->Address, c.address) << Printable(c.name);
        EXPECT_EQ(got->Port, c.port) << Printable(c.name);
    }
}

TEST(CatalogueRules, ServerFolderNamesAgreeWithRegexEngine) {
    const std::regex pattern(
        R"(^([0-9]{1,3}[\s\S][0-9]{1,3}[\s\S][0-9]{1,3}[\s\S][0-9]{1,3})-([0-9]{2,5}))");
    const auto names =
        Variants({"10.0.0.1-2226", "1111111-22-33", "123.45.6.789-12345 x", "1-2-3-4-5-6-7-8"},
                 "0123456789.-_ ", 20000);
    for (const auto& name : names) {
        std::smatch m;
        const bool expected = std::regex_search(name, m, pattern);
        const auto got = MatchServerFolderName(name);
        ASSERT_EQ(got.has_value(), expected) << Printable(name);
        if (!got) continue;
        EXPECT_EQ(got->Address, m[1].str()) << Printable(name);
        EXPECT_EQ(got->Port, static_cast<uint16_t>(std::stoul(m[2].str()))) << Printable(name);
    }
}

TEST(CatalogueRules, DeviceFileNames) {
    for (const char* name : {"dev.zrk", "dev.ZRK", "devzrk", "zrk", "x.ZrK"}) {
        EXPECT_TRUE(IsDeviceFileName(name)) << name;
    }
    for (const char* name : {"dev.zrk.bak", "dev.zr", "zr", "", "dev.zrk ", "dev.zrkx"}) {
        EXPECT_FALSE(IsDeviceFileName(name)) << name;
    }
}

TEST(CatalogueRules, DeviceLines) {
    struct Case {
        std::string line;
        bool matches;
        uint32_t serial;
        std::string password;
    } cases[] = {
        {"1234567:\tPASSWORD=ab_1cd;", true, 1234567, "ab_1cd"},
        {"1234567:\tPASSWORD=ab_1cd ; the dispatcher's car", true, 1234567, "ab_1cd"},
        {"12345: PASSWORD=abcdefgh;", true, 12345, "abcdefgh"},
        {"12345:\f\r\n \tPASSWORD=a-B9\t\f\r\n;", true, 12345, "a-B9"},
        {"0001234: PASSWORD=x;", true, 1234, "x"},  // the scan drops it, not the rule
        {"12345: PASSWORD=abc;\0junk"s, true, 12345, "abc"},
        {" 1234567:\tPASSWORD=ab_1cd;", false, 0, ""},
        {"1234567:PASSWORD=ab_1cd;", false, 0, ""},
        {"1234567:\tpassword=ab_1cd;", false, 0, ""},
        {"12345678:\tPASSWORD=ab_1cd;", false, 0, ""},
        {"1234:\tPASSWORD=ab_1cd;", false, 0, ""},
        {"1234567:\tPASSWORD=abcdefghi;", false, 0, ""},
        {"1234567:\tPASSWORD=ab!cd;", false, 0, ""},
        {"1234567:\tPASSWORD=ab\xE6"
         "cd;",
         false, 0, ""},  // a Cyrillic letter
        {"1234567:\tPASSWORD=;", false, 0, ""},
        {"1234567:\tPASSWORD=abc", false, 0, ""},
        {"1234567:\tPASSWORD=abc x;", false, 0, ""},
        {"1234567:\vPASSWORD=abc;", false, 0, ""},  // vertical tab is no separator here
        {"12345: PASSWORD=abc\0;"s, false, 0, ""},
        {"12345 : PASSWORD=abc;", false, 0, ""},
        {"", false, 0, ""},
    };
    for (const auto& c : cases) {
        const auto got = MatchDeviceLine(c.line);
        ASSERT_EQ(got.has_value(), c.matches) << Printable(c.line);
        if (!got) continue;
        EXPECT_EQ(got->Serial, c.serial) << Printable(c.line);
        EXPECT_EQ(got->Password, c.password) << Printable(c.line);
    }
}

TEST(CatalogueRules, DeviceLinesAgreeWithRegexEngine) {
    // "[a-zA-Z\d_-\w\S]" of the settings file format admits letters, digits, "_" and "-" only.
    const std::regex pattern(
        "^([0-9]{5,7}):[ \\t\\n\\r\\f]+PASSWORD=([a-zA-Z0-9_-]{1,8})[ \\t\\n\\r\\f]*;");
    const auto lines = Variants({"1234567:\tPASSWORD=ab_1cd;", "12345: PASSWORD=abcdefgh ;x"},
                                "0123456789: \t\f\v;=PASWORDa_-!\xE6", 20000);
    for (const auto& line : lines) {
        std::smatch m;
        const bool expected = std::regex_search(line, m, pattern);
        const auto got = MatchDeviceLine(line);
        ASSERT_EQ(got.has_value(), expected) << Printable(line);
        if (!got) continue;
        EXPECT_EQ(got->Serial, std::stoul(m[1].str())) << Printable(line);
        EXPECT_EQ(got->Password, m[2].str()) << Printable(line);
    }
}

TEST(CatalogueRules, PasswordFileNames) {
    struct Case {
        std::string lowerName;
        std::optional<uint32_t> serial;
    } cases[] = {
        {"0012345.psw", 12345},
        {"12345.psw.old", 12345},
        {"12345xpsw", 12345},
        {"1234567psw", 123456},
        {"123456psw", 12345},
        {"1234567.psw", 1234567},
        {"00001.psw", 1},
        {"00000.psw", 0},
        {"9999999.psw", 9999999},
        {"12345\xE0psw", 12345},
        {"12345678.psw", std::nullopt},
        {"1234.psw", std::nullopt},
        {"12345psw", std::nullopt},
        {"a12345.psw", std::nullopt},
        {"12345.ps", std::nullopt},
        {"12345.PSW", std::nullopt},  // callers lower-case first
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchPasswordFileName(c.lowerName), c.serial) << Printable(c.lowerName);
    }
}

TEST(CatalogueRules, PasswordFileNamesAgreeWithRegexEngine) {
    const std::regex pattern(R"(^([0-9]{5,7})[\s\S]psw)");
    const auto names =
        Variants({"0012345.psw", "1234567psw", "12345678.psw.old"}, "0123456789.psw", 20000);
    for (const auto& name : names) {
        std::smatch m;
        const bool expected = std::regex_search(name, m, pattern);
        const auto got = MatchPasswordFileName(name);
        ASSERT_EQ(got.has_value(), expected) << Printable(name);
        if (got) {
            EXPECT_EQ(*got, std::stoul(m[1].str())) << Printable(name);
        }
    }
}

TEST(CatalogueRules, ReadTextLineEndsAndCut) {
    const std::string fifty(50, 'x');
    struct Case {
        std::string data;
        std::vector<std::string> lines;  // every line read; the last one comes with the end flag
    } cases[] = {
        {"a\r\nb\n\rc\rd\ne", {"a", "b", "c", "d", "e"}},
        {"a\r\n", {"a", ""}},
        {"a\r", {"a", ""}},  // a lone CR at the very end
        {"a\n", {"a", ""}},
        {"\n\n", {"", "", ""}},
        {"\r\n\r\n", {"", "", ""}},
        {"\n\r\n", {"", "", ""}},
        {"\r\r\n\n", {"", "", "", ""}},
        {"", {""}},
        {fifty + "1234567890", {fifty, "1234567890"}},
        {fifty, {fifty, ""}},
        {fifty + "\r\ny", {fifty, "", "y"}},
        {std::string("a\0b\nc", 5), {std::string("a\0b", 3), "c"}},
    };
    for (const auto& c : cases) {
        TextLineReader reader(c.data);
        std::vector<std::string> got;
        for (bool end = false; !end && got.size() < 100;) {
            std::string_view line;
            end = reader.ReadTextLine(line);
            got.emplace_back(line);
        }
        EXPECT_EQ(got, c.lines) << Printable(c.data);
    }
}

TEST(CatalogueRules, FormatSerial) {
    EXPECT_EQ(FormatSerial(12345), "0012345");
    EXPECT_EQ(FormatSerial(1), "0000001");
    EXPECT_EQ(FormatSerial(9999999), "9999999");
}
