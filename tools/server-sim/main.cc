// pelorn-server-sim: a data server for tests, the demo and trials of a setup. It serves an
// archive-layout tree over TCP on 127.0.0.1, one connection after another.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: pelorn-server-sim --root DIR [--port N] [--passwords FILE] [--cap BYTES]\n"
    "                         [--fault MODE] [--delay-ms N] [--log FILE] [--help]\n"
    "\n"
    "Serves the tree DIR/<serial7>/<serial7>-YYMMDD.<ext> on 127.0.0.1 until SIGTERM or SIGINT.\n"
    "The first line on stdout is \"listening on 127.0.0.1:PORT\".\n"
    "\n"
    "  --port N          port to bind (0, the default: any free port)\n"
    "  --passwords FILE  lines \"<serial> <password>\"; an entry is served only when its password\n"
    "                    equals the device's, both right-padded with spaces to 8 bytes.\n"
    "                    Without this option every password is accepted\n"
    "  --cap BYTES       at most BYTES data bytes per answer; the block cut there, or else the\n"
    "                    last block sent of a device with more data, carries more=1; blocks that\n"
    "                    do not fit at all are left out\n"
    "  --fault MODE      answer wrongly on purpose (below)\n"
    "  --delay-ms N      pause N ms between pieces of the answer\n"
    "  --log FILE        append one line per request entry:\n"
    "                    mode=<m> serial=<%07u> password=<8 chars> date=<6 chars> start=<n>\n"
    "\n"
    "Serving rule, for each request entry (serial, date DDMMYY or \"??????\", start):\n"
    "  mode 2 serves kinds bin (index 0) and sbin (1), answer type 2; mode 4 serves route (0),\n"
    "  answer type 4. Days before the date are skipped; days after it are sent whole, from 0.\n"
    "  On the day of the date itself, start refers to the last kind of that day whose file size\n"
    "  is at least start: kinds before it are taken as complete, that kind is sent from start,\n"
    "  later kinds from 0. A start of 0 sends that day whole. With \"??????\" every day is sent\n"
    "  whole. One block per (day, kind) that has data, days in order, kinds in index order.\n"
    "\n"
    "Fault modes:\n"
    "  wrong-type       type 3 in answer to mode 2 (type 1 to mode 4)\n"
    "  block-length     the first block's length field is 26\n"
    "  serial-zero      the first block's serial is 0\n"
    "  serial-big       the first block's serial is 10000000\n"
    "  length-small     total length field 9\n"
    "  length-big       total length field 524288001\n"
    "  no-answer        never answers; keeps the connection open until the client closes it\n"
    "  silence-mid      sends half the answer, then stalls until the client closes\n"
    "  close-mid        closes the connection half-way through the answer\n"
    "  close-early      closes after 2 bytes, before the 4 length bytes\n"
    "  end-below-start  one extra block, first, with end below start\n"
    "  type1-blocks     type 1 (type 3 to mode 4) with the blocks and data\n"
    "  short-answer     the blocks claim more data bytes than the total length holds\n"
    "  pieces           the answer in small pieces with short pauses (3 bytes at first, so\n"
    "                   that the length arrives split, then 512 bytes)\n"
    "The faults that alter a block add a block without data when the answer has none.\n";

struct Options {
    std::string root;
    int port = 0;
    std::string passwordsFile;
    long long cap = -1;
    std::string fault;
    int delayMs = 0;
    std::string logFile;
};

volatile sig_atomic_t stopRequested = 0;
int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    stopRequested = 1;
    char c = 1;
    ssize_t ignored = write(stopPipe[1], &c, 1);
    (void)ignored;
}

