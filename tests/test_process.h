// Helpers for tests that run the real binaries: a child process with its stdout on a pipe, a
// scratch folder, and the simulator on an ephemeral loopback port.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);  // "" when missing

// Polls a condition every 20 ms until it holds or the deadline passes; returns the last result.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds deadline = std::chrono::seconds(10));

// A child process. Its stdout is readable line by line; stderr is inherited. The destructor
// sends SIGTERM and reaps it when still running.
class Process {
public:
    explicit Process(const std::vector<std::string>& argv);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // One line of stdout without its end; false at end of output or after the timeout.
    bool ReadLine(std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void Signal(int sig);
    // Waits for the exit and returns the exit status (128 + signal when killed); -1 on timeout.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffered_;
    bool exited_ = false;
    int status_ = -1;
};

// pelorn-server-sim on 127.0.0.1 with the given extra options; port() is what it announced.
class Simulator {
public:
    Simulator(const std::string& root, const std::vector<std::string>& options = {});
    int port() const { return port_; }
    Process& process() { return process_; }

private:
    static std::vector<std::string> Argv(const std::string& root,
                                         const std::vector<std::string>& options);
    Process process_;
    int port_ = 0;
};

}  // namespace testutil
