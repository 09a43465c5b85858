// Helpers of the service host tests: a temporary folder, whole-file reads and writes, a clock
// the test sets, and a run of the real program.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"

namespace hosttest {

namespace fs = std::filesystem;

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "pelorn-host-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
        EXPECT_FALSE(path_.empty());
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Gives the times a test sets, one per reading; the last one is repeated.
class FakeClock : public platform::Clock {
public:
    std::vector<platform::LocalTime> times;
    platform::LocalTime Now() const override {
        std::lock_guard lock(mutex_);
        const size_t i = next_ < times.size() ? next_++ : times.size() - 1;
        return times.at(i);
    }
    uint32_t Ticks() const override { return 0; }

private:
    mutable std::mutex mutex_;
    mutable size_t next_ = 0;
};

inline platform::LocalTime At(int year, int month, int day, int hour, int minute, int second) {
    platform::LocalTime t;
    t.year = year, t.month = month, t.day = day;
    t.hour = hour, t.minute = minute, t.second = second;
    return t;
}

// Polls cond until it holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& cond,
                    std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace hosttest
