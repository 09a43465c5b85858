#include "catalogue/DirMonitor.h"

#include <exception>

#include "platform/Files.h"
#include "platform/Text.h"
#include "service/main.h"

namespace {

constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 as a date-time value
constexpr double kMsPerDay = 86400000.0;

}  // namespace

TDirMonitor::TDirMonitor(TPelornDataLoader& module, platform::EventLoop& loop)
    : WorkerThread(loop),
      module_(module),
      watches_(platform::ChangeWatchSet::Create()),
      iniPath_(platform::JoinPath(module.FHomeFolder, "PelornDataLoader.ini")) {
    // The configuration's time is taken here, on the loop thread, before the watches exist: the
    // idle-priority thread may first run much later, and an edit made meanwhile must count as
    // newer. A watch that cannot be made stays a null watch: the thread then ends at its first
    // wait.
    FIniTime = GetIniFileTime();
    watches_->AddTree(module.FDBFFolder);
    watches_->AddTree(module.FPasswordsFolder);
    watches_->AddFolder(module.FHomeFolder);
}

TDirMonitor::~TDirMonitor() {
    Terminate();
    Join();
}

void TDirMonitor::Terminate() {
    WorkerThread::Terminate();
    watches_->Wake();
}

void TDirMonitor::Join() {
    if (Loop().IsLoopThread()) {
        while (!Finished()) Loop().WaitAndProcess(50);
    }
    WorkerThread::Join();
}

double TDirMonitor::GetIniFileTime() const {
    if (!platform::File::OpenRead(iniPath_)) return 0;
    const auto ms = platform::LastWriteTime(iniPath_);
    return ms ? kUnixEpochDays + static_cast<double>(*ms) / kMsPerDay : 0;
}

void TDirMonitor::Execute() {
    while (!Terminated()) {
        const int index = watches_->Wait();
        if (index < 0) break;
        ActOn(index);
        watches_->Rearm(index);
    }
}

void TDirMonitor::ActOn(int index) {
    switch (index) {
        case kDBFWatch:
        case kPasswordsWatch: {
            const uint32_t bit = index == kDBFWatch ? 1 : 4;
            HandOver([this, bit] {
                module_.FChangeFlags |= bit;
                module_.DirTimer.SetEnabled(true);
            });
            break;
        }
        case kHomeWatch: {
            // A file that was missing when we started and has appeared counts as newer: zero
            // must not shut the configuration out for the rest of the run.
            const double now = GetIniFileTime();
            if (now == 0 || (FIniTime != 0 && now <= FIniTime)) break;
            FIniTime = GetIniFileTime();
            HandOver([this] { module_.ReloadSettings(); });
            break;
        }
        default:
            break;
    }
}

void TDirMonitor::HandOver(const std::function<void()>& action) {
    try {
        // Once the stop has begun, the module is on its way out: the action is dropped.
        Synchronize([this, &action] {
            if (!Terminated()) action();
        });
    } catch (const std::exception& e) {
        LogError(e.what());
    } catch (...) {
        LogError("");
    }
}

void TDirMonitor::LogError(const std::string& what) {
    static const std::string prefix = platform::Cp1251("Ошибка при обработке изменений: ");
    try {
        Synchronize([this, &what] {
            if (!Terminated()) module_.AppendLog(what.empty() ? prefix : prefix + what);
        });
    } catch (...) {
        // Nowhere left to report it; the watch goes on.
    }
}

void TPelornDataLoader::StartDirMonitor() {
    if (DirMonitorThread) return;
    if (!platform::DirExists(FDBFFolder)) platform::MakeDir(FDBFFolder);
    if (!platform::DirExists(FPasswordsFolder)) platform::MakeDir(FPasswordsFolder);
    DirMonitorThread = std::make_unique<TDirMonitor>(*this, Loop());
    DirMonitorThread->Start(true);
    UpdateServerList();
    UpdatePasswordList();
}

void TPelornDataLoader::DirTimerTimer() {
    DirTimer.SetEnabled(false);
    if (FChangeFlags & 1) {
        FChangeFlags &= ~1u;
        if (!FServerScanBusy) UpdateServerList();
    }
    if (FChangeFlags & 4) {
        FChangeFlags &= ~4u;
        if (!FPasswordScanBusy) UpdatePasswordList();
    }
}