void PutU16(std::string& out, uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t GetU32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct Entry {
    uint32_t serial = 0;
    std::string password;  // 8 bytes
    std::string date;      // 6 bytes
    uint32_t start = 0;
};

struct Block {
    uint32_t length = 24;
    uint32_t serial = 0;
    std::string date;  // DDMMYY
    uint32_t start = 0;
    uint32_t end = 0;
    uint8_t more = 0;
    uint8_t kind = 0;
    std::string path;  // where the data comes from; empty for a block without data
};

// Waits until fd is readable or a stop signal arrives. False on stop or poll failure.
bool WaitReadable(int fd, int timeoutMs = -1) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
    for (;;) {
        int r = poll(fds, 2, timeoutMs);
        if (r < 0 && errno == EINTR) {
            if (stopRequested) return false;
            continue;
        }
        if (r <= 0 || stopRequested) return false;
        return (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
}

bool ReadExact(int fd, unsigned char* dest, size_t count) {
    size_t got = 0;
    while (got < count) {
        if (!WaitReadable(fd, 30000)) return false;
        ssize_t n = recv(fd, dest + got, count - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Holds the connection open until the peer closes it (or we are stopped).
void WaitForPeerClose(int fd) {
    char sink[4096];
    while (WaitReadable(fd)) {
        if (recv(fd, sink, sizeof sink, 0) <= 0) return;
    }
}

std::string Pad8(std::string s) {
    if (s.size() < 8) s.append(8 - s.size(), ' ');
    return s;
}

std::map<uint32_t, std::string> LoadPasswords(const std::string& file) {
    std::map<uint32_t, std::string> table;
    FILE* f = std::fopen(file.c_str(), "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "pelorn-server-sim: cannot read %s\n", file.c_str());
        std::exit(2);
    }
    char line[512];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        size_t space = text.find(' ');
        if (space == std::string::npos) continue;
        table[static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10))] =
            Pad8(text.substr(space + 1));
    }
    std::fclose(f);
    return table;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool AllDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Day files of one device: YYMMDD -> size per kind index (-1 when that kind has no file).
std::map<std::string, std::vector<long long>> ListDays(const std::string& deviceDir,
                                                       const std::string& serial7,
                                                       const std::vector<std::string>& kinds) {
    std::map<std::string, std::vector<long long>> days;
    DIR* dir = opendir(deviceDir.c_str());
    if (dir == nullptr) return days;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        // <serial7>-YYMMDD.<ext>
        if (name.size() < 16 || name.compare(0, 7, serial7) != 0 || name[7] != '-' ||
            name[14] != '.')
            continue;
        std::string day = name.substr(8, 6);
        if (!AllDigits(day)) continue;
        std::string ext = Lower(name.substr(15));
        for (size_t k = 0; k < kinds.size(); ++k) {
            if (ext != kinds[k]) continue;
            struct stat st;
            std::string path = deviceDir + "/" + name;
            if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            auto& sizes = days[day];
            sizes.resize(kinds.size(), -1);
            sizes[k] = st.st_size;
        }
    }
    closedir(dir);
    return days;
}

// Finds the real file name of a kind (the extension may be in any case).
std::string FindFile(const std::string& deviceDir, const std::string& stem,
                     const std::string& kind) {
    std::string found;
    DIR* dir = opendir(deviceDir.c_str());
    if (dir == nullptr) return found;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.size() == stem.size() + 1 + kind.size() && name.compare(0, stem.size(), stem) == 0 &&
            name[stem.size()] == '.' && Lower(name.substr(stem.size() + 1)) == kind) {
            found = deviceDir + "/" + name;
            break;
        }
    }
    closedir(dir);
    return found;
}

