// The poll scheduler: one download over all servers every Period seconds, never two at once.
#include "download/OnlineClient.h"
#include "platform/Text.h"
#include "service/main.h"

void TPelornDataLoader::CheckDataTimerTimer() {
    if (TicksSince(FLastPollTick) <= FPeriod * 1000u) return;
    if (DownloadThread) return;
    // A rescan rebuilding the lists must not meet a new download: try again at the next tick,
    // without taking the poll time.
    if (FServerScanBusy) return;
    PollNow();
}

void TPelornDataLoader::PollNow() {
    FLastPollTick = Clock().Ticks();
    if (!FServerList.empty()) {
        StartDownload();
    } else {
        static const std::string noServers = platform::Cp1251("Нет серверов для опроса.");
        AppendLog(noServers);
    }
}

void TPelornDataLoader::StartDownload() {
    FIdleEvent.Reset();
    DownloadThread = std::make_unique<TOnlineClientThread>(*this, Loop(), *FTimeouts);
    // The hook is posted to the loop; it only ends the download it belongs to.
    DownloadThread->OnTerminate = [this, thread = DownloadThread.get()] {
        if (DownloadThread.get() == thread) DownloadTerminated();
    };
    DownloadThread->FMode = 2;
    DownloadThread->FCheckTrips = FCheckTrips;
    DownloadThread->FValidWeeks = FValidWeeks;
    DownloadThread->Start(true);
}

void TPelornDataLoader::DownloadTerminated() {
    FIdleEvent.Set();
    DownloadThread.reset();  // joins the thread, whose body has already returned
}

uint32_t TPelornDataLoader::TicksSince(uint32_t last) const {
    const uint32_t now = clock_->Ticks();
    if (last <= now) return now - last;
    return (0xFFFFFFFFu - last) + now;
}
