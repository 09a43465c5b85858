// Request building over a large archive: one server of 5,000 devices, each holding day files of
// both ordinary kinds, against only listing the same device folders (the baseline, same run).
// PELORN_BENCH_DAYS sets the days per device (default 365); PELORN_BENCH_DEVICES the devices.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>

#include "download/OnlineClient.h"
#include "platform/Clock.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "service/main.h"

namespace {

int EnvInt(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

std::string Serial7(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%07u", serial);
    return text;
}

struct Archive {
    int devices = EnvInt("PELORN_BENCH_DEVICES", 5000);
    int days = EnvInt("PELORN_BENCH_DAYS", 365);
    std::filesystem::path root;
    platform::EventLoop loop;
    std::unique_ptr<TPelornDataLoader> module;
    std::unique_ptr<TOnlineClientThread> thread;

    Archive() {
        char pattern[] = "/tmp/pelorn-requests-bench-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        root = pattern;
        const auto begin = std::chrono::steady_clock::now();
        // Days counted back from 31 December 2025.
        const std::chrono::sys_days last{std::chrono::year{2025} / 12 / 31};
        for (int d = 0; d < devices; ++d) {
            const std::string serial = Serial7(static_cast<uint32_t>(100000 + d));
            const std::filesystem::path folder = root / serial;
            std::filesystem::create_directory(folder);
            for (int k = 0; k < days; ++k) {
                const std::chrono::year_month_day day{last - std::chrono::days{k}};
                char name[64];
                for (const char* ext : {"bin", "sbin"}) {
                    std::snprintf(name, sizeof name, "%s-%02d%02u%02u.%s", serial.c_str(),
                                  static_cast<int>(day.year()) % 100,
                                  static_cast<unsigned>(day.month()),
                                  static_cast<unsigned>(day.day()), ext);
                    const int fd = open((folder / name).c_str(), O_WRONLY | O_CREAT, 0644);
                    if (fd < 0) std::abort();
                    close(fd);
                }
            }
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        std::fprintf(stderr,
                     "archive: %d devices x %d days x 2 kinds = %lld files, made in %.1f s\n",
                     devices, days, static_cast<long long>(devices) * days * 2, seconds);

        module = std::make_unique<TPelornDataLoader>(loop, ModuleOptions{});
        module->FDataFolder = root.string();
        auto server = std::make_unique<TServerEntry>();
        for (int d = 0; d < devices; ++d) {
            const auto serial = static_cast<uint32_t>(100000 + d);
            auto device = std::make_unique<TGSMEntry>();
            device->Serial = serial;
            device->Password = "pass";
            server->Devices.push_back(std::move(device));
            if (d % 10 == 0) {
                auto entry = std::make_unique<TDispPassEntry>();
                entry->Serial = serial;
                std::snprintf(entry->Password, sizeof entry->Password, "%-8s", "file");
                module->FPasswordList.push_back(std::move(entry));
            }
        }
        module->FServerList.push_back(std::move(server));
        thread = std::make_unique<TOnlineClientThread>(*module, loop);
        thread->FMode = 2;
    }
    ~Archive() {
        thread.reset();
        module.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    int64_t Files() const { return int64_t{devices} * days * 2; }
};

Archive& TheArchive() {
    static Archive archive;
    return archive;
}

void SetFileCounters(benchmark::State& state, const Archive& archive) {
    state.counters["devices"] = archive.devices;
    state.counters["files"] = static_cast<double>(archive.Files());
    state.counters["per_file"] = benchmark::Counter(
        static_cast<double>(archive.Files()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The baseline: every device folder listed once, nothing else.
void BM_ListDeviceFolders(benchmark::State& state) {
    Archive& archive = TheArchive();
    for (auto _ : state) {
        size_t entries = 0;
        for (int d = 0; d < archive.devices; ++d) {
            entries +=
                platform::ListDir(platform::JoinPath(archive.module->FDataFolder,
                                                     Serial7(static_cast<uint32_t>(100000 + d))))
                    .size();
        }
        benchmark::DoNotOptimize(entries);
    }
    SetFileCounters(state, archive);
}
BENCHMARK(BM_ListDeviceFolders)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The part of a pass spent in the platform's day-file searches: both kinds' searches of every
// device folder, nothing read from the names.
void BM_FindDayFilesOnly(benchmark::State& state) {
    Archive& archive = TheArchive();
    for (auto _ : state) {
        size_t found = 0;
        for (int d = 0; d < archive.devices; ++d) {
            const std::string serial = Serial7(static_cast<uint32_t>(100000 + d));
            const std::string folder = platform::JoinPath(archive.module->FDataFolder, serial);
            for (const char* ext : {"bin", "sbin"}) {
                found += platform::FindDayFiles(folder, serial + "-", ext).size();
            }
        }
        benchmark::DoNotOptimize(found);
    }
    SetFileCounters(state, archive);
}
BENCHMARK(BM_FindDayFilesOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// One pass of request building for the server, ValidWeeks 0 (every day file counts).
void BM_BuildRequests(benchmark::State& state) {
    Archive& archive = TheArchive();
    for (auto _ : state) {
        archive.thread->FRequests.clear();
        archive.thread->BuildRequests();
        benchmark::DoNotOptimize(archive.thread->FRequests.data());
    }
    if (archive.thread->FRequests.size() != static_cast<size_t>(archive.devices)) {
        state.SkipWithError("wrong number of requests");
    }
    SetFileCounters(state, archive);
}
BENCHMARK(BM_BuildRequests)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// The request order alone: the common list and a server list, both sorted, with a tenth of the
// serials in both.
void BM_ExchangeSortRequests(benchmark::State& state) {
    const auto n = static_cast<uint32_t>(state.range(0));
    std::mt19937 random(7);
    std::vector<uint32_t> common, own;
    for (uint32_t k = 0; k < n; ++k) (random() % 10 == 0 ? common : own).push_back(k * 3);
    for (size_t k = 0; k < common.size(); k += 2) own.push_back(common[k]);
    std::sort(own.begin(), own.end());
    for (auto _ : state) {
        state.PauseTiming();
        TRequestList list;
        for (const auto& run : {common, own}) {
            for (uint32_t serial : run) {
                list.push_back(std::make_unique<TDevFilesRequest>());
                list.back()->Serial = serial;
            }
        }
        state.ResumeTiming();
        ExchangeSortRequests(list);
        benchmark::DoNotOptimize(list.data());
    }
}
BENCHMARK(BM_ExchangeSortRequests)->Arg(5000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
