// Cost of the two catalogue scans on a large tree, next to the cost of only reading the same
// files (a cat-like baseline in the same run). Prints the time per device line at 10,000 and at
// 100,000 devices: a scan that grows linearly keeps its figure and its ratio to the baseline.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "catalogue/ScanRules.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "service/main.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFilesPerServer = 10;
constexpr int kDevicesPerFile = 100;
constexpr int kRepeatedPerFile = 10;  // lines that repeat serials of the previous file
constexpr int kPasswordFiles = 10000;

struct Tree {
    fs::path home;
    std::vector<std::string> deviceFiles;
    std::vector<std::string> passwordFiles;
    int64_t deviceLines = 0;
};

std::string DeviceLine(uint32_t serial) {
    return FormatSerial(serial) + ":\tPASSWORD=pw" + std::to_string(serial % 1000) + ";\r\n";
}

// A home folder with servers x 1,000 devices in servers x 10 files and 10,000 password files.
std::map<int, Tree>& Trees() {
    static std::map<int, Tree> trees;
    return trees;
}

const Tree& TreeOf(int servers) {
    auto [it, added] = Trees().try_emplace(servers);
    Tree& tree = it->second;
    if (!added) return tree;
    std::string pattern = (fs::temp_directory_path() / "pelorn-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    tree.home = pattern;
    for (int s = 0; s < servers; ++s) {
        const fs::path folder = tree.home / "DBF" / ("10.0." + std::to_string(s) + ".1-2226");
        fs::create_directories(folder / "sub");
        for (int f = 0; f < kFilesPerServer; ++f) {
            const fs::path file =
                folder / (f % 2 ? "sub" : "") / ("dev" + std::to_string(f) + ".zrk");
            std::ofstream out(file, std::ios::binary);
            const uint32_t base = 1000000 + static_cast<uint32_t>(s * 1000 + f * kDevicesPerFile);
            for (int d = 0; d < kDevicesPerFile; ++d) out << DeviceLine(base + d);
            for (int d = 0; d < kRepeatedPerFile && f > 0; ++d) {
                out << DeviceLine(base - kDevicesPerFile + d);
            }
            tree.deviceLines += kDevicesPerFile + (f > 0 ? kRepeatedPerFile : 0);
            tree.deviceFiles.push_back(file.string());
        }
    }
    for (int p = 0; p < kPasswordFiles; ++p) {
        const fs::path folder = tree.home / "Passwords" / std::to_string(p % 10);
        fs::create_directories(folder);
        const fs::path file = folder / (FormatSerial(10000 + p) + ".psw");
        std::ofstream(file, std::ios::binary) << "pw" << p % 1000;
        tree.passwordFiles.push_back(file.string());
    }
    return tree;
}

void SetUpModule(TPelornDataLoader& module, const Tree& tree) {
    module.FHomeFolder = tree.home.string();
    module.FDBFFolder = (tree.home / "DBF").string();
    module.FPasswordsFolder = (tree.home / "Passwords").string() + "/";
    module.FWriteLog = false;
}

void ReadAll(const std::vector<std::string>& files) {
    char buffer[65536];
    for (const auto& path : files) {
        const auto file = platform::File::OpenRead(path);
        while (file && file->Read(buffer, sizeof buffer) > 0) {
        }
    }
}

// Seconds per item (device line or password file) next to the item count.
void PerItem(benchmark::State& state, const char* name, int64_t items) {
    state.counters["items"] = static_cast<double>(items);
    state.counters[name] = benchmark::Counter(
        static_cast<double>(items),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_ServerScan(benchmark::State& state) {
    const Tree& tree = TreeOf(static_cast<int>(state.range(0)));
    platform::EventLoop loop;
    TPelornDataLoader module(loop, ModuleOptions{tree.home.string(), nullptr, nullptr});
    SetUpModule(module, tree);
    for (auto _ : state) module.UpdateServerList();
    size_t devices = 0;
    for (const auto& server : module.FServerList) devices += server->Devices.size();
    if (devices != static_cast<size_t>(state.range(0)) * 1000) state.SkipWithError("wrong count");
    PerItem(state, "per_line", tree.deviceLines);
}

void BM_ReadDeviceFiles(benchmark::State& state) {
    const Tree& tree = TreeOf(static_cast<int>(state.range(0)));
    for (auto _ : state) ReadAll(tree.deviceFiles);
    PerItem(state, "per_line", tree.deviceLines);
}

void BM_PasswordScan(benchmark::State& state) {
    const Tree& tree = TreeOf(static_cast<int>(state.range(0)));
    platform::EventLoop loop;
    TPelornDataLoader module(loop, ModuleOptions{tree.home.string(), nullptr, nullptr});
    SetUpModule(module, tree);
    for (auto _ : state) module.UpdatePasswordList();
    if (module.FPasswordList.size() != kPasswordFiles) state.SkipWithError("wrong count");
    PerItem(state, "per_file", kPasswordFiles);
}

void BM_ReadPasswordFiles(benchmark::State& state) {
    const Tree& tree = TreeOf(static_cast<int>(state.range(0)));
    for (auto _ : state) ReadAll(tree.passwordFiles);
    PerItem(state, "per_file", kPasswordFiles);
}

}  // namespace

BENCHMARK(BM_ServerScan)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadDeviceFiles)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PasswordScan)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPasswordFiles)->Arg(10)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    for (const auto& [servers, tree] : Trees()) fs::remove_all(tree.home, ignored);
    return 0;
}
