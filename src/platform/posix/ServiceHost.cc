#include "platform/ServiceHost.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/Files.h"
#include "platform/Text.h"

namespace platform {
namespace {

// One word of ExecStart: systemd splits at blanks, expands % specifiers and $ variables, and
// reads backslash escapes inside quotes.
std::string UnitWord(const std::string& word) {
    std::string out;
    bool quote = word.empty();
    for (const char c : word) {
        if (c == '%') out += "%%";
        else if (c == '$') out += "$$";
        else if (c == '\\' || c == '"') out += std::string("\\") + c;
        else out += c;
        if (c == ' ' || c == '\t' || c == '\\' || c == '"' || c == '\'' || c == ';') quote = true;
    }
    return quote ? "\"" + out + "\"" : out;
}

std::string UnitText(const ServiceRegistration& service) {
    std::string exec = UnitWord(service.executable);
    for (const std::string& argument : service.arguments) exec += " " + UnitWord(argument);
    // systemd reads unit files as UTF-8; the description is kept as one line.
    std::string description = Utf8FromCp1251(service.description);
    for (char& c : description)
        if (c == '\n' || c == '\r') c = ' ';
    return "[Unit]\nDescription=" + description + "\n\n[Service]\nType=simple\nExecStart=" + exec +
           "\n\n[Install]\nWantedBy=multi-user.target\n";
}

}  // namespace

std::string ExecutablePath() {
    std::string buf(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return {};
    buf.resize(static_cast<size_t>(n));
    return buf;
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path.front() == '/') return path;
    std::string cwd(4096, '\0');
    if (!getcwd(cwd.data(), cwd.size())) return path;
    cwd.resize(std::strlen(cwd.c_str()));
    if (path.empty() || path == ".") return cwd;
    return JoinPath(TrimTrailingSeparators(cwd), path);
}

std::string RegistrationPath(const std::string& serviceName) {
    const char* dir = std::getenv("PELORN_SYSTEMD_DIR");
    const std::string folder = dir && *dir ? dir : "/etc/systemd/system";
    return JoinPath(TrimTrailingSeparators(folder), serviceName + ".service");
}

bool InstallService(const ServiceRegistration& service, std::string& error) {
    const std::string path = RegistrationPath(service.name);
    RemoveFile(path + ".new");  // a leftover of an earlier attempt
    auto file = File::OpenAppend(path + ".new");
    const bool written = file && file->WriteAll(UnitText(service));
    file.reset();
    if (!written || rename((path + ".new").c_str(), path.c_str()) != 0) {
        error = "cannot write the unit file " + path + ": " + std::strerror(errno);
        RemoveFile(path + ".new");
        return false;
    }
    return true;
}

bool UninstallService(const std::string& serviceName, std::string& error) {
    const std::string path = RegistrationPath(serviceName);
    if (!FileExists(path)) {
        error = "the service is not installed: " + path + " does not exist";
        return false;
    }
    if (!RemoveFile(path)) {
        error = "cannot remove the unit file " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

struct ControlListener::Impl {
    ServiceControls controls;
    sigset_t set{};
    std::atomic<bool> quit{false};
    std::thread thread;

    void Run() {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            if (quit) return;
            if (sig == SIGTERM || sig == SIGINT) {
                if (controls.stop) controls.stop();
            } else if (sig == SIGUSR1) {
                if (controls.pause) controls.pause();
            } else if (sig == SIGUSR2) {
                if (controls.resume) controls.resume();
            }
        }
    }
};

ControlListener::ControlListener(ServiceControls controls) : impl_(std::make_unique<Impl>()) {
    impl_->controls = std::move(controls);
    sigemptyset(&impl_->set);
    for (const int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaddset(&impl_->set, sig);
    // Blocked in this thread and so in every thread started after it: only sigwait takes them.
    pthread_sigmask(SIG_BLOCK, &impl_->set, nullptr);
    // A reader of the console echo that goes away, or a peer that closes its socket, must cost a
    // failed write, not the process.
    signal(SIGPIPE, SIG_IGN);
    impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
}

ControlListener::~ControlListener() {
    impl_->quit = true;
    pthread_kill(impl_->thread.native_handle(), SIGUSR2);  // wakes sigwait
    impl_->thread.join();
}

}  // namespace platform