// The blocks that serve one request entry, by the serving rule of the usage text.
std::vector<Block> ServeEntry(const Options& opt, const Entry& entry,
                              const std::vector<std::string>& kinds) {
    std::vector<Block> blocks;
    char serial7[16];
    std::snprintf(serial7, sizeof serial7, "%07u", entry.serial);
    std::string deviceDir = opt.root + "/" + serial7;
    bool allDays = entry.date == "??????";
    std::string fromDay;  // YYMMDD of the request's date
    if (!allDays) {
        if (!AllDigits(entry.date)) return blocks;
        fromDay = entry.date.substr(4, 2) + entry.date.substr(2, 2) + entry.date.substr(0, 2);
    }
    for (const auto& [day, sizes] : ListDays(deviceDir, serial7, kinds)) {
        if (!allDays && day < fromDay) continue;
        std::vector<long long> from(kinds.size(), 0);
        if (!allDays && day == fromDay && entry.start > 0) {
            int ref = -1;
            for (size_t k = 0; k < kinds.size(); ++k)
                if (sizes[k] >= static_cast<long long>(entry.start)) ref = static_cast<int>(k);
            for (size_t k = 0; k < kinds.size(); ++k) {
                if (ref < 0 || static_cast<int>(k) < ref) from[k] = sizes[k] < 0 ? 0 : sizes[k];
                else if (static_cast<int>(k) == ref) from[k] = entry.start;
            }
        }
        for (size_t k = 0; k < kinds.size(); ++k) {
            if (sizes[k] <= from[k]) continue;
            Block b;
            b.serial = entry.serial;
            b.date = day.substr(4, 2) + day.substr(2, 2) + day.substr(0, 2);
            b.start = static_cast<uint32_t>(from[k]);
            b.end = static_cast<uint32_t>(sizes[k]);
            b.kind = static_cast<uint8_t>(k);
            b.path = FindFile(deviceDir, std::string(serial7) + "-" + day, kinds[k]);
            blocks.push_back(b);
        }
    }
    return blocks;
}

// Cuts the answer's data to the cap; the block cut (or the last one sent of a device that has
// more) gets more=1 and everything after the cut is dropped.
void ApplyCap(std::vector<Block>& blocks, long long cap) {
    long long left = cap;
    std::vector<Block> kept;
    std::vector<uint32_t> cutSerials;
    for (Block b : blocks) {
        long long size = static_cast<long long>(b.end) - b.start;
        if (size <= left) {
            left -= size;
            kept.push_back(b);
            continue;
        }
        if (left > 0) {
            b.end = static_cast<uint32_t>(b.start + left);
            kept.push_back(b);
            left = 0;
        }
        cutSerials.push_back(b.serial);
    }
    for (uint32_t serial : cutSerials) {
        auto last = std::find_if(kept.rbegin(), kept.rend(),
                                 [&](const Block& b) { return b.serial == serial; });
        if (last != kept.rend()) last->more = 1;
    }
    blocks = kept;
}

// Streams the answer: its header bytes, then the data of the blocks from their files.
class AnswerWriter {
public:
    AnswerWriter(int fd, size_t pieceSize, int pauseMs, long long limit)
        : fd_(fd), pieceSize_(pieceSize), pauseMs_(pauseMs), limit_(limit) {}

    bool Write(const char* data, size_t count) {
        while (count > 0) {
            if (stopRequested) return false;
            if (limit_ >= 0 && sent_ >= limit_) return false;
            // Pieces mode splits the length and the header finely, the data less so.
            size_t piece = std::min(count, pieceSize_ < 8 && sent_ >= 256 ? 512 : pieceSize_);
            if (limit_ >= 0) piece = std::min(piece, static_cast<size_t>(limit_ - sent_));
            if (sent_ > 0 && pauseMs_ > 0) usleep(static_cast<useconds_t>(pauseMs_) * 1000);
            ssize_t n = send(fd_, data, piece, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent_ += n;
            data += n;
            count -= static_cast<size_t>(n);
        }
        return true;
    }

    bool WriteFile(const std::string& path, uint32_t start, uint32_t end) {
        int file = path.empty() ? -1 : open(path.c_str(), O_RDONLY);
        std::vector<char> chunk(1 << 16);
        bool ok = true;
        for (uint64_t at = start; ok && at < end;) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), end - at));
            ssize_t got = file < 0 ? 0 : pread(file, chunk.data(), want, static_cast<off_t>(at));
            if (got <= 0) {  // a file that shrank meanwhile: keep the promised length
                std::fill(chunk.begin(), chunk.begin() + static_cast<long>(want), 0);
                got = static_cast<ssize_t>(want);
            }
            ok = Write(chunk.data(), static_cast<size_t>(got));
            at += static_cast<uint64_t>(got);
        }
        if (file >= 0) close(file);
        return ok;
    }

