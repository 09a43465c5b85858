// What the operating system's service manager gives the service: where the executable lies,
// the registration of the service, and the control requests (stop, pause, continue).
// Linux: a systemd unit, and signals: SIGTERM/SIGINT stop, SIGUSR1 pauses, SIGUSR2 continues.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Full path of the running executable (8-bit bytes); empty when it cannot be found.
std::string ExecutablePath();
// path made absolute against the current folder (not resolved further).
std::string AbsolutePath(const std::string& path);

struct ServiceRegistration {
    std::string name;         // "PelornDataLoader"
    std::string description;  // Windows-1251 bytes
    std::string executable;   // full path
    std::vector<std::string> arguments;  // given to the executable at each start
};

// Where the registration goes (Linux: the unit file, in $PELORN_SYSTEMD_DIR when set, else
// /etc/systemd/system).
std::string RegistrationPath(const std::string& serviceName);

// Registers the service. On failure returns false with a message in error.
bool InstallService(const ServiceRegistration& service, std::string& error);
// Removes the registration, nothing else. On failure returns false with a message in error.
bool UninstallService(const std::string& serviceName, std::string& error);

struct ServiceControls {
    std::function<void()> stop;
    std::function<void()> pause;
    std::function<void()> resume;
};

// Delivers the service manager's requests to controls, on a thread of its own, from
// construction until destruction. Construct it before any other thread is started (the POSIX
// one blocks the control signals for the whole process).
class ControlListener {
public:
    explicit ControlListener(ServiceControls controls);
    ~ControlListener();
    ControlListener(const ControlListener&) = delete;
    ControlListener& operator=(const ControlListener&) = delete;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
