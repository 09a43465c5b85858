// The directory monitor inside the module: the timer's coalescing and busy rules, the
// configuration re-read, errors in hand-overs, the stop; then end to end on the real program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/DirMonitor.h"
#include "platform/EventLoop.h"
#include "platform/Text.h"
#include "service/main.h"
#include "test_process.h"

namespace {

namespace fs = std::filesystem;
using testutil::TempDir;
using testutil::WriteFile;
using Clock = std::chrono::steady_clock;

// Whether a log line (stamp, then text) carries exactly this message.
bool IsMessage(const std::string& line, const std::string& utf8) {
    const std::string text = platform::Cp1251(utf8);
    return line.size() > text.size() &&
           line.compare(line.size() - text.size(), text.size(), text) == 0 &&
           line[line.size() - text.size() - 1] == ' ';
}

const char kServerUpdate[] = "Обновление списка серверов";

// Sets a file's last-write time some seconds ahead, so that it is later than anything seen.
void SetTimeAhead(const std::string& path, int seconds) {
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec += seconds;
    times[1] = times[0];
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Replaces the configuration file in one rename, with a last-write time ahead of the old one.
void ReplaceIni(const std::string& home, const std::string& content, int secondsAhead,
                mode_t mode = 0644) {
    const std::string temp = home + "/ini.new";
    WriteFile(temp, content);
    chmod(temp.c_str(), mode);
    SetTimeAhead(temp, secondsAhead);
    fs::rename(temp, home + "/PelornDataLoader.ini");
}

// The module on this test's thread, which also runs its loop while a test waits.
class MonitorModule : public ::testing::Test {
protected:
    MonitorModule() {
        ModuleOptions options;
        options.home = home_.path();
        options.onLogLine = [this](const std::string& line) {
            lines_.push_back(line);
            if (onLine) onLine(line);
        };
        module_ = std::make_unique<TPelornDataLoader>(loop_, options);
    }
    ~MonitorModule() override { module_.reset(); }

    // The start sequence: settings, then the monitor and both first updates.
    void Start() {
        bool started = false;
        module_->ServiceStart(started);
        ASSERT_TRUE(started);
        ASSERT_TRUE(module_->DirMonitorThread);
    }

    // Runs the loop until the condition holds or the deadline passes.
    bool RunUntil(const std::function<bool()>& condition,
                  std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        const auto until = Clock::now() + deadline;
        while (!condition()) {
            if (Clock::now() >= until) return false;
            loop_.WaitAndProcess(20);
        }
        return true;
    }
    // Runs the loop for a while (to see that nothing more happens).
    void RunFor(std::chrono::milliseconds span) {
        RunUntil([] { return false; }, span);
    }
    // The timer has served every change handed over so far.
    bool Settled() { return !module_->DirTimer.Enabled() && module_->FChangeFlags == 0; }

    int Count(const char* utf8) {
        int n = 0;
        for (const std::string& line : lines_) n += IsMessage(line, utf8);
        return n;
    }

    // What the monitor thread hands over for a change of the DBF or password tree.
    void ReportChange(uint32_t bit) {
        module_->FChangeFlags |= bit;
        module_->DirTimer.SetEnabled(true);
    }

    TempDir home_;
    platform::EventLoop loop_;
    std::vector<std::string> lines_;
    std::function<void(const std::string&)> onLine;
    std::unique_ptr<TPelornDataLoader> module_;
};

TEST_F(MonitorModule, BurstGivesOneUpdateOfEachKind) {
    Start();
    ASSERT_EQ(Count(kServerUpdate), 1);  // the first update of the start sequence

    // Ten changes over about 200 ms: the first arms the timer, the rest do not push it back.
    for (int i = 0; i < 10; ++i) {
        ReportChange(1);
        RunFor(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(RunUntil([&] { return Settled(); }));
    EXPECT_EQ(Count(kServerUpdate), 2);

    // Twenty password files copied at once: one password update sees them all, and the DBF
    // tree is left alone.
    fs::create_directories(home_ / "Passwords/batch");
    for (int i = 0; i < 20; ++i)
        WriteFile(home_ / ("Passwords/batch/" + std::to_string(12300 + i) + ".psw"), "pw");
    ASSERT_TRUE(RunUntil([&] {
        return testutil::ReadFile(home_ / "DispPasswords.txt").rfind("Dev count: 20\r\n", 0) == 0;
    }));
    ASSERT_TRUE(RunUntil([&] { return Settled(); }));
    EXPECT_EQ(Count(kServerUpdate), 2);
}

TEST_F(MonitorModule, ChangeDuringAnUpdateGivesOneMore) {
    Start();
    int armed = 0;
    onLine = [&](const std::string& line) {
        // A change arrives while the update runs (the handler has disarmed the timer).
        if (IsMessage(line, kServerUpdate) && armed++ == 0) ReportChange(1);
    };
    ReportChange(1);
    ASSERT_TRUE(RunUntil([&] { return Count(kServerUpdate) == 3 && Settled(); }));
    RunFor(std::chrono::milliseconds(700));  // one timer interval and more: nothing follows
    EXPECT_EQ(Count(kServerUpdate), 3);
}

TEST_F(MonitorModule, BusyUpdatesAreNotStartedAgainButTheirBitsAreCleared) {
    Start();
    const std::string listing = testutil::ReadFile(home_ / "DispPasswords.txt");
    module_->FServerScanBusy = true;
    module_->FPasswordScanBusy = true;
    WriteFile(home_ / "Passwords/54321.psw", "pw");  // would change the listing
    ReportChange(1 | 4);
    ASSERT_TRUE(RunUntil([&] { return Settled(); }));
    EXPECT_EQ(Count(kServerUpdate), 1);
    EXPECT_EQ(testutil::ReadFile(home_ / "DispPasswords.txt"), listing);
    module_->FServerScanBusy = false;
    module_->FPasswordScanBusy = false;
}

TEST_F(MonitorModule, SecondStartDoesNothing) {
    Start();
    TDirMonitor* first = module_->DirMonitorThread.get();
    module_->StartDirMonitor();
    EXPECT_EQ(module_->DirMonitorThread.get(), first);
    EXPECT_EQ(Count(kServerUpdate), 1);
}

TEST_F(MonitorModule, ConfigurationEditIsReadAgainOnlyWhenNewer) {
    Start();
    const std::string ini = home_ / "PelornDataLoader.ini";
    const std::string text = testutil::ReadFile(ini);
    const size_t at = text.find("Period=300");
    ASSERT_NE(at, std::string::npos) << text;
    std::string edited = text;
    edited.replace(at, 10, "Period=7");
    ReplaceIni(home_.path(), edited, 5);
    ASSERT_TRUE(RunUntil([&] { return module_->FPeriod == 7; }));

    // A file with an older time than the one seen is not read again.
    edited.replace(at, 8, "Period=8");
    ReplaceIni(home_.path(), edited, -60);
    WriteFile(home_ / "nudge", "");  // another event in the home folder, after the rename
    RunFor(std::chrono::milliseconds(300));
    EXPECT_EQ(module_->FPeriod, 7u);
}

TEST_F(MonitorModule, FailedReloadIsLoggedAndTheMonitorGoesOn) {
    Start();
    const std::string ini = home_ / "PelornDataLoader.ini";
    std::string text = testutil::ReadFile(ini);
    const size_t at = text.find("Period=300");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 10, "Period=9");
    // A key missing from a read-only file: writing its default back fails.
    std::string broken = text;
    const size_t weeks = broken.find("ValidWeeks=");
    ASSERT_NE(weeks, std::string::npos);
    broken.erase(weeks, broken.find('\n', weeks) + 1 - weeks);
    ReplaceIni(home_.path(), broken, 5, 0444);
    const std::string prefix = platform::Cp1251("Ошибка при обработке изменений: ");
    auto errorLogged = [&] {
        for (const std::string& line : lines_)
            if (line.find(prefix) != std::string::npos) return true;
        return false;
    };
    ASSERT_TRUE(RunUntil(errorLogged));
    EXPECT_EQ(module_->FPeriod, 300u);

    // Still watching: a good file is read, and a DBF change still gives an update.
    ReplaceIni(home_.path(), text, 10);
    ASSERT_TRUE(RunUntil([&] { return module_->FPeriod == 9; }));
    fs::create_directories(home_ / "DBF/127.0.0.1-5000");
    ASSERT_TRUE(RunUntil([&] { return Count(kServerUpdate) == 2; }));
}

// Without the start sequence: no configuration file when the monitor starts.
TEST_F(MonitorModule, ConfigurationThatAppearsLaterIsRead) {
    module_->FHomeFolder = home_.path();
    module_->FDataFolder = home_ / "Data";
    module_->FDBFFolder = home_ / "DBF";
    module_->FPasswordsFolder = home_ / "Passwords/";
    module_->FPeriod = 300;
    module_->StartDirMonitor();
    EXPECT_TRUE(fs::is_directory(home_ / "DBF"));
    EXPECT_TRUE(fs::is_directory(home_ / "Passwords"));
    WriteFile(home_ / "PelornDataLoader.ini", "[ONLINE]\nPeriod=42\n");
    ASSERT_TRUE(RunUntil([&] { return module_->FPeriod == 42; }));
    // The re-read has written the missing keys back.
    EXPECT_NE(testutil::ReadFile(home_ / "PelornDataLoader.ini").find("ValidWeeks="),
              std::string::npos);
}

TEST_F(MonitorModule, TerminateWakesTheMonitor) {
    Start();
    TDirMonitor& monitor = *module_->DirMonitorThread;
    monitor.Terminate();
    monitor.Join();  // returns only when the thread has left its wait
    EXPECT_TRUE(monitor.Finished());
}

// End to end: the real program in the foreground, in a fresh home.
class MonitorService : public ::testing::Test {
protected:
    void StartService(const std::string& period) {
        WriteFile(home_ / "PelornDataLoader.ini", "[ONLINE]\nPeriod=" + period + "\n");
        service_ = std::make_unique<testutil::Process>(
            std::vector<std::string>{PELORN_BINARY, "--home", home_.path()});
        ASSERT_TRUE(WaitForLine("Служба запущена"));
    }
    // Reads the echo (UTF-8) until a line with this message; false after the deadline.
    bool WaitForLine(const std::string& utf8,
                     std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
        const auto until = Clock::now() + deadline;
        std::string line;
        while (Clock::now() < until) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (!service_->ReadLine(line, left)) return false;
            echo_.push_back(line);
            if (line.size() >= utf8.size() &&
                line.compare(line.size() - utf8.size(), utf8.size(), utf8) == 0)
                return true;
        }
        return false;
    }
    int CountEcho(const std::string& utf8) {
        int n = 0;
        for (const std::string& line : echo_)
            n += line.size() >= utf8.size() &&
                 line.compare(line.size() - utf8.size(), utf8.size(), utf8) == 0;
        return n;
    }
    void TearDown() override {
        if (!service_) return;
        service_->Signal(SIGTERM);
        EXPECT_EQ(service_->Wait(), 0);
    }

    TempDir home_;
    std::unique_ptr<testutil::Process> service_;
    std::vector<std::string> echo_;
};

TEST_F(MonitorService, NewServerFolderGivesOneRescanAndListing) {
    StartService("300");
    ASSERT_EQ(CountEcho(kServerUpdate), 1);
    const auto changed = Clock::now();
    fs::create_directories(home_ / "DBF/127.0.0.1-5000");
    WriteFile(home_ / "DBF/127.0.0.1-5000/dev.zrk", "0012345: PASSWORD=abc;\r\n");
    const std::string expected = platform::Cp1251(
        "Общий список пуст\r\nСервер 127.0.0.1:5000\r\n\t0012345\r\n");
    ASSERT_TRUE(testutil::WaitFor([&] {
        return testutil::ReadFile(home_ / "Devices.txt") == expected;
    }));
    const auto latency =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - changed);
    EXPECT_LT(latency.count(), 3000);  // about half a second; generous for a loaded machine
    ASSERT_TRUE(WaitForLine(std::string(kServerUpdate) + " завершено"));
    // The folder and the file were one burst: nothing more within another timer interval.
    EXPECT_FALSE(WaitForLine(kServerUpdate, std::chrono::milliseconds(1200)));
    EXPECT_EQ(CountEcho(kServerUpdate), 2);
}

TEST_F(MonitorService, NewPasswordFileGivesNewListing) {
    StartService("300");
    ASSERT_TRUE(testutil::WaitFor([&] { return fs::exists(home_ / "DispPasswords.txt"); }));
    fs::create_directories(home_ / "Passwords/site");
    WriteFile(home_ / "Passwords/site/0054321.psw", "secret");
    EXPECT_TRUE(testutil::WaitFor([&] {
        return testutil::ReadFile(home_ / "DispPasswords.txt") ==
               "Dev count: 1\r\n0054321\tsecret  \r\n";
    }));
}

TEST_F(MonitorService, ConfigurationEditTakesEffect) {
    StartService("300");
    ASSERT_EQ(CountEcho(kServerUpdate), 1);
    // Without DataFolder: the re-read writes it back, which shows that it has run.
    ReplaceIni(home_.path(), "[COMMON]\nWriteLog=0\n[ONLINE]\nPeriod=300\n", 5);
    ASSERT_TRUE(testutil::WaitFor([&] {
        return testutil::ReadFile(home_ / "PelornDataLoader.ini").find("DataFolder=") !=
               std::string::npos;
    }));
    // The log is off now: a rescan happens without its lines.
    fs::create_directories(home_ / "DBF/127.0.0.1-5000");
    ASSERT_TRUE(testutil::WaitFor([&] {
        return testutil::ReadFile(home_ / "Devices.txt").find("5000") != std::string::npos;
    }));
    EXPECT_FALSE(WaitForLine(kServerUpdate, std::chrono::milliseconds(500)));
}

TEST_F(MonitorService, PeriodEditTakesEffect) {
    StartService("300");
    const std::string noServers = "Нет серверов для опроса.";
    ASSERT_TRUE(WaitForLine(noServers));  // the first tick polls at once
    EXPECT_FALSE(WaitForLine(noServers, std::chrono::milliseconds(1500)));
    ReplaceIni(home_.path(), "[ONLINE]\nPeriod=1\n", 5);
    // Polls repeat now (a tick every second, one poll each period).
    EXPECT_TRUE(WaitForLine(noServers));
    EXPECT_TRUE(WaitForLine(noServers));
}

}  // namespace