private:
    int fd_;
    size_t pieceSize_;
    int pauseMs_;
    long long limit_;
    long long sent_ = 0;
};

void AppendLog(const Options& opt, uint16_t mode, const std::vector<Entry>& entries) {
    if (opt.logFile.empty()) return;
    FILE* f = std::fopen(opt.logFile.c_str(), "ab");
    if (f == nullptr) return;
    for (const Entry& e : entries)
        std::fprintf(f, "mode=%u serial=%07u password=%s date=%s start=%u\n", mode, e.serial,
                     e.password.c_str(), e.date.c_str(), e.start);
    std::fclose(f);
}

void Serve(const Options& opt, const std::map<uint32_t, std::string>* passwords, int fd) {
    unsigned char head[10];
    if (!ReadExact(fd, head, 10)) return;
    uint32_t total = GetU32(head);
    uint16_t mode = static_cast<uint16_t>(head[4] | (head[5] << 8));
    uint32_t count = GetU32(head + 6);
    if (total < 10 || count > 1000000 || total != 10 + 26ull * count) return;
    std::vector<unsigned char> body(total - 10);
    if (!ReadExact(fd, body.data(), body.size())) return;
    std::vector<Entry> entries;
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* p = body.data() + 26 * i;
        Entry e;
        e.serial = GetU32(p + 4);
        e.password.assign(reinterpret_cast<const char*>(p + 8), 8);
        e.date.assign(reinterpret_cast<const char*>(p + 16), 6);
        e.start = GetU32(p + 22);
        entries.push_back(e);
    }
    AppendLog(opt, mode, entries);

    const std::string& fault = opt.fault;
    if (fault == "no-answer") return WaitForPeerClose(fd);

    std::vector<std::string> kinds =
        mode == 4 ? std::vector<std::string>{"route"} : std::vector<std::string>{"bin", "sbin"};
    std::vector<Block> blocks;
    for (const Entry& e : entries) {
        if (passwords != nullptr) {
            auto it = passwords->find(e.serial);
            if (it == passwords->end() || it->second != e.password) continue;
        }
        for (Block& b : ServeEntry(opt, e, kinds)) blocks.push_back(b);
    }
    if (opt.cap >= 0) ApplyCap(blocks, opt.cap);

    bool altersBlock =
        fault == "block-length" || fault == "serial-zero" || fault == "serial-big";
    if (blocks.empty() && (altersBlock || fault == "short-answer")) {
        Block b;
        b.serial = entries.empty() ? 1 : std::max<uint32_t>(entries[0].serial, 1);
        b.date = "010111";
        blocks.push_back(b);
    }
    if (fault == "block-length") blocks[0].length = 26;
    if (fault == "serial-zero") blocks[0].serial = 0;
    if (fault == "serial-big") blocks[0].serial = 10000000;
    if (fault == "end-below-start") {
        Block b;
        b.serial = blocks.empty() ? std::max<uint32_t>(entries.empty() ? 1 : entries[0].serial, 1)
                                  : blocks[0].serial;
        b.date = blocks.empty() ? "010111" : blocks[0].date;
        b.start = 10;
        b.end = 5;
        b.more = 1;
        blocks.insert(blocks.begin(), b);
    }

    uint64_t dataBytes = 0;
    for (const Block& b : blocks)
        if (b.end > b.start) dataBytes += b.end - b.start;
    uint64_t length = 10 + 24ull * blocks.size() + dataBytes;
    uint32_t type = mode == 4 ? 4 : 2;
    if (fault == "wrong-type") type = mode == 4 ? 1 : 3;
    if (fault == "type1-blocks") type = mode == 4 ? 3 : 1;
    uint32_t lengthField = static_cast<uint32_t>(length);
    if (fault == "length-small") lengthField = 9;
    if (fault == "length-big") lengthField = 524288001;
    uint64_t sendBytes = length;
    if (fault == "short-answer") {
        // The data claimed by the blocks runs past L; the first block needs at least one byte.
        if (dataBytes == 0) {
            blocks[0].end = blocks[0].start + 10;
            dataBytes = 10;
        }
        sendBytes = length - (dataBytes + 1) / 2;
        lengthField = static_cast<uint32_t>(sendBytes);
    }

    std::string header;
    PutU32(header, lengthField);
    PutU16(header, type);
    PutU32(header, static_cast<uint32_t>(blocks.size()));
    for (const Block& b : blocks) {
        PutU32(header, b.length);
        PutU32(header, b.serial);
        header.append(b.date.data(), 6);
        PutU32(header, b.start);
        PutU32(header, b.end);
        header.push_back(static_cast<char>(b.more));
        header.push_back(static_cast<char>(b.kind));
    }

    long long limit = static_cast<long long>(sendBytes);
    bool stallAfter = false;
    if (fault == "silence-mid" || fault == "close-mid") {
        limit = static_cast<long long>(length / 2);
        stallAfter = fault == "silence-mid";
    }
    if (fault == "close-early") limit = 2;
    if (fault == "length-small" || fault == "length-big") stallAfter = true;
    size_t pieceSize = fault == "pieces" ? 3 : (opt.delayMs > 0 ? 4096 : (1u << 20));
    int pauseMs = opt.delayMs > 0 ? opt.delayMs : (fault == "pieces" ? 2 : 0);
    AnswerWriter writer(fd, pieceSize, pauseMs, limit);

    bool ok = writer.Write(header.data(), header.size());
    for (size_t i = 0; ok && i < blocks.size(); ++i)
        if (blocks[i].end > blocks[i].start)
            ok = writer.WriteFile(blocks[i].path, blocks[i].start, blocks[i].end);
    if (stallAfter) WaitForPeerClose(fd);
}

