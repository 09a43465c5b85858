// The password folder scan over real folders: which files give which entries, and the bytes of
// DispPasswords.txt.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "catalogue_fixture.h"
#include "platform/Files.h"

using namespace std::string_literals;

namespace {

using Entries = std::vector<std::pair<uint32_t, std::string>>;

// Each entry's whole field: the 9 bytes up to and including the first zero byte.
Entries Of(const TPasswordList& list) {
    Entries out;
    for (const auto& e : list) out.emplace_back(e->Serial, std::string(e->Password));
    return out;
}

}  // namespace

using PasswordScanTest = CatalogueTest;

TEST_F(PasswordScanTest, EmptyFolderIsCreatedAndListed) {
    module_.UpdatePasswordList();
    EXPECT_TRUE(std::filesystem::is_directory(Path("Passwords")));
    EXPECT_TRUE(module_.FPasswordList.empty());
    EXPECT_EQ(Get("DispPasswords.txt"), "Dev count: 0\r\n");
    EXPECT_TRUE(platform::IsReadOnly(Path("DispPasswords.txt").string()));
    EXPECT_FALSE(module_.FPasswordScanBusy);
}

TEST_F(PasswordScanTest, FilesGiveEntriesAndListing) {
    struct Case {
        const char* name;
        std::string content;
    } files[] = {
        {"0012345.psw", "abc"},       {"12346.PSW", "12345678"}, {"12347.psw.old", "abc\r\n"},
        {"12348xpsw", "ab\0cd"s},     {"1234567psw", "seven"},  // serial 123456
        {"00001.psw", "one"},                                   // serial 1
        {"0012349.psw", "\0abc"s},     // an empty password still makes an entry
        {"00000.psw", "zero"},         // serial 0: ignored
        {"12345678.psw", "eight"},     // eight digits: no password file
        {"0012350.psw", "123456789"},  // nine bytes: ignored
        {"0012351.psw", ""},           // empty: ignored
        {"notes.txt", "abc"},
    };
    for (const auto& f : files) Put("Passwords/"s + f.name, f.content);
    std::filesystem::create_directories(Path("Passwords/0012352.psw"));  // a folder: walked
    module_.UpdatePasswordList();
    const Entries expected{
        {1, "one     "},     {12345, "abc     "}, {12346, "12345678"},  {12347, "abc\r\n   "},
        {12348, "ab      "}, {12349, ""},         {123456, "seven   "},
    };
    EXPECT_EQ(Of(module_.FPasswordList), expected);
    EXPECT_EQ(Get("DispPasswords.txt"),
              "Dev count: 7\r\n"
              "0000001\tone     \r\n"
              "0012345\tabc     \r\n"
              "0012346\t12345678\r\n"
              "0012347\tabc\r\n   \r\n"
              "0012348\tab      \r\n"
              "0012349\t\r\n"
              "0123456\tseven   \r\n");
    for (const auto& e : module_.FPasswordList) EXPECT_EQ(e->Password[8], '\0');
}

TEST_F(PasswordScanTest, FirstUsableFileForASerialWins) {
    Put("Passwords/a/0012345.psw", "inA");
    Put("Passwords/b/0012345.psw", "inB");
    // An unusable file is passed over, so a later one for its serial takes its place whatever
    // the order.
    Put("Passwords/0054321.psw", "");
    Put("Passwords/0054321.psw.old", "later");
    Put("Passwords/.hidden/0011111.psw", "hidden");
    module_.UpdatePasswordList();
    std::string first;
    for (const auto& e : platform::ListDir(Path("Passwords").string())) {
        if (e.name == "a" || e.name == "b") {
            first = e.name == "a" ? "inA     " : "inB     ";
            break;
        }
    }
    EXPECT_EQ(Of(module_.FPasswordList), (Entries{{12345, first}, {54321, "later   "}}));
}

TEST_F(PasswordScanTest, RescanSwapsInTheNewListAndReplacesReadOnlyListing) {
    Put("Passwords/0012345.psw", "old");
    module_.UpdatePasswordList();
    ASSERT_EQ(module_.FPasswordList.size(), 1u);
    std::filesystem::remove(Path("Passwords/0012345.psw"));
    Put("Passwords/0099999.psw", "new");
    module_.UpdatePasswordList();
    EXPECT_EQ(Of(module_.FPasswordList), (Entries{{99999, "new     "}}));
    EXPECT_EQ(Get("DispPasswords.txt"), "Dev count: 1\r\n0099999\tnew     \r\n");
    EXPECT_TRUE(platform::IsReadOnly(Path("DispPasswords.txt").string()));
}

TEST_F(PasswordScanTest, LinkLoopEnds) {
    Put("Passwords/a/0012345.psw", "abc");
    std::filesystem::create_directory_symlink(Path("Passwords"), Path("Passwords/a/loop"));
    module_.UpdatePasswordList();
    EXPECT_EQ(Of(module_.FPasswordList), (Entries{{12345, "abc     "}}));
}
