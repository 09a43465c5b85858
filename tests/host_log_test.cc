// The daily log: file name, stamp, line ends, the switch, and lines from several threads.
#include <set>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "fake_clock.h"
#include "test_process.h"
#include "platform/EventLoop.h"
#include "platform/Text.h"
#include "service/main.h"

using testutil::At;
using testutil::FakeClock;
using testutil::ReadFile;
using testutil::TempDir;
namespace fs = std::filesystem;

namespace {

struct LogModule {
    TempDir home;
    FakeClock clock;
    platform::EventLoop loop;
    std::vector<std::string> echoed;
    TPelornDataLoader module{
        loop, ModuleOptions{home.path(), &clock,
                            [this](const std::string& line) { echoed.push_back(line); }}};

    LogModule() { module.FHomeFolder = home.path(); }
    std::string Log(const std::string& name) { return ReadFile(home / ("Logs/" + name)); }
};

}  // namespace

TEST(HostLog, NamesAndStamps) {
    EXPECT_EQ(LogFileName(At(2011, 3, 15, 9, 5, 7)), "RecieveData_110315.log");
    EXPECT_EQ(LogFileName(At(2000, 12, 1, 0, 0, 0)), "RecieveData_001201.log");
    EXPECT_EQ(LogStamp(At(2011, 3, 15, 9, 5, 7)), "[15.03.2011 09:05:07] ");
    EXPECT_EQ(LogStamp(At(2026, 12, 31, 23, 59, 59)), "[31.12.2026 23:59:59] ");
}

TEST(HostLog, LinesAreStampedBytesEndingInCrLf) {
    LogModule m;
    m.clock.times = {At(2011, 3, 15, 9, 5, 7)};
    const std::string started = platform::Cp1251("Служба запущена");
    m.module.AppendLog(started);
    m.module.AppendLog("");
    m.module.AppendLog("one\r\ntwo");
    EXPECT_EQ(m.Log("RecieveData_110315.log"),
              "[15.03.2011 09:05:07] " + started + "\r\n[15.03.2011 09:05:07] \r\n" +
                  "[15.03.2011 09:05:07] one\r\ntwo\r\n");
    EXPECT_EQ(m.echoed, (std::vector<std::string>{"[15.03.2011 09:05:07] " + started,
                                                  "[15.03.2011 09:05:07] ",
                                                  "[15.03.2011 09:05:07] one\r\ntwo"}));
    // A file deleted meanwhile is made anew by the next line.
    fs::remove(m.home / "Logs/RecieveData_110315.log");
    m.module.AppendLog("again");
    EXPECT_EQ(m.Log("RecieveData_110315.log"), "[15.03.2011 09:05:07] again\r\n");
}

TEST(HostLog, FileNameAndStampComeFromTwoClockReadings) {
    LogModule m;
    m.clock.times = {At(2011, 3, 15, 23, 59, 59), At(2011, 3, 16, 0, 0, 0)};
    m.module.AppendLog("midnight");
    EXPECT_EQ(m.Log("RecieveData_110315.log"), "[16.03.2011 00:00:00] midnight\r\n");
}

TEST(HostLog, SwitchedOffWritesNothingAndMakesNoFolder) {
    LogModule m;
    m.clock.times = {At(2011, 3, 15, 9, 5, 7)};
    m.module.FWriteLog = false;
    m.module.AppendLog("nothing");
    EXPECT_FALSE(fs::exists(m.home / "Logs"));
    EXPECT_TRUE(m.echoed.empty());
}

TEST(HostLog, UnwritableLogLosesTheLineOnly) {
    LogModule m;
    m.clock.times = {At(2011, 3, 15, 9, 5, 7)};
    testutil::WriteFile(m.home / "Logs", "a file where the folder should be");
    EXPECT_NO_THROW(m.module.AppendLog("lost"));
    fs::remove(m.home / "Logs");
    m.module.AppendLog("kept");
    EXPECT_EQ(m.Log("RecieveData_110315.log"), "[15.03.2011 09:05:07] kept\r\n");
}

TEST(HostLog, LinesFromSeveralThreadsAreAllKeptWhole) {
    TempDir home;
    platform::EventLoop loop;
    TPelornDataLoader module(loop, ModuleOptions{home.path(), nullptr, nullptr});
    module.FHomeFolder = home.path();
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&module, t] {
            for (int i = 0; i < kLines; ++i)
                module.AppendLog("thread " + std::to_string(t) + " line " + std::to_string(i) +
                                 std::string(100, 'x'));
        });
    for (auto& t : threads) t.join();
    std::string all;
    for (const auto& e : fs::directory_iterator(home / "Logs")) all += ReadFile(e.path());
    std::set<std::string> seen;
    size_t pos = 0;
    for (size_t end; (end = all.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
        const std::string line = all.substr(pos, end - pos);
        ASSERT_GT(line.size(), 122u) << line;
        EXPECT_EQ(line[0], '[');
        EXPECT_EQ(line.substr(line.size() - 100), std::string(100, 'x'));
        seen.insert(line.substr(22, line.size() - 122));
    }
    EXPECT_EQ(pos, all.size());  // nothing after the last line end
    EXPECT_EQ(seen.size(), size_t{kThreads * kLines});  // each line once, none lost
}
