// The program's one-shot run on a prepared home: both listings written, the server scan logged
// before the start is reported.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Text.h"
#include "test_process.h"

namespace fs = std::filesystem;

TEST(CatalogueProgram, OnceWritesBothListingsAndLogsTheScan) {
    testutil::TempDir home;
    fs::create_directories(home / "DBF/127.0.0.1-09/sub");
    fs::create_directories(home / "Passwords");
    testutil::WriteFile(home / "DBF/common.zrk", "0012345:\tPASSWORD=abc;\r\n");
    testutil::WriteFile(home / "DBF/127.0.0.1-09/sub/a.zrk",
                        "2000002: PASSWORD=b;\r\n2000001: PASSWORD=a;\r\n");
    testutil::WriteFile(home / "Passwords/0012345.psw", "xyz");
    testutil::Process run({PELORN_BINARY, "--home", home.path(), "--once", "--quiet"});
    // The one server is a closed loopback port: the poll's exchange fails (status 1) after a
    // start that succeeded.
    ASSERT_EQ(run.Wait(std::chrono::seconds(60)), 1);

    EXPECT_EQ(testutil::ReadFile(home / "Devices.txt"),
              platform::Cp1251("Общий список\r\n\t0012345\r\nСервер 127.0.0.1:9\r\n"
                               "\t2000001\r\n\t2000002\r\n"));
    EXPECT_EQ(testutil::ReadFile(home / "DispPasswords.txt"),
              "Dev count: 1\r\n0012345\txyz     \r\n");
    std::string log;
    for (const auto& e : fs::directory_iterator(home / "Logs")) log += testutil::ReadFile(e.path());
    const size_t started = log.find(platform::Cp1251("] Обновление списка серверов\r\n"));
    const size_t finished =
        log.find(platform::Cp1251("] Обновление списка серверов завершено\r\n"));
    const size_t running = log.find(platform::Cp1251("] Служба запущена\r\n"));
    ASSERT_NE(started, std::string::npos) << log;
    ASSERT_NE(finished, std::string::npos) << log;
    ASSERT_NE(running, std::string::npos) << log;
    EXPECT_LT(started, finished);
    EXPECT_LT(finished, running);
}
