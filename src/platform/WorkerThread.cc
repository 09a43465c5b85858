#include "platform/WorkerThread.h"

namespace platform {

WorkerThread::~WorkerThread() {
    Terminate();
    Join();
}

void WorkerThread::Start(bool idlePriority) {
    thread_ = std::thread([this, idlePriority] {
        if (idlePriority) SetCurrentThreadIdlePriority();
        try {
            Execute();
        } catch (...) {
            // The body reports its own failures; an escaped error only ends the thread.
        }
        finished_ = true;
        if (OnTerminate) loop_.Post(OnTerminate);
    });
}

void WorkerThread::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace platform
