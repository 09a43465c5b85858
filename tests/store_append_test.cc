#include <cstdlib>
#include <cstring>

#include "platform/Text.h"
#include "store_fixture.h"

namespace {

class StoreAppend : public DownloadFixture {
  protected:
    void SetUp() override {
        DownloadFixture::SetUp();
        // The separator of the regional settings is fixed so that the lines are known.
        setenv("PELORN_THOUSANDS_SEP", " ", 1);
    }
    void TearDown() override {
        unsetenv("PELORN_THOUSANDS_SEP");
        DownloadFixture::TearDown();
    }

    static TDevFilesRequest Item(uint32_t serial, std::string_view date, std::string_view ext,
                                 uint32_t start) {
        TDevFilesRequest item;
        item.Serial = serial;
        std::memcpy(item.Date, date.data(), std::min(date.size(), sizeof item.Date));
        std::memcpy(item.Ext, ext.data(), std::min(ext.size(), sizeof item.Ext));
        item.Start = start;
        return item;
    }
    // As an exchange does: its requests are built, then its answer begins.
    void BeginAnswer() {
        thread_->FRequests.clear();
        thread_->BuildRequests();
        thread_->FDataFolderReady = std::filesystem::is_directory(module_->FDataFolder);
    }
    bool Append(TDevFilesRequest item, const std::string& bytes, uint64_t offset = 0) {
        return thread_->AppendBlock(item, bytes.data(), offset,
                                    static_cast<uint32_t>(bytes.size() - offset));
    }
    std::filesystem::path DayFile(const char* name) const { return DeviceFolder(12345) / name; }
};

TEST_F(StoreAppend, FirstBlocksOfANewDayCreateTheFoldersAndTheFile) {
    BeginAnswer();
    ASSERT_FALSE(thread_->FDataFolderReady);
    EXPECT_TRUE(Append(Item(12345, "050311", "bin", 0), "xxhello", 2));
    EXPECT_TRUE(thread_->FDataFolderReady);
    EXPECT_EQ(ReadFile(DayFile("0012345-110305.bin")), "hello");
    EXPECT_TRUE(Append(Item(12345, "050311", "bin", 5), std::string(1234, 'z')));
    EXPECT_EQ(ReadFile(DayFile("0012345-110305.bin")), "hello" + std::string(1234, 'z'));
    // Another kind of the same day is a file of its own.
    EXPECT_TRUE(Append(Item(12345, "050311", "route", 0), "r"));
    EXPECT_EQ(ReadFile(DayFile("0012345-110305.route")), "r");

    const std::vector<std::string> lines = LoggedLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(EndsWith(lines[0], platform::Cp1251("0012345 - 05.03.11 (принято 5 байтов)")))
        << lines[0];
    EXPECT_TRUE(EndsWith(lines[1], platform::Cp1251("0012345 - 05.03.11 (принято 1 234 байта)")))
        << lines[1];
    EXPECT_TRUE(EndsWith(lines[2], platform::Cp1251("0012345 - 05.03.11 (принято 1 байт)")))
        << lines[2];
    EXPECT_TRUE(thread_->FMessage.empty());
}

TEST_F(StoreAppend, ABlockThatDoesNotBeginWhereTheFileEndsIsRefused) {
    WriteFile(DayFile("0012345-110305.sbin"), "0123456789");
    BeginAnswer();
    for (const uint32_t start : {0u, 9u, 11u, 4294967295u}) {
        EXPECT_FALSE(Append(Item(12345, "050311", "sbin", start), "abc")) << start;
        EXPECT_EQ(ReadFile(DayFile("0012345-110305.sbin")), "0123456789") << start;
    }
    // A missing day file holds 0 bytes.
    EXPECT_FALSE(Append(Item(12345, "060311", "sbin", 3), "abc"));
    EXPECT_EQ(ReadFile(DayFile("0012345-110306.sbin")), "");
    EXPECT_TRUE(LoggedLines().empty());
    EXPECT_TRUE(thread_->FMessage.empty());
}

TEST_F(StoreAppend, AnEmptyBlockCreatesTheDayFileAndIsLogged) {
    BeginAnswer();
    EXPECT_TRUE(Append(Item(12345, "050311", "bin", 0), ""));
    EXPECT_TRUE(std::filesystem::is_regular_file(DayFile("0012345-110305.bin")));
    EXPECT_EQ(std::filesystem::file_size(DayFile("0012345-110305.bin")), 0u);
    ASSERT_EQ(LoggedLines().size(), 1u);
    EXPECT_TRUE(EndsWith(LoggedLines()[0], platform::Cp1251("(принято 0 байтов)")));
}

TEST_F(StoreAppend, DaysAndKindsThatCannotNameAFileAreRefusedBeforeAnythingIsMade) {
    const std::string_view badDays[] = {
        "??????",
        "05/311",
        "..\\311",
        "05:311",
        "05*311",
        "05<311",
        "05>311",
        "05\"311",
        "05|311",
        std::string_view("05\0"
                         "311",
                         6),
        "05\x01"
        "311",
        "05\t311",
    };
    for (const std::string_view day : badDays) {
        BeginAnswer();
        EXPECT_FALSE(Append(Item(12345, day, "bin", 0), "data")) << day;
    }
    const std::string_view badKinds[] = {"exe", "BIN", "", "bin/..", std::string_view("binxyz", 6)};
    for (const std::string_view kind : badKinds) {
        BeginAnswer();
        EXPECT_FALSE(Append(Item(12345, "050311", kind, 0), "data")) << kind;
    }
    EXPECT_FALSE(std::filesystem::exists(DataFolder()));
    EXPECT_TRUE(LoggedLines().empty());
}

TEST_F(StoreAppend, AMissingDataFolderIsMadeOncePerAnswerButNotItsParents) {
    module_->FDataFolder = (root_ / "missing" / "data").string();
    BeginAnswer();
    EXPECT_FALSE(Append(Item(12345, "050311", "bin", 0), "data"));
    EXPECT_TRUE(thread_->FDataFolderReady);
    EXPECT_FALSE(std::filesystem::exists(root_ / "missing"));

    // The parent appears during the answer: the folder is not tried again until the next one.
    std::filesystem::create_directories(root_ / "missing");
    EXPECT_FALSE(Append(Item(12345, "050311", "bin", 0), "data"));
    EXPECT_FALSE(std::filesystem::exists(root_ / "missing" / "data"));
    EXPECT_TRUE(LoggedLines().empty());

    BeginAnswer();
    EXPECT_TRUE(Append(Item(12345, "050311", "bin", 0), "data"));
    EXPECT_EQ(ReadFile(root_ / "missing" / "data" / "0012345" / "0012345-110305.bin"), "data");
}

TEST_F(StoreAppend, ADataFolderChangedDuringAnExchangeIsUsedFromTheNextOne) {
    BeginAnswer();
    module_->FDataFolder = (root_ / "other").string();
    EXPECT_TRUE(Append(Item(12345, "050311", "bin", 0), "old"));
    EXPECT_EQ(ReadFile(DayFile("0012345-110305.bin")), "old");
    BeginAnswer();
    EXPECT_TRUE(Append(Item(12345, "050311", "bin", 0), "new"));
    EXPECT_EQ(ReadFile(root_ / "other" / "0012345" / "0012345-110305.bin"), "new");
}

TEST_F(StoreAppend, AShortWriteIsAFailureAndIsNotLogged) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    std::filesystem::create_directories(DeviceFolder(12345));
    std::filesystem::create_symlink("/dev/full", DayFile("0012345-110305.bin"));
    BeginAnswer();
    EXPECT_FALSE(Append(Item(12345, "050311", "bin", 0), "data"));
    EXPECT_TRUE(LoggedLines().empty());
    EXPECT_TRUE(thread_->FMessage.empty());
}

}  // namespace
