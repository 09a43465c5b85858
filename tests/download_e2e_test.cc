// The loader and the simulator as real programs on 127.0.0.1: what a one-shot poll brings into
// a fresh home, how the archive continues, passwords, trips, every fault of the simulator, and a
// stop in the middle of an answer.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "platform/Text.h"
#include "test_process.h"

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;
namespace fs = std::filesystem;

namespace {

// Every file under root, by path relative to it, with its bytes.
std::map<std::string, std::string> Tree(const std::string& root, const std::string& skipExt = "") {
    std::map<std::string, std::string> files;
    if (!fs::exists(root)) return files;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file() && (skipExt.empty() || e.path().extension() != skipExt))
            files[fs::relative(e.path(), root).string()] = ReadFile(e.path().string());
    return files;
}

// The same as a printable summary: path -> size and a hash of the bytes.
std::map<std::string, std::string> Files(const std::string& root, const std::string& skipExt = "") {
    std::map<std::string, std::string> files;
    for (const auto& [path, bytes] : Tree(root, skipExt))
        files[path] = std::to_string(bytes.size()) + " bytes, hash " +
                      std::to_string(std::hash<std::string>()(bytes));
    return files;
}

std::string Bytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(sim_ / "tree");
        fs::create_directories(home_ / "DBF");
        fs::create_directories(home_ / "Passwords");
    }

    // Two devices, three days each, both kinds (or bin only), and trips on some days.
    void MakeTree(size_t scale = 1, bool binOnly = false) {
        std::mt19937 rng(20110305);
        for (uint32_t serial : {12345u, 7654321u}) {
            char dir[16];
            std::snprintf(dir, sizeof dir, "%07u", serial);
            fs::create_directories(sim_ / ("tree/" + std::string(dir)));
            for (const char* day : {"110301", "110302", "110305"})
                for (const char* ext : {"bin", "sbin", "route"}) {
                    if (std::string(ext) == "route" && std::string(day) == "110302") continue;
                    if (binOnly && std::string(ext) == "sbin") continue;
                    const size_t size = scale * (500 + rng() % 3000);
                    WriteFile(sim_ / ("tree/" + std::string(dir) + "/" + dir + "-" + day + "." + ext),
                              Bytes(rng, size));
                }
        }
    }

    void WriteIni(bool checkTrips) {
        WriteFile(home_ / "PelornDataLoader.ini",
                  "[COMMON]\nDataFolder=" + (home_ / "Data") + "\nDBFFolder=" + (home_ / "DBF") +
                      "\nWriteLog=1\n[ONLINE]\nPeriod=300\nValidWeeks=0\nCheckTrips=" +
                      (checkTrips ? "1" : "0") + "\n");
    }

    // The server folder of the simulator with a device file naming both devices.
    void WriteDevices(int port, const std::string& password = "secret") {
        const std::string folder = home_ / ("DBF/127.0.0.1-" + std::to_string(port));
        fs::create_directories(folder);
        WriteFile(folder + "/devices.zrk", "0012345:\tPASSWORD=" + password +
                                               ";\r\n7654321:\tPASSWORD=" + password + ";\r\n");
    }

    int RunOnce() {
        testutil::Process run({PELORN_BINARY, "--home", home_.path(), "--once", "--quiet"});
        return run.Wait(std::chrono::seconds(120));
    }

    // The log's texts in UTF-8, without their stamps.
    std::vector<std::string> Log() {
        std::vector<std::string> texts;
        if (!fs::exists(home_ / "Logs")) return texts;
        for (const auto& e : fs::directory_iterator(home_ / "Logs")) {
            std::istringstream in(platform::Utf8FromCp1251(ReadFile(e.path().string())));
            for (std::string line; std::getline(in, line);) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                const size_t stamp = line.find("] ");
                texts.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
            }
        }
        return texts;
    }
    int Count(const std::string& text) {
        int n = 0;
        for (const auto& line : Log()) n += line == text;
        return n;
    }
    // Every archive file is a prefix of its file in the simulator's tree.
    void ExpectArchiveIsPrefixOfTree() {
        const auto tree = Tree(sim_ / "tree");
        for (const auto& [path, bytes] : Tree(home_ / "Data")) {
            const auto it = tree.find(path);
            ASSERT_NE(it, tree.end()) << path;
            EXPECT_EQ(it->second.compare(0, bytes.size(), bytes), 0) << path;
            EXPECT_LE(bytes.size(), it->second.size()) << path;
        }
    }

    TempDir home_;
    TempDir sim_;
};

