// Program entry: reads the command line, then installs, uninstalls or runs the service.
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/Locale.h"
#include "platform/ServiceHost.h"
#include "platform/Text.h"
#include "service/main.h"

namespace {

const char* const kUsage =
    "Usage:\n"
    "  PelornDataLoader /INSTALL [/SILENT]    register the service and write the default settings\n"
    "  PelornDataLoader /UNINSTALL [/SILENT]  remove the registration (files stay)\n"
    "  PelornDataLoader [--home DIR]          run the service in the foreground until stopped\n"
    "  PelornDataLoader --home DIR --once     start, poll once, wait for the download, stop;\n"
    "                                         exit 0, 1 when an exchange failed, 2 on bad usage\n"
    "                                         or a failed start\n"
    "  --quiet                                no echo of log lines on stdout\n"
    "  --version, --help\n"
    "Switches may begin with / or - (or --), in any case.\n";

constexpr int kExitFailure = 2;

struct CommandLine {
    bool install = false;
    bool uninstall = false;
    bool silent = false;
    bool once = false;
    bool quiet = false;
    bool version = false;
    bool help = false;
    std::string home;
};

// The parsed command line, or an empty optional (with the reason in error) on bad usage.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string& error) {
    CommandLine cl;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string name = arg;
        if (name.rfind("--", 0) == 0) name.erase(0, 2);
        else if (!name.empty() && (name[0] == '/' || name[0] == '-')) name.erase(0, 1);
        else {
            error = "unexpected argument: " + arg;
            return std::nullopt;
        }
        std::optional<std::string> inlineValue;
        if (const size_t eq = name.find('='); eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        name = platform::AsciiLower(name);
        if (name == "home") {
            if (inlineValue) {
                cl.home = *inlineValue;
            } else if (i + 1 < args.size()) {
                cl.home = args[++i];
            } else {
                error = "--home needs a folder";
                return std::nullopt;
            }
            if (cl.home.empty()) {
                error = "--home needs a folder";
                return std::nullopt;
            }
            continue;
        }
        bool* flag = name == "install"     ? &cl.install
                     : name == "uninstall" ? &cl.uninstall
                     : name == "silent"    ? &cl.silent
                     : name == "once"      ? &cl.once
                     : name == "quiet"     ? &cl.quiet
                     : name == "version"   ? &cl.version
                     : name == "help"      ? &cl.help
                                           : nullptr;
        if (!flag || inlineValue) {
            error = "unknown switch: " + arg;
            return std::nullopt;
        }
        *flag = true;
    }
    if (cl.install && cl.uninstall) {
        error = "/INSTALL and /UNINSTALL exclude each other";
        return std::nullopt;
    }
    if ((cl.install || cl.uninstall) && cl.once) {
        error = "--once runs the service; it does not go with /INSTALL or /UNINSTALL";
        return std::nullopt;
    }
    return cl;
}

int Install(TPelornDataLoader& module, const CommandLine& cl) {
    platform::ServiceRegistration service;
    service.name = kServiceName;
    service.description = ServiceDescription();
    service.executable = platform::ExecutablePath();
    if (!cl.home.empty()) service.arguments = {"--home", cl.home};
    std::string error;
    if (!platform::InstallService(service, error)) {
        std::fprintf(stderr, "PelornDataLoader: installation failed: %s\n", error.c_str());
        return kExitFailure;
    }
    try {
        module.ServiceAfterInstall();
    } catch (const std::exception& e) {
        // A registration whose settings could not be written is taken back.
        std::string ignored;
        platform::UninstallService(kServiceName, ignored);
        std::fprintf(stderr, "PelornDataLoader: installation failed: %s\n", e.what());
        return kExitFailure;
    }
    if (!cl.silent)
        std::printf(
            "PelornDataLoader: the service is installed (%s). Start it with: systemctl "
            "daemon-reload && systemctl enable --now PelornDataLoader\n",
            platform::RegistrationPath(kServiceName).c_str());
    return 0;
}

int Uninstall(TPelornDataLoader& module, const CommandLine& cl) {
    std::string error;
    if (!platform::UninstallService(kServiceName, error)) {
        std::fprintf(stderr, "PelornDataLoader: removal failed: %s\n", error.c_str());
        return kExitFailure;
    }
    module.ServiceAfterUninstall();
    if (!cl.silent)
        std::printf("PelornDataLoader: the service is removed; its files are kept.\n");
    return 0;
}

// Runs the service in the foreground until a stop request (or, with --once, one poll).
int Serve(TPelornDataLoader& module, const CommandLine& cl) {
    platform::ControlListener controls({[&module] { module.Stop(); },
                                        [&module] { module.Pause(); },
                                        [&module] { module.Continue(); }});
    try {
        if (cl.once) return module.RunOnce();
        bool started = true;
        module.ServiceStart(started);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "PelornDataLoader: the service could not start: %s\n", e.what());
        return kExitFailure;
    }
    module.ServiceExecute();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto cl = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!cl) {
        std::fprintf(stderr, "PelornDataLoader: %s\n%s", error.c_str(), kUsage);
        return kExitFailure;
    }
    if (cl->help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cl->version) {
        std::printf("PelornDataLoader %d.%d.%d.%d\n", PELORN_VERSION_MAJOR, PELORN_VERSION_MINOR,
                    PELORN_VERSION_PATCH, PELORN_VERSION_TWEAK);
        return 0;
    }
    platform::InitLocale();

    // The home folder is kept absolute: the unit file names it, and a run may change folder.
    CommandLine command = *cl;
    if (!command.home.empty()) command.home = platform::AbsolutePath(command.home);
    ModuleOptions options;
    options.home = command.home;
    if (!cl->quiet && !cl->install && !cl->uninstall) {
        options.onLogLine = [](const std::string& line) {
            const std::string text = platform::Utf8FromCp1251(line) + "\n";
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        };
    }
    platform::EventLoop loop;
    TPelornDataLoader module(loop, std::move(options));
    PelornDataLoader = &module;
    int status = 0;
    if (command.install) status = Install(module, command);
    else if (command.uninstall) status = Uninstall(module, command);
    else status = Serve(module, command);
    PelornDataLoader = nullptr;
    return status;
}
