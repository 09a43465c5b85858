// One device with 256 MiB over 128 days, served by the simulator on 127.0.0.1 and fetched into
// the archive by the loader (--once in a fresh home), next to a baseline in the same run: the
// same request answered by the same simulator, read from the socket and appended to one file by
// a minimal loop. Prints both throughputs, their ratio, and the loader's peak resident size.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kDays = 128;
constexpr size_t kDayBytes = 2u << 20;
constexpr uint64_t kTotal = uint64_t{kDays} * kDayBytes;

fs::path BuildDir() { return fs::canonical("/proc/self/exe").parent_path(); }

struct Fixture {
    fs::path work;
    pid_t sim = -1;
    int port = 0;
    double loaderSeconds = 0, baselineSeconds = 0;
    long loaderPeakKiB = 0;

    Fixture() {
        char pattern[] = "/tmp/pelorn-dlbench-XXXXXX";
        work = mkdtemp(pattern);
        const fs::path device = work / "tree" / "0012345";
        fs::create_directories(device);
        std::mt19937_64 rng(42);
        std::vector<uint64_t> words(kDayBytes / 8);
        for (int i = 0; i < kDays; ++i) {
            for (auto& w : words) w = rng();
            char name[64];
            std::snprintf(name, sizeof name, "0012345-11%02d%02d.bin", 1 + i / 28, 1 + i % 28);
            FILE* f = std::fopen((device / name).c_str(), "wb");
            std::fwrite(words.data(), 1, kDayBytes, f);
            std::fclose(f);
        }
        StartSimulator();
    }
    ~Fixture() {
        if (sim > 0) {
            kill(sim, SIGTERM);
            waitpid(sim, nullptr, 0);
        }
        fs::remove_all(work);
    }

    void StartSimulator() {
        int out[2];
        if (pipe(out) != 0) return;
        sim = fork();
        if (sim == 0) {
            dup2(out[1], 1);
            close(out[0]);
            const std::string exe = (BuildDir() / "pelorn-server-sim").string();
            const std::string root = (work / "tree").string();
            execl(exe.c_str(), exe.c_str(), "--root", root.c_str(), "--port", "0", nullptr);
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        const auto colon = line.rfind(':');
        if (colon != std::string::npos) port = std::atoi(line.c_str() + colon + 1);
    }
};

Fixture& Shared() {
    static Fixture fixture;
    return fixture;
}

std::string Request() {
    std::string r(36, '\0');
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) r[at + i] = static_cast<char>(v >> (8 * i));
    };
    put32(0, 36);
    r[4] = 2;
    put32(6, 1);
    put32(10, 26);
    put32(14, 12345);
    std::memcpy(&r[18], "bench   ??????", 14);
    return r;
}

// The minimal loop: one request, every byte of the answer appended to one file as it comes.
uint64_t BaselineFetch(int port, const fs::path& file) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
    const std::string request = Request();
    send(s, request.data(), request.size(), 0);
    const int out = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC, 0644);
    std::vector<char> buffer(1 << 20);
    uint64_t total = 0, length = UINT64_MAX;
    while (total < length) {
        const ssize_t n = recv(s, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        if (total == 0 && n >= 4) {
            uint32_t l;
            std::memcpy(&l, buffer.data(), 4);
            length = l;
        }
        if (write(out, buffer.data(), static_cast<size_t>(n)) != n) break;
        total += static_cast<uint64_t>(n);
    }
    close(out);
    close(s);
    return total;
}

void BM_Baseline(benchmark::State& state) {
    Fixture& f = Shared();
    for (auto _ : state) {
        const auto began = std::chrono::steady_clock::now();
        const uint64_t got = BaselineFetch(f.port, f.work / "baseline.bin");
        f.baselineSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        if (got < kTotal) state.SkipWithError("baseline got too few bytes");
        fs::remove(f.work / "baseline.bin");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BM_Loader(benchmark::State& state) {
    Fixture& f = Shared();
    for (auto _ : state) {
        state.PauseTiming();
        const fs::path home = f.work / "home";
        fs::remove_all(home);
        const fs::path server = home / "DBF" / ("127.0.0.1-" + std::to_string(f.port));
        fs::create_directories(server);
        FILE* dev = std::fopen((server / "d.zrk").c_str(), "wb");
        std::fputs("0012345:\tPASSWORD=bench;\r\n", dev);
        std::fclose(dev);
        FILE* ini = std::fopen((home / "PelornDataLoader.ini").c_str(), "wb");
        std::fprintf(ini, "[COMMON]\nDataFolder=%s\nDBFFolder=%s\nWriteLog=1\n",
                     (home / "Data").c_str(), (home / "DBF").c_str());
        std::fclose(ini);
        state.ResumeTiming();

        const auto began = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            const std::string exe = (BuildDir() / "PelornDataLoader").string();
            execl(exe.c_str(), exe.c_str(), "--home", home.c_str(), "--once", "--quiet", nullptr);
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        f.loaderSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        f.loaderPeakKiB = usage.ru_maxrss;

        state.PauseTiming();
        uint64_t stored = 0;
        for (const auto& e : fs::recursive_directory_iterator(home / "Data"))
            if (e.is_regular_file()) stored += e.file_size();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || stored != kTotal)
            state.SkipWithError("the loader did not store the whole answer");
        fs::remove_all(home);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
    state.counters["peak_rss_MiB"] = static_cast<double>(f.loaderPeakKiB) / 1024.0;
}

BENCHMARK(BM_Baseline)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Loader)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (Shared().port == 0) {
        std::fprintf(stderr, "download_bench: the simulator did not start\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    const double mib = static_cast<double>(kTotal) / 1048576.0;
    std::printf("\nlast runs: baseline %.0f MiB/s, loader %.0f MiB/s, loader/baseline %.0f%%\n",
                mib / Shared().baselineSeconds, mib / Shared().loaderSeconds,
                100.0 * Shared().baselineSeconds / Shared().loaderSeconds);
    std::printf("loader peak resident %.0f MiB for a %.0f MiB answer (goal: at most %.0f MiB)\n",
                static_cast<double>(Shared().loaderPeakKiB) / 1024.0, mib, mib + 64);
    benchmark::Shutdown();
    return 0;
}