TEST_F(EndToEnd, FirstDownloadEqualsTheServersTreeAndLogsInOrder) {
    MakeTree();
    testutil::Simulator sim(sim_ / "tree");
    WriteIni(false);
    WriteDevices(sim.port());
    EXPECT_EQ(RunOnce(), 0);
    EXPECT_EQ(Files(home_ / "Data"), Files(sim_ / "tree", ".route"));

    const auto log = Log();
    const std::string asking = "Запрос данных с сервера 127.0.0.1:" + std::to_string(sim.port());
    const auto at = [&](const std::string& text) {
        return std::find(log.begin(), log.end(), text) - log.begin();
    };
    EXPECT_LT(at("Начало приёма…"), at(asking));
    EXPECT_LT(at(asking), at("Приём завершён"));
    EXPECT_LT(at("Приём завершён"), static_cast<long>(log.size()));
    EXPECT_EQ(Count("Начало приёма данных о рейсах…"), 0);
    // One line per block stored: two devices, three days, two kinds.
    int received = 0;
    for (const auto& line : log) received += line.find("(принято ") != std::string::npos;
    EXPECT_EQ(received, 12);

    // A second poll finds nothing new.
    EXPECT_EQ(RunOnce(), 0);
    EXPECT_EQ(Count("Нет новых данных"), 1);
    EXPECT_EQ(Files(home_ / "Data"), Files(sim_ / "tree", ".route"));
}

// A request carries one offset per device and day, not per kind: an answer cut inside the
// first kind of a day that has both cannot be continued unambiguously. So the cap is shown on
// one kind a day.
TEST_F(EndToEnd, ACapForcesPassesThatContinueWhereTheArchiveEnds) {
    MakeTree(1, true);
    testutil::Simulator sim(sim_ / "tree", {"--cap", "1000", "--log", sim_ / "requests.log"});
    WriteIni(false);
    WriteDevices(sim.port());
    EXPECT_EQ(RunOnce(), 0);
    EXPECT_EQ(Files(home_ / "Data"), Files(sim_ / "tree", ".route"));
    const std::string requests = ReadFile(sim_ / "requests.log");
    // Several passes, and later ones ask from a day and an offset inside it.
    EXPECT_GT(std::count(requests.begin(), requests.end(), '\n'), 20) << requests;
    EXPECT_NE(requests.find("date=010311 start=1000"), std::string::npos) << requests;
}

TEST_F(EndToEnd, PasswordFolderOverridesAndAWrongPasswordBringsNothing) {
    MakeTree();
    WriteFile(sim_ / "passwords", "12345 right\n7654321 other\n");
    testutil::Simulator sim(sim_ / "tree", {"--passwords", sim_ / "passwords"});
    WriteIni(false);
    WriteDevices(sim.port(), "wrong");
    WriteFile(home_ / "Passwords/0012345.psw", "right");
    EXPECT_EQ(RunOnce(), 0);
    auto want = Files(sim_ / "tree", ".route");
    std::erase_if(want, [](const auto& f) { return f.first.rfind("7654321", 0) == 0; });
    EXPECT_EQ(Files(home_ / "Data"), want);
}

