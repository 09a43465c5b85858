// The service module: the one object of the service process and the owner of everything the
// service holds: settings, the catalogue, both timers, the idle event and the two worker threads.
// All of its work runs on the loop thread; worker threads reach it by hand-over.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "catalogue/Catalogue.h"
#include "platform/Clock.h"
#include "platform/EventLoop.h"

class TOnlineClientThread;
class TDirMonitor;
class TIniFile;
struct ExchangeTimeouts;

// Service registration texts (Windows-1251 where Cyrillic).
extern const char* const kServiceName;  // "PelornDataLoader"
std::string ServiceDisplayName();
std::string ServiceDescription();

struct ModuleOptions {
    std::string home;                                   // empty: the executable's folder
    platform::Clock* clock = nullptr;                   // null: the system clocks
    // Echo of each log line (stamp and text, no line end) while the log is on. Called under the
    // log's lock, on the thread that logs.
    std::function<void(const std::string&)> onLogLine;
};

class TPelornDataLoader {
public:
    TPelornDataLoader(platform::EventLoop& loop, ModuleOptions options);
    ~TPelornDataLoader();
    TPelornDataLoader(const TPelornDataLoader&) = delete;
    TPelornDataLoader& operator=(const TPelornDataLoader&) = delete;

    // Lifecycle.
    void ServiceStart(bool& Started);  // throws when the configuration cannot be written
    void ServiceExecute();             // runs the loop until Stop()
    void ServiceAfterInstall();
    void ServiceAfterUninstall() {}
    std::string QueryHomeFolder();
    // Requests from the host: any thread.
    void Stop();
    void Pause();
    void Continue();
    bool Terminated() const { return FTerminated; }

    // Configuration.
    void WriteDefaultSettings(TIniFile& file);
    void ReadSettings(TIniFile& file);
    void CreateServerFolder(const std::string& server, uint16_t port);
    void ReloadSettings();
    std::string IniPath() const;

    // Log.
    void AppendLog(const std::string& text);

    // Poll scheduler.
    void CheckDataTimerTimer();
    void StartDownload();
    void DownloadTerminated();
    uint32_t TicksSince(uint32_t last) const;
    // One poll as a tick whose period has run out would make it (the one-shot run).
    void PollNow();
    // The one-shot run: start, PollNow, wait for the download's end, stop. Exit status.
    int RunOnce();

    // Catalogue.
    void ClearCatalogue();
    void UpdateServerList();
    void UpdatePasswordList();

    // Directory monitor.
    void StartDirMonitor();
    void DirTimerTimer();

    // Fields, in declaration order.
    platform::Timer DirTimer;
    platform::Timer CheckDataTimer;
    uint32_t FVersion[4] = {0, 0, 0, 0};
    platform::ManualResetEvent FIdleEvent;
    bool FServerScanBusy = false;
    bool FWriteLog = true;
    bool FPasswordScanBusy = false;
    uint32_t FPeriod = 0;
    uint32_t FValidWeeks = 0;
    bool FCheckTrips = false;
    uint32_t FLastPollTick = 0;
    std::string FHomeFolder;
    std::string FDataFolder;
    std::string FDBFFolder;
    std::string FPasswordsFolder;
    TDeviceList FCommonList;
    TPasswordList FPasswordList;
    TServerList FServerList;
    uint32_t FChangeFlags = 0;

    // The worker threads (at most one download; the monitor is started once).
    std::unique_ptr<TOnlineClientThread> DownloadThread;
    std::unique_ptr<TDirMonitor> DirMonitorThread;

    // Exchange errors logged since the start (for the one-shot run's exit status).
    std::atomic<int> FExchangeErrors{0};
    // Time limits handed to each new download (tests shorten them).
    std::unique_ptr<ExchangeTimeouts> FTimeouts;

    platform::EventLoop& Loop() { return loop_; }
    platform::Clock& Clock() { return *clock_; }

private:
    // Ends the download (storing what has arrived), logs the stop, ends the monitor.
    void StopSequence();
    // Lets a running download end, processing its hand-overs meanwhile. Loop thread.
    void FinishDownload();

    platform::EventLoop& loop_;
    platform::Clock* clock_;
    ModuleOptions options_;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FPaused{false};
    std::mutex logMutex_;
};

// Name of the day's log file, "RecieveData_YYMMDD.log", and the stamp "[dd.mm.yyyy hh:mm:ss] "
// that begins each line.
std::string LogFileName(const platform::LocalTime& t);
std::string LogStamp(const platform::LocalTime& t);

// The one module instance of the process (set by the program entry).
extern TPelornDataLoader* PelornDataLoader;
