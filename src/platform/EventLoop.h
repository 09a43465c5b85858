// The service's one loop thread: posted calls, synchronous hand-overs from worker threads and
// timer ticks all run on the thread that calls Run(). Written on the standard library only, so
// the same code serves both OSes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

class Timer;

class EventLoop {
public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Runs calls and timer ticks on the calling thread until Quit(). Sleeps in one wait between
    // them: an idle loop takes no processor time.
    void Run();
    // Makes Run() return once the call it is running has ended. Any thread.
    void Quit();
    bool QuitRequested() const;

    // Queues fn to run on the loop. Any thread.
    void Post(std::function<void()> fn);
    // Runs fn on the loop and waits until it has run; an exception thrown by fn is thrown again
    // here. Called on the loop thread itself, it runs fn at once. Any thread.
    void Invoke(const std::function<void()>& fn);

    // Runs the calls that are queued and the timers that are due now, without waiting; for a
    // call on the loop that must wait for a worker's hand-overs (nested processing).
    void ProcessPending();
    // Waits up to ms for new work, then runs what is pending (ProcessPending). Loop thread only.
    void WaitAndProcess(uint32_t ms);

    bool IsLoopThread() const;

private:
    friend class Timer;
    using SteadyClock = std::chrono::steady_clock;
    struct Job {
        std::function<void()> fn;
        std::exception_ptr* error = nullptr;  // set for hand-overs: where to report
        bool* done = nullptr;
    };

    bool RunOne(std::unique_lock<std::mutex>& lock);
    bool FireDueTimer(std::unique_lock<std::mutex>& lock);
    SteadyClock::time_point NextDeadline() const;  // max() when no timer is enabled

    mutable std::mutex mutex_;
    std::condition_variable wake_;       // the loop waits on it
    std::condition_variable finished_;   // hand-over callers wait on it
    std::deque<Job> jobs_;
    std::vector<Timer*> timers_;
    bool quit_ = false;
    std::thread::id loopThread_;
};

// A repeating timer whose ticks run on the loop. Enabling an enabled timer keeps its running
// interval (it does not start it again). Create, enable and destroy it on the loop thread, or
// before Run().
class Timer {
public:
    Timer(EventLoop& loop, uint32_t intervalMs, std::function<void()> onTick);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void SetEnabled(bool enabled);
    bool Enabled() const;
    void SetInterval(uint32_t ms);
    uint32_t Interval() const;

private:
    friend class EventLoop;
    EventLoop& loop_;
    uint32_t interval_;
    std::function<void()> onTick_;
    bool enabled_ = false;
    EventLoop::SteadyClock::time_point due_{};
};

// A manual-reset event (as the Windows one). Any thread.
class ManualResetEvent {
public:
    void Set();
    void Reset();
    bool IsSet() const;
    // True when the event is set within ms.
    bool Wait(uint32_t ms) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    bool set_ = false;
};

}  // namespace platform
