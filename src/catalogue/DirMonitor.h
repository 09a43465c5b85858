// The directory monitor thread: sleeps until the DBF tree, the password tree or the home folder
// reports a change, and hands the matching action over to the loop thread.
#pragma once

#include <memory>
#include <string>

#include "platform/ChangeWatch.h"
#include "platform/WorkerThread.h"

class TPelornDataLoader;

class TDirMonitor : public platform::WorkerThread {
public:
    // Indexes of the watches, in the order they are created.
    enum { kDBFWatch = 0, kPasswordsWatch = 1, kHomeWatch = 2 };

    // Notes the configuration file's time, then makes the three watches in index order (from
    // the module's folders). Loop thread.
    TDirMonitor(TPelornDataLoader& module, platform::EventLoop& loop);
    // Stops and joins the thread while the loop's hand-overs are still served.
    ~TDirMonitor() override;

    // Asks the thread to end and wakes it from its wait. These hide the base class's versions,
    // which know nothing of the wait: call them on the TDirMonitor itself.
    void Terminate();
    // Waits for the thread to end. On the loop thread it keeps serving hand-overs meanwhile, so
    // a hand-over the monitor made just before the stop cannot deadlock the two.
    void Join();

    // Last-write time of the configuration file as a date-time value (days since 30 December
    // 1899, UTC), or zero when the file cannot be opened.
    double GetIniFileTime() const;

protected:
    void Execute() override;

private:
    void ActOn(int index);
    // Hands an action to the loop; an error thrown there is logged and the watch goes on.
    void HandOver(const std::function<void()>& action);
    void LogError(const std::string& what);

    TPelornDataLoader& module_;
    std::unique_ptr<platform::ChangeWatchSet> watches_;
    std::string iniPath_;
    double FIniTime = 0;
};