TEST_F(EndToEnd, CheckTripsAddsTheTripPhase) {
    MakeTree();
    testutil::Simulator sim(sim_ / "tree");
    WriteIni(true);
    WriteDevices(sim.port());
    EXPECT_EQ(RunOnce(), 0);
    EXPECT_EQ(Files(home_ / "Data"), Files(sim_ / "tree"));
    const auto log = Log();
    const std::vector<std::string> phases = {"Начало приёма…", "Приём завершён",
                                             "Начало приёма данных о рейсах…",
                                             "Приём данных о рейсах завершён"};
    std::vector<std::string> seen;
    for (const auto& line : log)
        if (std::find(phases.begin(), phases.end(), line) != phases.end()) seen.push_back(line);
    EXPECT_EQ(seen, phases);
    EXPECT_EQ(Count("Запрос данных с сервера 127.0.0.1:" + std::to_string(sim.port())), 2);
}

TEST_F(EndToEnd, EachFaultGivesItsMessageAndLeavesTheArchiveCorrect) {
    MakeTree();
    struct Case {
        const char* fault;
        const char* message;  // "" when the exchange succeeds
        bool whole;           // the archive equals the tree afterwards
    } cases[] = {
        {"wrong-type", "Ошибка в заголовке ответа", false},
        {"block-length", "Ошибка в заголовке ответа", false},
        {"serial-zero", "Ошибка в заголовке ответа", false},
        {"serial-big", "Ошибка в заголовке ответа", false},
        {"length-small", "Удалённый сервер не отвечает", false},
        {"length-big", "Удалённый сервер не отвечает", false},
        {"close-early", "Удалённый сервер не отвечает", false},
        {"close-mid", "Ошибка при получении ответа", false},
        {"short-answer", "Неверная длина ответа", false},
        {"end-below-start", "", true},
        {"type1-blocks", "", false},
        {"pieces", "", true},
    };
    const std::vector<std::string> errors = {
        "Ошибка в заголовке ответа", "Удалённый сервер не отвечает", "Ошибка при получении ответа",
        "Неверная длина ответа", "Ошибки при сохранении данных"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        fs::remove_all(home_ / "Data");
        fs::remove_all(home_ / "Logs");
        fs::remove_all(home_ / "DBF");
        testutil::Simulator sim(sim_ / "tree", {"--fault", c.fault});
        WriteIni(false);
        WriteDevices(sim.port());
        EXPECT_EQ(RunOnce(), *c.message ? 1 : 0);
        for (const auto& e : errors) EXPECT_EQ(Count(e), e == c.message ? 1 : 0) << e;
        ExpectArchiveIsPrefixOfTree();
        if (c.whole) {
            EXPECT_EQ(Files(home_ / "Data"), Files(sim_ / "tree", ".route"));
        }
        if (std::string(c.fault) == "type1-blocks") {
            EXPECT_TRUE(Tree(home_ / "Data").empty());
        }
        if (std::string(c.fault) == "close-mid") {
            EXPECT_FALSE(Tree(home_ / "Data").empty());
        }
    }
}

TEST_F(EndToEnd, AStopDuringAnAnswerStoresWhatArrivedAndLogsNoError) {
    MakeTree(40);  // a few hundred kilobytes, sent slowly
    testutil::Simulator sim(sim_ / "tree", {"--delay-ms", "50"});
    WriteIni(false);
    WriteDevices(sim.port());
    testutil::Process run({PELORN_BINARY, "--home", home_.path(), "--quiet"});
    // The first poll comes with the first tick; stop once part of the answer is in the archive.
    ASSERT_TRUE(testutil::WaitFor([&] { return !Tree(home_ / "Data").empty(); },
                                  std::chrono::seconds(60)));
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(std::chrono::seconds(30)), 0);
    const auto log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "Служба остановлена");
    EXPECT_EQ(Count("Ошибка при получении ответа"), 0);
    EXPECT_EQ(Count("Приём завершён"), 1);
    ExpectArchiveIsPrefixOfTree();
    EXPECT_NE(Files(home_ / "Data"), Files(sim_ / "tree", ".route"));
}

}  // namespace
