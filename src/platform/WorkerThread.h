// A worker thread in the manner of the service's thread class: created idle, started once, asked
// to stop through a flag it polls, and, when its body has returned, its termination hook runs on
// the loop thread. Joined by its owner (or by the destructor).
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/EventLoop.h"

namespace platform {

class WorkerThread {
public:
    explicit WorkerThread(EventLoop& loop) : loop_(loop) {}
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Runs Execute() on a new thread, at idle priority when asked. Call once.
    void Start(bool idlePriority);
    // Asks the body to end; it looks at Terminated() at its own points. Any thread.
    void Terminate() { terminated_ = true; }
    bool Terminated() const { return terminated_; }
    // True once Execute() has returned.
    bool Finished() const { return finished_; }
    // Waits for the thread to end. Not from the thread itself.
    void Join();

    // Runs on the loop thread after Execute() has returned (posted, not waited for).
    std::function<void()> OnTerminate;

protected:
    virtual void Execute() = 0;
    // Hands fn to the loop thread and waits until it has run; its exception comes back here.
    void Synchronize(const std::function<void()>& fn) { loop_.Invoke(fn); }
    EventLoop& Loop() { return loop_; }

private:
    EventLoop& loop_;
    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
};

// Lowers the calling thread to the idle scheduling class (Windows: THREAD_PRIORITY_IDLE).
// Failure is ignored: the thread then runs at normal priority.
void SetCurrentThreadIdlePriority();

}  // namespace platform
