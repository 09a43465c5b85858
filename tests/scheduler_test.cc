// The poll scheduler's rules, driven by a fake tick count: when a tick starts a poll, the empty
// server list, a download that is still running, a busy server scan, and the end of a download.
#include <gtest/gtest.h>

#include <filesystem>

#include "download/OnlineClient.h"
#include "download_fixture.h"
#include "platform/Text.h"
#include "service/main.h"
#include "fake_clock.h"

namespace {

class Scheduler : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = dltest::MakeTempDir("scheduler");
        ModuleOptions options;
        options.home = dir_.string();
        options.clock = &clock_;
        options.onLogLine = [this](const std::string& line) { lines_.push_back(line); };
        module_ = std::make_unique<TPelornDataLoader>(loop_, options);
        module_->FHomeFolder = dir_.string();
        module_->FDataFolder = (dir_ / "data").string();
        module_->FPeriod = 300;
    }
    void TearDown() override {
        module_.reset();
        std::filesystem::remove_all(dir_);
    }
    int NoServerLines() const {
        static const std::string text = platform::Cp1251("Нет серверов для опроса.");
        int n = 0;
        for (const auto& line : lines_)
            if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(),
                                                           text) == 0)
                ++n;
        return n;
    }
    void AddServer(uint16_t port) {
        auto server = std::make_unique<TServerEntry>();
        server->Address = "127.0.0.1";
        server->Port = port;
        auto device = std::make_unique<TGSMEntry>();
        device->Serial = 12345;
        device->Password = "pw";
        server->Devices.push_back(std::move(device));
        module_->FServerList.push_back(std::move(server));
    }

    std::filesystem::path dir_;
    platform::EventLoop loop_;
    testutil::FakeClock clock_;
    std::vector<std::string> lines_;
    std::unique_ptr<TPelornDataLoader> module_;
};

TEST_F(Scheduler, TicksSinceWrapsAtTwoToTheThirtyTwo) {
    struct Case {
        uint32_t last, now, elapsed;
    } cases[] = {
        {0, 0, 0},
        {100, 350, 250},
        {0xFFFFFFFFu - 255, 256, 511},  // the counter wrapped between the two readings
        {5, 4, 0xFFFFFFFFu - 1},
        {0xFFFFFFFFu, 0, 0},
    };
    for (const auto& c : cases) {
        clock_.ticks = c.now;
        EXPECT_EQ(module_->TicksSince(c.last), c.elapsed) << c.last << " -> " << c.now;
    }
}

TEST_F(Scheduler, APollComesOnlyOnceMoreThanThePeriodHasPassed) {
    const uint32_t t = 1000000;
    module_->FLastPollTick = t;
    clock_.ticks = t + 300 * 1000;  // exactly the period: not yet
    module_->CheckDataTimerTimer();
    EXPECT_EQ(module_->FLastPollTick, t);
    EXPECT_EQ(NoServerLines(), 0);

    clock_.ticks += 1;
    module_->CheckDataTimerTimer();
    EXPECT_EQ(module_->FLastPollTick, t + 300 * 1000 + 1);
    EXPECT_EQ(NoServerLines(), 1);

    // The empty list is reported once per period, not at every tick.
    for (int i = 0; i < 300; ++i) {
        clock_.ticks += 1000;
        module_->CheckDataTimerTimer();
    }
    EXPECT_EQ(NoServerLines(), 1);
    clock_.ticks += 1;
    module_->CheckDataTimerTimer();
    EXPECT_EQ(NoServerLines(), 2);
}

TEST_F(Scheduler, PeriodZeroPollsAtEveryTick) {
    module_->FPeriod = 0;
    module_->FLastPollTick = 50;
    clock_.ticks = 51;
    module_->CheckDataTimerTimer();
    clock_.ticks = 52;
    module_->CheckDataTimerTimer();
    EXPECT_EQ(NoServerLines(), 2);
}

TEST_F(Scheduler, ATickDuringADownloadOrAServerScanChangesNothing) {
    module_->FLastPollTick = 7;
    clock_.ticks = 4000000;
    module_->DownloadThread = std::make_unique<TOnlineClientThread>(*module_, loop_);
    TOnlineClientThread* running = module_->DownloadThread.get();
    module_->CheckDataTimerTimer();
    EXPECT_EQ(module_->DownloadThread.get(), running);
    EXPECT_EQ(module_->FLastPollTick, 7u);
    module_->DownloadThread.reset();

    module_->FServerScanBusy = true;
    module_->CheckDataTimerTimer();
    EXPECT_EQ(module_->FLastPollTick, 7u);
    EXPECT_EQ(NoServerLines(), 0);

    module_->FServerScanBusy = false;
    module_->CheckDataTimerTimer();
    EXPECT_EQ(module_->FLastPollTick, 4000000u);
}

TEST_F(Scheduler, ADownloadStartsWithTheModuleSettingsAndItsEndIsMarkedOnTheLoop) {
    uint16_t deadPort;
    {
        dltest::ScriptedServer probe({});
        deadPort = probe.Port();
    }
    AddServer(deadPort);
    module_->FCheckTrips = true;
    module_->FValidWeeks = 3;
    module_->FIdleEvent.Set();
    clock_.ticks = 400000;
    module_->CheckDataTimerTimer();
    ASSERT_TRUE(module_->DownloadThread);
    EXPECT_FALSE(module_->FIdleEvent.IsSet());
    EXPECT_EQ(module_->FLastPollTick, 400000u);
    // The thread is held at its first log hand-off until the loop runs: its fields are as set.
    EXPECT_EQ(module_->DownloadThread->FMode, 2);
    EXPECT_TRUE(module_->DownloadThread->FCheckTrips);
    EXPECT_EQ(module_->DownloadThread->FValidWeeks, 3u);

    // A second tick while it runs does not start another.
    clock_.ticks += 10 * 400000;
    TOnlineClientThread* first = module_->DownloadThread.get();
    module_->CheckDataTimerTimer();
    EXPECT_EQ(module_->DownloadThread.get(), first);

    EXPECT_TRUE(dltest::WaitFor([&] {
        loop_.WaitAndProcess(50);
        return !module_->DownloadThread;
    }));
    EXPECT_TRUE(module_->FIdleEvent.IsSet());
    // Both phases ran against the closed port: one error each.
    EXPECT_EQ(module_->FExchangeErrors, 2);
}

}  // namespace
