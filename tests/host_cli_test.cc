// The program itself: a one-shot run on a fresh home, a foreground run stopped by a signal,
// installation into a unit folder, and bad usage.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "platform/Text.h"
#include "test_process.h"

using testutil::ReadFile;
using testutil::TempDir;
namespace fs = std::filesystem;

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program through the shell with args (quoted by the caller where needed) and an
// environment prefix, capturing both outputs.
Result RunProgram(const std::string& args, const std::string& env = "") {
    TempDir scratch;
    const std::string command = env + " " + PELORN_BINARY + " " + args + " >" + (scratch / "out") +
                                " 2>" + (scratch / "err") + " </dev/null";
    const int raw = std::system(command.c_str());
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadFile(scratch / "out");
    r.err = ReadFile(scratch / "err");
    return r;
}

// The lines of the one log file of the home, checked to carry a stamp; texts in UTF-8.
std::vector<std::string> LogTexts(const std::string& home) {
    std::vector<std::string> texts;
    std::vector<fs::path> files;
    if (fs::exists(home + "/Logs"))
        for (const auto& e : fs::directory_iterator(home + "/Logs")) files.push_back(e.path());
    EXPECT_EQ(files.size(), 1u);
    if (files.size() != 1) return texts;
    EXPECT_TRUE(std::regex_match(files[0].filename().string(),
                                 std::regex(R"(RecieveData_\d{6}\.log)")));
    const std::string log = ReadFile(files[0]);
    const std::regex stamped(R"(\[\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\] (.*))");
    size_t pos = 0;
    for (size_t end; (end = log.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
        std::smatch m;
        const std::string line = log.substr(pos, end - pos);
        EXPECT_TRUE(std::regex_match(line, m, stamped)) << line;
        texts.push_back(platform::Utf8FromCp1251(m[1].str()));
    }
    EXPECT_EQ(pos, log.size()) << "a line without CR LF";
    return texts;
}

// Both catalogue scans run before the start is reported; only the server scan logs.
const std::vector<std::string> kStartStop = {
    "Обновление списка серверов", "Обновление списка серверов завершено", "Служба запущена",
    "Версия исполняемого файла 1.0.0.0", "Служба остановлена"};
// The one poll of --once finds no server in a fresh home.
const std::vector<std::string> kOnceStartStop = {
    "Обновление списка серверов", "Обновление списка серверов завершено", "Служба запущена",
    "Версия исполняемого файла 1.0.0.0", "Нет серверов для опроса.", "Служба остановлена"};

}  // namespace

