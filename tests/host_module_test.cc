// The module's stop: a running download is ended with its hand-overs served and its termination
// hook run before the stop is logged.
#include <gtest/gtest.h>

#include "download/OnlineClient.h"
#include "platform/Text.h"
#include "service/main.h"
#include "test_process.h"

TEST(HostModule, StopLetsTheDownloadHandOverAndEndFirst) {
    testutil::TempDir home;
    platform::EventLoop loop;
    TPelornDataLoader module(loop, ModuleOptions{home.path(), nullptr, nullptr});
    module.FHomeFolder = home.path();
    module.DownloadThread = std::make_unique<TOnlineClientThread>(module, loop);
    module.DownloadThread->OnTerminate = [&module] {
        module.AppendLog("hook");
        module.DownloadThread.reset();
    };
    module.DownloadThread->Start(false);
    module.Stop();
    module.ServiceExecute();
    EXPECT_EQ(module.DownloadThread, nullptr);
    const std::string log = testutil::ReadFile(
        home / ("Logs/" + LogFileName(platform::SystemClock().Now())));
    const size_t hook = log.find("] hook\r\n");
    const size_t stopped = log.find("] " + platform::Cp1251("Служба остановлена") + "\r\n");
    ASSERT_NE(hook, std::string::npos) << log;
    ASSERT_NE(stopped, std::string::npos) << log;
    EXPECT_LT(hook, stopped);
}
