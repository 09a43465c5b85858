// The private-profile file: how it is read and where a write puts its line.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "test_process.h"
#include "platform/ProfileFile.h"
#include "platform/Text.h"
#include "service/IniFile.h"

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

TEST(HostProfile, ReadsKeysAsTheWindowsFunctions) {
    TempDir dir;
    const std::string path = dir / "a.ini";
    WriteFile(path,
              "k0=before any header\r\n"
              "[S]\r\n  key1  =  val1  \r\nkey2=\"q v\"\r\nkey3='s'\r\nkey4=\"\"dq\"\"\r\n"
              ";key5=c\r\n#key6=h\r\nnoeq\r\nkey7= a ;b\r\nKEY8=Up\r\nkey9=x=y\r\n"
              "key2=second\r\nmix='a\"\r\n"
              "[ Spaced ] junk\nk=spaced\r"
              "[Open\nk=open\n"
              "[S]\nlater=dup\n"
              "[\xCF\xD3\xD2\xDC]\n\xCA\xEB\xFE\xF7=cyr\n"
              "[Last]\nk=no line end");
    platform::ProfileFile file(path);
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    } cases[] = {
        {"S", "key1", "val1"},       {"s", "KEY1", "val1"},     {" S ", " key1 ", "val1"},
        {"S", "key1\t", "-"},        {"S", "key2", "q v"},      {"S", "key3", "s"},
        {"S", "key4", "\"dq\""},     {"S", ";key5", "-"},       {"S", "#key6", "h"},
        {"S", "noeq", "-"},          {"S", "key7", "a ;b"},     {"S", "key8", "Up"},
        {"S", "key9", "x=y"},        {"S", "mix", "'a\""},      {"S", "later", "-"},
        {"S", "", "-"},              {"", "k0", "-"},           {"Spaced", "k", "spaced"},
        {"Open", "k", "open"},       {"Last", "k", "no line end"},
        {"\xEF\xF3\xF2\xFC", "\xEA\xEB\xDE\xD7", "cyr"},  // Cyrillic names in either case
        {"Missing", "k", "-"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(file.GetString(c.section, c.key, "-"), c.expected)
            << "[" << c.section << "] " << c.key;

    EXPECT_EQ(file.KeyNames("S"), (std::vector<std::string>{"key1", "key2", "key3", "key4",
                                                             "#key6", "key7", "KEY8", "key9",
                                                             "key2", "mix"}));
    EXPECT_EQ(file.GetString("S", "none", "  def  "), "  def");  // trailing spaces go
    EXPECT_EQ(platform::ProfileFile(dir / "missing.ini").GetString("S", "key1", "d"), "d");
}

TEST(HostProfile, LongValueIsCutTo2047Characters) {
    TempDir dir;
    WriteFile(dir / "a.ini", "[S]\nk=" + std::string(3000, 'v') + "\n");
    EXPECT_EQ(platform::ProfileFile(dir / "a.ini").GetString("S", "k", ""), std::string(2047, 'v'));
}

TEST(HostProfile, WritesChangeOneLineAndKeepEveryOtherByte) {
    struct Case {
        const char* name;
        const char* before;  // nullptr: no file
        const char* section;
        const char* key;
        const char* value;
        const char* after;
    } cases[] = {
        {"new file", nullptr, "S", "K", "V", "[S]\nK=V\n"},
        {"key replaced, spelling kept", "[S]\r\n  Key = old \r\n;c\r\n", "s", "KEY", "new",
         "[S]\r\nKey=new\r\n;c\r\n"},
        {"after last key, before comments and blanks",
         "[A]\r\nx=1\r\n;c1\r\n\r\n[B]\r\ny=2\r\n", "A", "z", "3",
         "[A]\r\nx=1\r\nz=3\n;c1\r\n\r\n[B]\r\ny=2\r\n"},
        {"LF-only file", "[L]\na=1\n\n[M]\nb=2\n", "L", "c", "3", "[L]\na=1\nc=3\n\n[M]\nb=2\n"},
        {"section appended without blank line", "[A]\r\nx=1\r\n", "B", "y", "2",
         "[A]\r\nx=1\r\n[B]\ny=2\n"},
        {"last line without line end", "[A]\nx=1", "A", "y", "2", "[A]\nx=1\ny=2\n"},
        {"empty section gets the key after its header", "[A]\n;c\n[B]\n", "A", "k", "v",
         "[A]\nk=v\n;c\n[B]\n"},
        {"value written verbatim", "", "S", "K", "  v  ", "[S]\nK=  v  \n"},
        {"empty value", "", "S", "K", "", "[S]\nK=\n"},
        {"spaces of names stripped", "", " S ", " K ", "v", "[S]\nK=v\n"},
        {"first of duplicate sections and keys", "[S]\nk=1\nk=2\n[S]\nk=3\n", "S", "k", "9",
         "[S]\nk=9\nk=2\n[S]\nk=3\n"},
        {"key before the first header is not the section's", "k=0\n[S]\n", "S", "k", "1",
         "k=0\n[S]\nk=1\n"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir / "a.ini";
        if (c.before) WriteFile(path, c.before);
        platform::ProfileFile file(path);
        EXPECT_TRUE(file.WriteString(c.section, c.key, c.value)) << c.name;
        EXPECT_EQ(ReadFile(path), c.after) << c.name;
        // What was written reads back, without its outer blanks.
        std::string value = c.value;
        value.erase(0, value.find_first_not_of(' ') == std::string::npos
                           ? value.size()
                           : value.find_first_not_of(' '));
        while (!value.empty() && value.back() == ' ') value.pop_back();
        EXPECT_EQ(file.GetString(c.section, c.key, "-"), value) << c.name;
    }
}

TEST(HostProfile, BuildUpAndDeleteSequence) {
    TempDir dir;
    const std::string path = dir / "a.ini";
    platform::ProfileFile file(path);
    for (const auto& [s, k, v] : {std::tuple{"App1", "key1", "string1"},
                                 {"App1", "key2", "string2"},
                                 {"App1", "key3", "string3"},
                                 {"App2", "key4", "string4"},
                                 {"App3", "key5", "string5"}})
        ASSERT_TRUE(file.WriteString(s, k, v));
    EXPECT_EQ(ReadFile(path),
              "[App1]\nkey1=string1\nkey2=string2\nkey3=string3\n[App2]\nkey4=string4\n"
              "[App3]\nkey5=string5\n");
    EXPECT_TRUE(file.DeleteKey("app1", "KEY2"));
    EXPECT_EQ(ReadFile(path),
              "[App1]\nkey1=string1\nkey3=string3\n[App2]\nkey4=string4\n[App3]\nkey5=string5\n");
    EXPECT_TRUE(file.DeleteKey("App1", "absent"));  // nothing to do is no failure
    EXPECT_TRUE(file.DeleteKey("Absent", "key1"));
    EXPECT_EQ(file.GetString("App1", "key2", "gone"), "gone");
    EXPECT_EQ(file.KeyNames("App1"), (std::vector<std::string>{"key1", "key3"}));
}

TEST(HostProfile, WriteFailsWithoutTouchingAnything) {
    TempDir dir;
    // A missing folder: no file is made.
    EXPECT_FALSE(platform::ProfileFile(dir / "no/a.ini").WriteString("S", "K", "V"));
    EXPECT_FALSE(std::filesystem::exists(dir / "no"));
    // A read-only file (no write bits) refuses writes and deletions, for root as well.
    const std::string path = dir / "ro.ini";
    WriteFile(path, "[S]\nK=1\n");
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    platform::ProfileFile file(path);
    EXPECT_FALSE(file.WriteString("S", "J", "2"));
    EXPECT_FALSE(file.DeleteKey("S", "K"));
    EXPECT_EQ(ReadFile(path), "[S]\nK=1\n");
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    // A file too large to read is not replaced by the little a write would know of it.
    TempDir other;
    const std::string huge = other / "huge.ini";
    WriteFile(huge, "[S]\nK=1\n");
    std::filesystem::resize_file(huge, 65u << 20);
    EXPECT_FALSE(platform::ProfileFile(huge).WriteString("S", "J", "2"));
    EXPECT_FALSE(platform::ProfileFile(huge).DeleteKey("S", "K"));
    EXPECT_EQ(std::filesystem::file_size(huge), 65u << 20);
}

TEST(HostProfile, RewriteKeepsTheFileMode) {
    TempDir dir;
    const std::string path = dir / "a.ini";
    WriteFile(path, "[S]\nK=1\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(platform::ProfileFile(path).WriteString("S", "K", "2"));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(HostIniFile, IntegerConversion) {
    struct Case {
        const char* text;
        std::optional<int32_t> value;
    } cases[] = {
        {"0", 0},           {"42", 42},          {"-5", -5},         {"+7", 7},
        {"0x3C", 60},       {"0X1f", 31},        {"$1F", 31},        {"-0x10", -16},
        {"0xFFFFFFFF", -1}, {"2147483647", 2147483647},              {"-2147483648", INT32_MIN},
        {"2147483648", {}}, {"0x100000000", {}}, {"", {}},           {"abc", {}},
        {"12a", {}},        {"1 2", {}},         {"0x", {}},         {"$", {}},
        {"-", {}},          {"0xG", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseIniInteger(c.text), c.value) << c.text;
}

TEST(HostIniFile, ValueExistsFollowsTheKeyList) {
    TempDir dir;
    const std::string path = dir / "a.ini";
    WriteFile(path, "[S]\nempty=\nnoeq\n;comment=1\nCase=1\n[S]\nlater=1\n");
    TIniFile ini(path);
    EXPECT_TRUE(ini.ValueExists("S", "empty"));
    EXPECT_TRUE(ini.ValueExists("s", "CASE"));
    EXPECT_FALSE(ini.ValueExists("S", "noeq"));
    EXPECT_FALSE(ini.ValueExists("S", ";comment"));
    EXPECT_FALSE(ini.ValueExists("S", "later"));
    EXPECT_FALSE(ini.ValueExists("T", "empty"));
    EXPECT_EQ(ini.ReadInteger("S", "empty", 7), 7);
    EXPECT_TRUE(ini.ReadBool("S", "missing", true));
    EXPECT_FALSE(ini.ReadBool("S", "missing", false));
}

TEST(HostIniFile, FailedWriteThrowsNamingTheFile) {
    TempDir dir;
    TIniFile ini(dir / "no/PelornDataLoader.ini");
    try {
        ini.WriteInteger("S", "K", 1);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(dir / "no/PelornDataLoader.ini"), std::string::npos)
            << e.what();
    }
}
