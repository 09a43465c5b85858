// The configuration file: defaults, reading rules, clamps and the move of the old server keys.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "test_process.h"
#include "platform/EventLoop.h"
#include "service/IniFile.h"
#include "service/main.h"

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;
namespace fs = std::filesystem;

namespace {

struct Module {
    TempDir home;
    platform::EventLoop loop;
    TPelornDataLoader module{loop, ModuleOptions{home.path(), nullptr, nullptr}};

    Module() { module.FHomeFolder = module.QueryHomeFolder(); }
    // Writes the file (when given) and reads it as a start does.
    void Read(const char* content) {
        if (content) WriteFile(module.IniPath(), content);
        TIniFile file(module.IniPath());
        module.WriteDefaultSettings(file);
        module.ReadSettings(file);
    }
    std::string Ini() { return ReadFile(module.IniPath()); }
};

}  // namespace

TEST(HostSettings, FreshFileGetsTheSixDefaultsInOrder) {
    Module m;
    m.Read(nullptr);
    const std::string& h = m.home.path();
    EXPECT_EQ(m.Ini(), "[COMMON]\nDataFolder=" + h + "/Data\nDBFFolder=" + h +
                           "/DBF\nWriteLog=1\n[ONLINE]\nPeriod=300\nValidWeeks=0\nCheckTrips=0\n");
    EXPECT_EQ(m.module.FDataFolder, h + "/Data");
    EXPECT_EQ(m.module.FDBFFolder, h + "/DBF");
    EXPECT_EQ(m.module.FPasswordsFolder, h + "/Passwords/");
    EXPECT_TRUE(m.module.FWriteLog);
    EXPECT_EQ(m.module.FPeriod, 300u);
    EXPECT_EQ(m.module.FValidWeeks, 0u);
    EXPECT_FALSE(m.module.FCheckTrips);
    // Reading creates no folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(h), {}), 1);
}

TEST(HostSettings, ValuesClampsAndBadNumbers) {
    struct Case {
        const char* common;  // lines of [COMMON]
        const char* online;  // lines of [ONLINE]
        const char* dataFolder;
        const char* dbfFolder;
        bool writeLog;
        uint32_t period;
        uint32_t validWeeks;
        bool checkTrips;
    } cases[] = {
        {"", "Period=5000\nValidWeeks=9\n", nullptr, nullptr, true, 3600, 4, false},
        {"", "Period=-5\nValidWeeks=-2\n", nullptr, nullptr, true, 1, 0, false},
        {"", "Period=0\nValidWeeks=4\n", nullptr, nullptr, true, 0, 4, false},
        {"", "Period=0x3C\nValidWeeks=0X2\n", nullptr, nullptr, true, 60, 2, false},
        {"", "Period=abc\nValidWeeks=1x\n", nullptr, nullptr, true, 300, 0, false},
        {"", "Period=3600\nCheckTrips=2\n", nullptr, nullptr, true, 3600, 0, true},
        {"", "CheckTrips=yes\n", nullptr, nullptr, true, 300, 0, false},
        {"WriteLog=0\n", "", nullptr, nullptr, false, 300, 0, false},
        {"WriteLog=abc\n", "", nullptr, nullptr, true, 300, 0, false},
        {"WriteLog=\n", "", nullptr, nullptr, true, 300, 0, false},
        {"DataFolder=/srv/archive//\nDBFFolder=D:\\Dbf\\\\\n", "", "/srv/archive", "D:\\Dbf",
         true, 300, 0, false},
        {"DataFolder=/\nDBFFolder=C:\\\n", "", "", "C:", true, 300, 0, false},
        {"DataFolder=\n", "", "", nullptr, true, 300, 0, false},
    };
    for (const auto& c : cases) {
        Module m;
        m.Read((std::string("[COMMON]\n") + c.common + "[ONLINE]\n" + c.online).c_str());
        const std::string what = std::string(c.common) + c.online;
        const std::string h = m.home.path();
        EXPECT_EQ(m.module.FDataFolder, c.dataFolder ? c.dataFolder : h + "/Data") << what;
        EXPECT_EQ(m.module.FDBFFolder, c.dbfFolder ? c.dbfFolder : h + "/DBF") << what;
        EXPECT_EQ(m.module.FWriteLog, c.writeLog) << what;
        EXPECT_EQ(m.module.FPeriod, c.period) << what;
        EXPECT_EQ(m.module.FValidWeeks, c.validWeeks) << what;
        EXPECT_EQ(m.module.FCheckTrips, c.checkTrips) << what;
    }
}

