// The service module: start, execution, installation and stop.
#include "service/main.h"

#include <cstdio>

#include "catalogue/DirMonitor.h"
#include "download/OnlineClient.h"
#include "platform/Files.h"
#include "platform/ServiceHost.h"
#include "platform/Text.h"
#include "service/IniFile.h"

const char* const kServiceName = "PelornDataLoader";
TPelornDataLoader* PelornDataLoader = nullptr;

std::string ServiceDisplayName() {
    static const std::string name = platform::Cp1251("Pelorn Загрузчик данных");
    return name;
}

std::string ServiceDescription() {
    static const std::string text =
        platform::Cp1251("Обеспечивет загрузку бинарных данных с сервера Pelorn.");
    return text;
}

TPelornDataLoader::TPelornDataLoader(platform::EventLoop& loop, ModuleOptions options)
    : DirTimer(loop, 500, [this] { DirTimerTimer(); }),
      // While the service is paused its poll ticks are passed over; the rest goes on.
      CheckDataTimer(loop, 1000,
                     [this] {
                         if (!FPaused) CheckDataTimerTimer();
                     }),
      FTimeouts(std::make_unique<ExchangeTimeouts>()),
      loop_(loop),
      clock_(options.clock ? options.clock : &platform::SystemClock()),
      options_(std::move(options)) {}

TPelornDataLoader::~TPelornDataLoader() {
    // Nothing may run on once the catalogue is gone: the download reads the server list.
    CheckDataTimer.SetEnabled(false);
    DirTimer.SetEnabled(false);
    FinishDownload();
    if (DirMonitorThread) {
        DirMonitorThread->Terminate();
        DirMonitorThread->Join();
    }
    ClearCatalogue();
}

std::string TPelornDataLoader::QueryHomeFolder() {
    FVersion[0] = PELORN_VERSION_MAJOR;
    FVersion[1] = PELORN_VERSION_MINOR;
    FVersion[2] = PELORN_VERSION_PATCH;
    FVersion[3] = PELORN_VERSION_TWEAK;
    if (!options_.home.empty()) return platform::TrimTrailingSeparators(options_.home);
    return platform::FolderOf(platform::ExecutablePath());
}

void TPelornDataLoader::ServiceStart(bool& Started) {
    FHomeFolder = QueryHomeFolder();
    {
        TIniFile file(IniPath());
        WriteDefaultSettings(file);
        ReadSettings(file);
    }
    StartDirMonitor();
    CheckDataTimer.SetEnabled(true);
    AppendLog(platform::Cp1251("Служба запущена"));
    static const std::string versionFormat = platform::Cp1251("Версия исполняемого файла ");
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%u.%u.%u.%u", FVersion[0], FVersion[1], FVersion[2],
                  FVersion[3]);
    AppendLog(versionFormat + numbers);
    Started = true;
}

void TPelornDataLoader::ServiceExecute() {
    if (!FTerminated) loop_.Run();
    StopSequence();
}

void TPelornDataLoader::ServiceAfterInstall() {
    FHomeFolder = QueryHomeFolder();
    FDBFFolder = platform::JoinPath(FHomeFolder, "DBF");
    FPasswordsFolder =
        platform::JoinPath(FHomeFolder, "Passwords") + std::string(1, platform::kPathSeparator);
    TIniFile file(IniPath());
    WriteDefaultSettings(file);
}

void TPelornDataLoader::Stop() {
    FTerminated = true;
    loop_.Quit();
}

void TPelornDataLoader::Pause() { FPaused = true; }

void TPelornDataLoader::Continue() { FPaused = false; }

int TPelornDataLoader::RunOnce() {
    bool started = true;
    ServiceStart(started);
    // One poll only: the regular ticks would start the next one once this has ended.
    CheckDataTimer.SetEnabled(false);
    FIdleEvent.Reset();
    PollNow();
    while (DownloadThread && !FTerminated) loop_.WaitAndProcess(100);
    StopSequence();
    return FExchangeErrors > 0 ? 1 : 0;
}

void TPelornDataLoader::FinishDownload() {
    if (!DownloadThread) return;
    DownloadThread->Terminate();
    // The termination hook may run in here and free the thread: look again on every round.
    while (DownloadThread && !DownloadThread->Finished()) loop_.WaitAndProcess(50);
    if (!DownloadThread) return;
    // The thread posts its hook after it has marked itself finished: once joined, the hook is in
    // the queue and runs here, storing what arrived and logging its lines.
    DownloadThread->Join();
    loop_.ProcessPending();
    DownloadThread.reset();
}

void TPelornDataLoader::StopSequence() {
    CheckDataTimer.SetEnabled(false);
    FinishDownload();
    AppendLog(platform::Cp1251("Служба остановлена"));
    if (DirMonitorThread) {
        DirMonitorThread->Terminate();
        DirMonitorThread->Join();
    }
}
