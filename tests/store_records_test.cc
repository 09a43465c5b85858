#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "download/OnlineClient.h"
#include "platform/Text.h"

namespace {

TDevFilesRequest Item(uint32_t serial, const char* date) {
    TDevFilesRequest item;
    item.Serial = serial;
    std::memcpy(item.Date, date, 6);
    return item;
}

std::string Replace(std::string text, char from, char to) {
    std::string out;
    for (char c : text) {
        if (c != from) {
            out.push_back(c);
        } else if (to != '\0') {
            out.push_back(to);
        }
    }
    return out;
}

}  // namespace

TEST(StoreRecords, FileKindsOfEachMode) {
    EXPECT_EQ(FileKind(2, 0), "bin");
    EXPECT_EQ(FileKind(2, 1), "sbin");
    EXPECT_EQ(FileKind(4, 0), "route");
    EXPECT_EQ(FileKind(4, 1), "");
    EXPECT_EQ(FileKind(3, 0), "");
    EXPECT_EQ(FileKind(2, 2), "");
}

TEST(StoreRecords, ReceivedLineGroupsTheCountAndChoosesThePluralEnding) {
    struct Case {
        uint32_t count;
        const char* spaced;  // the count grouped with a space
        const char* ending;
    } cases[] = {
        {0, "0", "ов)"},
        {1, "1", ")"},
        {2, "2", "а)"},
        {3, "3", "а)"},
        {4, "4", "а)"},
        {5, "5", "ов)"},
        {11, "11", "ов)"},
        {12, "12", "ов)"},
        {14, "14", "ов)"},
        {21, "21", ")"},
        {22, "22", "а)"},
        {25, "25", "ов)"},
        {100, "100", "ов)"},
        {101, "101", ")"},
        {104, "104", "а)"},
        {111, "111", "ов)"},
        {112, "112", "ов)"},
        {999, "999", "ов)"},
        {1001, "1 001", ")"},
        {1011, "1 011", "ов)"},
        {1234, "1 234", "а)"},
        {100000, "100 000", "ов)"},
        {1234567, "1 234 567", "ов)"},
        {4294967295u, "4 294 967 295", "ов)"},
    };
    const TDevFilesRequest item = Item(12345, "050311");
    for (const char sep : {' ', '\0', '\xA0'}) {
        for (const auto& c : cases) {
            const std::string expected = "0012345 - 05.03.11 " + platform::Cp1251("(принято ") +
                                         Replace(c.spaced, ' ', sep) +
                                         platform::Cp1251(std::string(" байт") + c.ending);
            EXPECT_EQ(FormatReceivedLine(item, c.count, sep), expected)
                << "count " << c.count << " separator " << int(static_cast<unsigned char>(sep));
        }
    }
}

TEST(StoreRecords, ReceivedLineNamesTheDeviceByItsLabelWhenItHasOne) {
    TDevFilesRequest item = Item(7, "311299");
    EXPECT_EQ(FormatReceivedLine(item, 1, ' '),
              platform::Cp1251("0000007 - 31.12.99 (принято 1 байт)"));
    item.Label = "Truck 12";
    EXPECT_EQ(FormatReceivedLine(item, 2, ' '),
              platform::Cp1251("Truck 12 - 31.12.99 (принято 2 байта)"));
}