TEST(HostProgram, OnceOnAFreshHome) {
    TempDir home;
    const Result r = RunProgram("--home " + home.path() + " --once");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string& h = home.path();
    EXPECT_EQ(ReadFile(home / "PelornDataLoader.ini"),
              "[COMMON]\nDataFolder=" + h + "/Data\nDBFFolder=" + h +
                  "/DBF\nWriteLog=1\n[ONLINE]\nPeriod=300\nValidWeeks=0\nCheckTrips=0\n");
    EXPECT_TRUE(fs::is_directory(home / "DBF"));
    EXPECT_TRUE(fs::is_directory(home / "Passwords"));
    EXPECT_EQ(LogTexts(h), kOnceStartStop);
    // The console shows the same lines in UTF-8 with their stamps.
    EXPECT_NE(r.out.find("] Служба запущена\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("] Служба остановлена\n"), std::string::npos) << r.out;
}

TEST(HostProgram, SwitchesInAnySpellingAndQuiet) {
    for (const char* once : {"--once", "-ONCE", "/Once"}) {
        TempDir home;
        const Result r = RunProgram("/HOME " + home.path() + " " + once + " --Quiet");
        EXPECT_EQ(r.status, 0) << once << r.err;
        EXPECT_EQ(r.out, "") << once;
        EXPECT_EQ(LogTexts(home.path()), kOnceStartStop) << once;
    }
    const Result version = RunProgram("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "PelornDataLoader 1.0.0.0\n");
    const Result help = RunProgram("-help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("/INSTALL"), std::string::npos);
}

TEST(HostProgram, LogSwitchedOffLeavesNoLogFolder) {
    TempDir home;
    testutil::WriteFile(home / "PelornDataLoader.ini", "[COMMON]\nWriteLog=0\n");
    const Result r = RunProgram("--home " + home.path() + " --once");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(home / "Logs"));
    EXPECT_EQ(r.out, "");
}

TEST(HostProgram, BadUsageExitsWithUsage) {
    for (const char* args : {"-bogus", "/INSTAL", "--home", "stray", "/install /uninstall",
                             "--once=1", "/install --once"}) {
        const Result r = RunProgram(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_NE(r.err.find("Usage:"), std::string::npos) << args << ": " << r.err;
        EXPECT_EQ(r.out, "") << args;
    }
}

TEST(HostProgram, FailedStartNamesTheFile) {
    TempDir dir;
    testutil::WriteFile(dir / "file", "");
    // A home that cannot hold a file, and a read-only configuration with a key missing.
    const std::string blocked = dir / "file/home";
    fs::create_directory(dir / "ro");
    testutil::WriteFile(dir / "ro/PelornDataLoader.ini", "[COMMON]\nWriteLog=1\n");
    ASSERT_EQ(chmod((dir / "ro/PelornDataLoader.ini").c_str(), 0444), 0);
    for (const std::string& home : {blocked, dir / "ro"}) {
        for (const char* mode : {" --once", ""}) {
            const Result r = RunProgram("--home " + home + mode);
            EXPECT_EQ(r.status, 2) << home << mode;
            EXPECT_NE(r.err.find(home + "/PelornDataLoader.ini"), std::string::npos) << r.err;
            EXPECT_FALSE(fs::exists(home + "/Logs"));
        }
    }
}

TEST(HostProgram, ForegroundRunStopsOnSigterm) {
    TempDir home;
    testutil::Process run({PELORN_BINARY, "--home", home.path()});
    std::string line;
    bool started = false;
    while (!started && run.ReadLine(line, std::chrono::seconds(30)))
        started = line.find("Версия исполняемого файла") != std::string::npos;
    ASSERT_TRUE(started);
    // Pause and continue are taken as requests, not as the signals' default end of the process.
    run.Signal(SIGUSR1);
    run.Signal(SIGUSR2);
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(std::chrono::seconds(30)), 0);
    EXPECT_EQ(LogTexts(home.path()), kStartStop);
}

TEST(HostProgram, InstallAndUninstallAUnit) {
    TempDir dir;
    fs::create_directory(dir / "units");
    fs::create_directory(dir / "my home");
    const std::string env = "PELORN_SYSTEMD_DIR=" + (dir / "units");
    const std::string unit = dir / "units/PelornDataLoader.service";

    Result r = RunProgram("/INSTALL --home '" + (dir / "my home") + "'", env);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("installed"), std::string::npos);
    const std::string exe = fs::canonical(PELORN_BINARY).string();
    EXPECT_EQ(ReadFile(unit),
              "[Unit]\nDescription=Обеспечивет загрузку бинарных данных с сервера Pelorn.\n\n"
              "[Service]\nType=simple\nExecStart=" + exe + " --home \"" + (dir / "my home") +
                  "\"\n\n[Install]\nWantedBy=multi-user.target\n");
    // The settings are written; no folder is made.
    EXPECT_NE(ReadFile(dir / "my home/PelornDataLoader.ini").find("CheckTrips=0\n"),
              std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "my home"), {}), 1);
    if (std::system("command -v systemd-analyze >/dev/null 2>&1") == 0) {
        const int verify =
            std::system(("systemd-analyze verify '" + unit + "' >/dev/null 2>&1").c_str());
        EXPECT_EQ(verify, 0) << "systemd-analyze verify rejects the unit";
    }

    r = RunProgram("-uninstall /SILENT", env);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_TRUE(fs::exists(dir / "my home/PelornDataLoader.ini"));
    r = RunProgram("/UNINSTALL", env);  // nothing left to remove
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(unit), std::string::npos) << r.err;

    // systemd would expand % and $ and split at blanks: the home reaches the unit escaped.
    fs::create_directory(dir / "50% $x \"q\"");
    r = RunProgram("/install /silent --home '" + (dir / "50% $x \"q\"") + "'", env);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(ReadFile(unit).find(" --home \"" + dir.path() + "/50%% $$x \\\"q\\\"\"\n"),
              std::string::npos)
        << ReadFile(unit);
    RunProgram("/uninstall /silent", env);

    // A home whose settings cannot be written takes the registration back.
    r = RunProgram("/install /silent --home " + (dir / "missing"), env);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(dir / "missing/PelornDataLoader.ini"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(unit));
}
