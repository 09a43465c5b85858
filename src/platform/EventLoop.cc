#include "platform/EventLoop.h"

#include <algorithm>

namespace platform {

EventLoop::EventLoop() : loopThread_(std::this_thread::get_id()) {}

EventLoop::~EventLoop() = default;

void EventLoop::Run() {
    std::unique_lock lock(mutex_);
    loopThread_ = std::this_thread::get_id();
    while (!quit_) {
        if (RunOne(lock) || FireDueTimer(lock)) continue;
        const auto deadline = NextDeadline();
        if (deadline == SteadyClock::time_point::max())
            wake_.wait(lock);
        else
            wake_.wait_until(lock, deadline);
    }
}

void EventLoop::Quit() {
    std::lock_guard lock(mutex_);
    quit_ = true;
    wake_.notify_all();
}

bool EventLoop::QuitRequested() const {
    std::lock_guard lock(mutex_);
    return quit_;
}

void EventLoop::Post(std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    jobs_.push_back(Job{std::move(fn)});
    wake_.notify_all();
}

void EventLoop::Invoke(const std::function<void()>& fn) {
    if (IsLoopThread()) {
        fn();
        return;
    }
    std::exception_ptr error;
    bool done = false;
    std::unique_lock lock(mutex_);
    jobs_.push_back(Job{fn, &error, &done});
    wake_.notify_all();
    finished_.wait(lock, [&] { return done; });
    lock.unlock();
    if (error) std::rethrow_exception(error);
}

void EventLoop::ProcessPending() {
    std::unique_lock lock(mutex_);
    // Only what is queued now: a call that queues more does not keep us here forever.
    size_t budget = jobs_.size();
    while (budget-- > 0 && RunOne(lock)) {
    }
    while (FireDueTimer(lock)) {
    }
}

void EventLoop::WaitAndProcess(uint32_t ms) {
    {
        std::unique_lock lock(mutex_);
        const auto until = std::min(NextDeadline(),
                                    SteadyClock::now() + std::chrono::milliseconds(ms));
        if (jobs_.empty()) wake_.wait_until(lock, until);
    }
    ProcessPending();
}

bool EventLoop::IsLoopThread() const {
    std::lock_guard lock(mutex_);
    return loopThread_ == std::this_thread::get_id();
}

bool EventLoop::RunOne(std::unique_lock<std::mutex>& lock) {
    if (jobs_.empty()) return false;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    std::exception_ptr error;
    try {
        job.fn();
    } catch (...) {
        error = std::current_exception();
    }
    lock.lock();
    if (job.done) {
        *job.error = error;
        *job.done = true;
        finished_.notify_all();
    }
    // A posted call's error has nobody to go to; the caller of Post() accepted that.
    return true;
}

bool EventLoop::FireDueTimer(std::unique_lock<std::mutex>& lock) {
    const auto now = SteadyClock::now();
    for (Timer* t : timers_) {
        if (!t->enabled_ || t->due_ > now) continue;
        t->due_ = now + std::chrono::milliseconds(t->interval_);
        auto onTick = t->onTick_;
        lock.unlock();
        onTick();
        lock.lock();
        return true;
    }
    return false;
}

EventLoop::SteadyClock::time_point EventLoop::NextDeadline() const {
    auto next = SteadyClock::time_point::max();
    for (const Timer* t : timers_)
        if (t->enabled_) next = std::min(next, t->due_);
    return next;
}

Timer::Timer(EventLoop& loop, uint32_t intervalMs, std::function<void()> onTick)
    : loop_(loop), interval_(intervalMs), onTick_(std::move(onTick)) {
    std::lock_guard lock(loop_.mutex_);
    loop_.timers_.push_back(this);
}

Timer::~Timer() {
    std::lock_guard lock(loop_.mutex_);
    auto& v = loop_.timers_;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
}

void Timer::SetEnabled(bool enabled) {
    std::lock_guard lock(loop_.mutex_);
    if (enabled && !enabled_) due_ = EventLoop::SteadyClock::now() + std::chrono::milliseconds(interval_);
    enabled_ = enabled;
    loop_.wake_.notify_all();
}

bool Timer::Enabled() const {
    std::lock_guard lock(loop_.mutex_);
    return enabled_;
}

void Timer::SetInterval(uint32_t ms) {
    std::lock_guard lock(loop_.mutex_);
    interval_ = ms;
}

uint32_t Timer::Interval() const {
    std::lock_guard lock(loop_.mutex_);
    return interval_;
}

void ManualResetEvent::Set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    cv_.notify_all();
}

void ManualResetEvent::Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
}

bool ManualResetEvent::IsSet() const {
    std::lock_guard lock(mutex_);
    return set_;
}

bool ManualResetEvent::Wait(uint32_t ms) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return set_; });
}

}  // namespace platform