bool ParseNumber(const char* text, long long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && out >= 0;
}

int Usage(FILE* to, int status) {
    std::fputs(kUsage, to);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    static const char* const kFaults[] = {
        "wrong-type",   "block-length", "serial-zero",     "serial-big",   "length-small",
        "length-big",   "no-answer",    "silence-mid",     "close-mid",    "close-early",
        "end-below-start", "type1-blocks", "short-answer", "pieces"};
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return Usage(stdout, 0);
        if (i + 1 >= argc) return Usage(stderr, 2);
        const char* value = argv[++i];
        long long number = 0;
        if (arg == "--root") {
            opt.root = value;
        } else if (arg == "--passwords") {
            opt.passwordsFile = value;
        } else if (arg == "--log") {
            opt.logFile = value;
        } else if (arg == "--fault") {
            opt.fault = value;
            if (std::find_if(std::begin(kFaults), std::end(kFaults), [&](const char* f) {
                    return opt.fault == f;
                }) == std::end(kFaults)) {
                std::fprintf(stderr, "pelorn-server-sim: unknown fault mode %s\n", value);
                return 2;
            }
        } else if (arg == "--port" && ParseNumber(value, number) && number <= 65535) {
            opt.port = static_cast<int>(number);
        } else if (arg == "--cap" && ParseNumber(value, number)) {
            opt.cap = number;
        } else if (arg == "--delay-ms" && ParseNumber(value, number) && number <= 600000) {
            opt.delayMs = static_cast<int>(number);
        } else {
            return Usage(stderr, 2);
        }
    }
    if (opt.root.empty()) return Usage(stderr, 2);

    std::map<uint32_t, std::string> passwords;
    if (!opt.passwordsFile.empty()) passwords = LoadPasswords(opt.passwordsFile);

    if (pipe(stopPipe) != 0) return 2;
    struct sigaction sa = {};
    sa.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(opt.port));
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 16) != 0) {
        std::fprintf(stderr, "pelorn-server-sim: cannot listen on 127.0.0.1:%d: %s\n", opt.port,
                     std::strerror(errno));
        return 2;
    }
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::printf("listening on 127.0.0.1:%u\n", ntohs(addr.sin_port));
    std::fflush(stdout);

    while (!stopRequested) {
        if (!WaitReadable(listener)) continue;
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Serve(opt, opt.passwordsFile.empty() ? nullptr : &passwords, fd);
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
    close(listener);
    return 0;
}
