#include "test_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testutil {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pelorn-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
    auto until = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

Process::Process(const std::vector<std::string>& argv) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], 1);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
}

Process::~Process() {
    if (!exited_ && pid_ > 0) {
        kill(pid_, SIGTERM);
        if (Wait(std::chrono::seconds(10)) < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    if (out_ >= 0) close(out_);
}

bool Process::ReadLine(std::string& line, std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p = {out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[4096];
        ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffered_.append(chunk, static_cast<size_t>(n));
    }
}

void Process::Signal(int sig) {
    if (!exited_) kill(pid_, sig);
}

int Process::Wait(std::chrono::milliseconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (!exited_) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
}

std::vector<std::string> Simulator::Argv(const std::string& root,
                                         const std::vector<std::string>& options) {
    std::vector<std::string> argv = {PELORN_SIM_BINARY, "--root", root};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
}

Simulator::Simulator(const std::string& root, const std::vector<std::string>& options)
    : process_(Argv(root, options)) {
    std::string line;
    const std::string prefix = "listening on 127.0.0.1:";
    if (!process_.ReadLine(line) || line.rfind(prefix, 0) != 0)
        throw std::runtime_error("simulator did not start: " + line);
    port_ = std::atoi(line.c_str() + prefix.size());
}

}  // namespace testutil