TEST(StoreRecords, DataFileNamesAreReadAsTheCScannerReadsThem) {
    struct Case {
        const char* name;
        const char* ext;
        int year, month, day;  // year 0: refused
    } cases[] = {
        {"0012345-110305.bin", "bin", 2011, 3, 5},
        {"0012345-110305.BIN", "bin", 2011, 3, 5},
        {"0012345-110305.Sbin", "sbin", 2011, 3, 5},
        {"0012345-110305.route", "route", 2011, 3, 5},
        {"0012345-000229.bin", "bin", 2000, 2, 29},
        {"0012345-240229.bin", "bin", 2024, 2, 29},
        {"0012345-991231.bin", "bin", 2099, 12, 31},
        {"1-110305.bin", "bin", 2011, 3, 5},        // the serial is not checked here
        {"0012345-11031.bin", "bin", 2011, 3, 1},   // a two-digit field may hold one digit
        {"0012345-1 0305.bin", "bin", 2001, 3, 5},  // white space before a number is skipped
        {"0012345-+10305.bin", "bin", 2001, 3, 5},  // so is a plus sign
        {"0012345-110305.binar", "binar", 2011, 3, 5},
        {"0012345-110305.bin", "sbin", 0, 0, 0},  // another kind
        {"0012345-110305.sbin", "bin", 0, 0, 0},
        {"0012345-110305.routes", "routes", 0, 0, 0},  // the word takes five characters
        {"0012345-111305.bin", "bin", 0, 0, 0},        // month 13
        {"0012345-110005.bin", "bin", 0, 0, 0},        // month 0
        {"0012345-110231.bin", "bin", 0, 0, 0},        // 31 February
        {"0012345-230229.bin", "bin", 0, 0, 0},        // 29 February of a common year
        {"0012345-110300.bin", "bin", 0, 0, 0},        // day 0
        {"0012345-110431.bin", "bin", 0, 0, 0},        // 31 April
        {"0012345--10305.bin", "bin", 0, 0, 0},        // a negative year is no date
        {"0012345-1103-5.bin", "bin", 0, 0, 0},
        {"0012345-11a305.bin", "bin", 0, 0, 0},
        {"0012345-ABCDEF.bin", "bin", 0, 0, 0},
        {"0012345-1103.bin", "bin", 0, 0, 0},
        {"0012345-110305bin", "bin", 0, 0, 0},
        {"0012345-110305.", "bin", 0, 0, 0},
        {"00123456-110305.bin", "bin", 0, 0, 0},  // eight digits before the hyphen
        {"0012345_110305.bin", "bin", 0, 0, 0},
        {"x012345-110305.bin", "bin", 0, 0, 0},
        {"", "bin", 0, 0, 0},
    };
    for (const auto& c : cases) {
        const auto day = ParseDataFileName(c.name, c.ext);
        if (c.year == 0) {
            EXPECT_FALSE(day.has_value()) << c.name << " / " << c.ext;
        } else {
            EXPECT_TRUE(day.has_value()) << c.name << " / " << c.ext;
            if (day) {
                EXPECT_EQ(*day, (DataFileDay{c.year, c.month, c.day})) << c.name;
            }
        }
    }
}

// The reader against the C library's own scanner on names mutated from a valid one.
TEST(StoreRecords, DataFileNameReaderAgreesWithSscanf) {
    std::mt19937 random(20110305);
    const std::string alphabet = "0123456789012345678901234567890123456789 \t+-.bBiInNs";
    for (int trial = 0; trial < 20000; ++trial) {
        std::string name = "0012345-110305.bin";
        const int mutations = 1 + static_cast<int>(random() % 3);
        for (int m = 0; m < mutations; ++m) {
            const size_t pos = random() % (name.size() + 1);
            const char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
                case 0:
                    if (pos < name.size()) name[pos] = c;
                    break;
                case 1:
                    name.insert(pos, 1, c);
                    break;
                default:
                    if (pos < name.size()) name.erase(pos, 1);
                    break;
            }
        }
        unsigned serial = 0, yy = 0, mm = 0, dd = 0;
        char word[6] = {};
        const bool scanned =
            std::sscanf(name.c_str(), "%7u-%2u%2u%2u.%5s", &serial, &yy, &mm, &dd, word) == 5;
        bool expected = scanned && platform::AsciiLower(word) == "bin";
        if (expected) {
            const uint64_t year = 2000 + uint64_t{yy};
            expected = year <= 9999 && mm <= 12 && dd <= 31 &&
                       std::chrono::year_month_day(std::chrono::year(static_cast<int>(year)),
                                                   std::chrono::month(mm), std::chrono::day(dd))
                           .ok();
        }
        const auto day = ParseDataFileName(name, "bin");
        ASSERT_EQ(day.has_value(), expected) << '"' << name << '"';
        if (day) {
            EXPECT_EQ(*day, (DataFileDay{static_cast<int>(2000 + yy), static_cast<int>(mm),
                                         static_cast<int>(dd)}))
                << name;
        }
    }
}
