// Directory monitor thread (PLACEHOLDER until the monitor is built).
#pragma once

#include "platform/WorkerThread.h"

class TPelornDataLoader;

class TDirMonitor : public platform::WorkerThread {
public:
    TDirMonitor(TPelornDataLoader& module, platform::EventLoop& loop)
        : WorkerThread(loop), module_(module) {}

protected:
    void Execute() override {}

private:
    TPelornDataLoader& module_;
};