TEST(HostSettings, ExistingKeysAreNeverRewritten) {
    Module m;
    const std::string before =
        "; settings\n[ONLINE]\nperiod=abc\n[COMMON]\nDataFolder=\nWriteLog = 0\n";
    m.Read(before.c_str());
    const std::string& h = m.home.path();
    // Only the missing keys are added, each after the last key of its section.
    EXPECT_EQ(m.Ini(), "; settings\n[ONLINE]\nperiod=abc\nValidWeeks=0\nCheckTrips=0\n"
                       "[COMMON]\nDataFolder=\nWriteLog = 0\nDBFFolder=" +
                           h + "/DBF\n");
    EXPECT_EQ(m.module.FDataFolder, "");
    EXPECT_FALSE(m.module.FWriteLog);
    EXPECT_EQ(m.module.FPeriod, 300u);
}

TEST(HostSettings, LegacyServerKeysBecomeServerFolders) {
    struct Case {
        const char* name;
        const char* sections;
        std::vector<std::string> folders;  // under home/DBF
        const char* left;                  // the legacy sections afterwards
    } cases[] = {
        {"server and port", "[ONLINE]\nServer=10.0.0.5\nPort=2226\n", {"10.0.0.5-2226"},
         "[ONLINE]\n"},
        {"empty server", "[ONLINE]\nServer=\nPort=2226\n", {}, "[ONLINE]\n"},
        {"no port", "[ONLINE]\nServer= \t10.0.0.5 \n", {"10.0.0.5-2226"}, "[ONLINE]\n"},
        {"port low bits", "[ONLINE]\nServer=h\nPort=70000\n", {"h-4464"}, "[ONLINE]\n"},
        {"port -1", "[ONLINE]\nServer=h\nPort=-1\n", {"h-65535"}, "[ONLINE]\n"},
        {"second server unused",
         "[ONLINE]\nPort=2226\n[ADDSERVER1]\nServer=10.0.0.6\nPort=2227\nUsing=0\n", {},
         "[ONLINE]\n[ADDSERVER1]\n"},
        {"second server used",
         "[ONLINE]\nServer=10.0.0.5\n[ADDSERVER1]\nServer=10.0.0.6\nPort=2227\nUsing=1\n",
         {"10.0.0.5-2226", "10.0.0.6-2227"}, "[ONLINE]\n[ADDSERVER1]\n"},
        {"second server alone stays",
         "[ONLINE]\n[ADDSERVER1]\nServer=10.0.0.6\nPort=2227\nUsing=1\n", {},
         "[ONLINE]\n[ADDSERVER1]\nServer=10.0.0.6\nPort=2227\nUsing=1\n"},
    };
    for (const auto& c : cases) {
        Module m;
        m.Read(c.sections);
        m.Read(nullptr);  // a second read changes nothing more
        std::vector<std::string> made;
        const std::string dbf = m.home / "DBF";
        if (fs::exists(dbf))
            for (const auto& e : fs::directory_iterator(dbf)) made.push_back(e.path().filename());
        std::sort(made.begin(), made.end());
        EXPECT_EQ(made, c.folders) << c.name;
        // The legacy keys are gone, everything else is as the defaults made it.
        std::string ini = m.Ini();
        for (const char* key : {"Period=300\n", "ValidWeeks=0\n", "CheckTrips=0\n"})
            ini.erase(ini.find(key), std::string(key).size());
        ini.erase(ini.find("[COMMON]"));
        EXPECT_EQ(ini, c.left) << c.name;
    }
}

TEST(HostSettings, ReloadRestoresRemovedKeysAndTakesNewValues) {
    Module m;
    m.Read("[COMMON]\nDataFolder=/elsewhere\n[ONLINE]\nPeriod=10\n");
    EXPECT_EQ(m.module.FDataFolder, "/elsewhere");
    WriteFile(m.module.IniPath(), "[ONLINE]\nPeriod=20\nServer=10.1.1.1\n");
    m.module.ReloadSettings();
    EXPECT_EQ(m.module.FDataFolder, m.home / "Data");
    EXPECT_EQ(m.module.FPeriod, 20u);
    EXPECT_TRUE(fs::is_directory(m.home / "DBF/10.1.1.1-2226"));
    EXPECT_EQ(m.Ini().find("Server"), std::string::npos);
}

TEST(HostSettings, MissingKeyInUnwritableFileFailsNamingIt) {
    Module m;
    WriteFile(m.module.IniPath(), "[COMMON]\nDataFolder=/d\n");
    ASSERT_EQ(chmod(m.module.IniPath().c_str(), 0444), 0);
    TIniFile file(m.module.IniPath());
    try {
        m.module.WriteDefaultSettings(file);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(m.module.IniPath()), std::string::npos) << e.what();
    }
    // A complete file needs no write, so a read-only one is fine.
    ASSERT_EQ(chmod(m.module.IniPath().c_str(), 0644), 0);
    m.Read(nullptr);
    ASSERT_EQ(chmod(m.module.IniPath().c_str(), 0444), 0);
    EXPECT_NO_THROW(m.module.ReloadSettings());
}
