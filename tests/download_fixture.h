// Shared pieces of the download tests: a temporary folder, answers built byte by byte, and a
// loopback server, run by the test itself, that plays one scripted answer per connection.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace dltest {

inline std::filesystem::path MakeTempDir(const std::string& tag) {
    std::string pattern = (std::filesystem::temp_directory_path() / ("pelorn-" + tag + "-XXXXXX"));
    char* made = mkdtemp(pattern.data());
    return made ? std::filesystem::path(made) : std::filesystem::path();
}

inline void Put16(std::string& s, uint16_t v) {
    for (int i = 0; i < 2; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}
inline void Put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}
inline uint32_t Get32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
    return v;
}

struct Block {
    uint32_t serial = 12345;
    std::string date = "050311";  // DDMMYY
    uint32_t start = 0;
    uint32_t end = 0;
    uint8_t more = 0;
    uint8_t kind = 0;
    uint32_t length = 24;
};

inline std::string BlockBytes(const Block& b) {
    std::string s;
    Put32(s, b.length);
    Put32(s, b.serial);
    s += b.date.substr(0, 6);
    Put32(s, b.start);
    Put32(s, b.end);
    s.push_back(static_cast<char>(b.more));
    s.push_back(static_cast<char>(b.kind));
    return s;
}

// Byte i of the data of a block: recognisable, and different for each block and position.
inline char DataByte(uint32_t serial, uint32_t position) {
    return static_cast<char>((serial * 31 + position * 7 + (position >> 8)) & 0xFF);
}

// A whole answer: header, the blocks, and for every block with end > start its data bytes
// (DataByte of its serial and file position). length 0 means the true length.
inline std::string Answer(uint16_t type, const std::vector<Block>& blocks, uint32_t length = 0) {
    std::string body;
    Put16(body, type);
    Put32(body, static_cast<uint32_t>(blocks.size()));
    for (const auto& b : blocks) body += BlockBytes(b);
    for (const auto& b : blocks)
        for (uint32_t p = b.start; b.end > b.start && p < b.end; ++p)
            body.push_back(DataByte(b.serial, p));
    std::string s;
    Put32(s, length ? length : static_cast<uint32_t>(body.size() + 4));
    return s + body;
}

// What the scripted server does with one connection, after it has read the request.
struct Script {
    enum class End { Close, Hold };
    Script() = default;
    Script(std::vector<std::string> p, int pause = 0, End e = End::Close)
        : pieces(std::move(p)), pauseMs(pause), end(e) {}
    std::vector<std::string> pieces;    // sent in order
    int pauseMs = 0;                    // between pieces
    End end = End::Close;
    std::function<void()> afterPieces;  // runs once every piece is sent
};

// Listens on 127.0.0.1 (any port); serves one connection per script, in order. The request of
// each connection is kept. Hold keeps the connection open until the client closes it or the
// server is destroyed.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        listen(listen_, 8);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        close(listen_);
    }
    uint16_t Port() const { return port_; }
    // Requests received so far (valid once the client's exchange has ended).
    const std::vector<std::string>& Requests() const { return requests_; }

private:
    bool WaitIn(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }
    void Serve() {
        for (auto& script : scripts_) {
            int fd = -1;
            while (!stop_ && fd < 0)
                if (WaitIn(listen_, 50)) fd = accept(listen_, nullptr, nullptr);
            if (fd < 0) return;
            requests_.push_back(ReadRequest(fd));
            for (size_t i = 0; i < script.pieces.size() && !stop_; ++i) {
                if (i > 0 && script.pauseMs > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(script.pauseMs));
                send(fd, script.pieces[i].data(), script.pieces[i].size(), MSG_NOSIGNAL);
            }
            if (script.afterPieces) script.afterPieces();
            if (script.end == Script::End::Hold) {
                char c;
                while (!stop_)
                    if (WaitIn(fd, 50) && recv(fd, &c, 1, 0) <= 0) break;
            }
            close(fd);
        }
    }
    std::string ReadRequest(int fd) {
        std::string got;
        char buf[4096];
        while (!stop_) {
            if (got.size() >= 4 && got.size() >= Get32(got, 0)) break;
            if (!WaitIn(fd, 50)) continue;
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

    std::vector<Script> scripts_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<std::string> requests_;
    std::thread thread_;
};

// Polls condition until it holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!condition())
        if (std::chrono::steady_clock::now() > until) return false;
    return true;
}

// Splits s into pieces: the first at cut, the rest after it.
inline std::vector<std::string> SplitAt(const std::string& s, size_t cut) {
    return {s.substr(0, cut), s.substr(cut)};
}

}  // namespace dltest
