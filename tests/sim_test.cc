// The data-server simulator over loopback, read by a raw client that decodes its answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_process.h"

namespace {

using testutil::Simulator;
using testutil::TempDir;

struct RequestEntry {
    uint32_t serial;
    std::string password;  // padded to 8 here
    std::string date;
    uint32_t start;
};

struct AnswerBlock {
    uint32_t length, serial;
    std::string date;
    uint32_t start, end;
    uint8_t more, kind;
    std::string data;
};

struct Answer {
    std::string raw;  // every byte received until the server closed
    uint32_t length = 0;
    uint16_t type = 0;
    std::vector<AnswerBlock> blocks;
};

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

uint32_t U32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

std::string Request(uint16_t mode, const std::vector<RequestEntry>& entries) {
    std::string packet;
    PutU32(packet, static_cast<uint32_t>(10 + 26 * entries.size()));
    packet.push_back(static_cast<char>(mode));
    packet.push_back(0);
    PutU32(packet, static_cast<uint32_t>(entries.size()));
    for (const RequestEntry& e : entries) {
        PutU32(packet, 26);
        PutU32(packet, e.serial);
        std::string pw = e.password;
        pw.resize(8, ' ');
        packet += pw + e.date;
        PutU32(packet, e.start);
    }
    return packet;
}

// A blocking TCP connection to the simulator on 127.0.0.1; -1 when it could not be made.
int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends one request and reads until the server closes. Decodes the header when it is whole.
Answer Exchange(int port, const std::string& packet) {
    int fd = ConnectLoopback(port);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(send(fd, packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
    timeval tv = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    Answer a;
    char chunk[65536];
    for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, 0)) > 0;) a.raw.append(chunk, n);
    close(fd);
    if (a.raw.size() < 10) return a;
    a.length = U32(a.raw, 0);
    a.type = static_cast<uint16_t>(static_cast<unsigned char>(a.raw[4]) |
                                   (static_cast<unsigned char>(a.raw[5]) << 8));
    uint32_t m = U32(a.raw, 6);
    size_t data = 10 + 24 * static_cast<size_t>(m);
    if (a.raw.size() < data) return a;
    for (uint32_t i = 0; i < m; ++i) {
        size_t at = 10 + 24 * i;
        AnswerBlock b{U32(a.raw, at),
                      U32(a.raw, at + 4),
                      a.raw.substr(at + 8, 6),
                      U32(a.raw, at + 14),
                      U32(a.raw, at + 18),
                      static_cast<uint8_t>(a.raw[at + 22]),
                      static_cast<uint8_t>(a.raw[at + 23]),
                      {}};
        if (b.end > b.start && data <= a.raw.size()) {
            b.data = a.raw.substr(data, b.end - b.start);
            data += b.end - b.start;
        }
        a.blocks.push_back(b);
    }
    return a;
}

// Distinct content per file so that a wrong offset or file shows.
std::string Content(const std::string& seed, size_t size) {
    std::string s;
    for (size_t i = 0; s.size() < size; ++i) s += seed + std::to_string(i) + ";";
    s.resize(size);
    return s;
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(tree_ / "0012345");
        AddFile("0012345-110301.bin", 500);
        AddFile("0012345-110301.sbin", 80);
        AddFile("0012345-110305.bin", 1200);
        AddFile("0012345-110305.sbin", 30);
        AddFile("0012345-110307.BIN", 100);  // the kind's case does not matter
        AddFile("0012345-110306.route", 64);
        AddFile("0012345-1103xx.bin", 10);  // not a day file
    }
    void AddFile(const std::string& name, size_t size) {
        files_[name] = Content(name, size);
        testutil::WriteFile(tree_.path() + "/0012345/" + name, files_[name]);
    }
    std::string Slice(const std::string& name, size_t from, size_t to) {
        return files_.at(name).substr(from, to - from);
    }

    TempDir tree_;
    std::map<std::string, std::string> files_;
};

std::string Describe(const AnswerBlock& b) {
    return std::to_string(b.serial) + " " + b.date + " " + std::to_string(b.start) + "-" +
           std::to_string(b.end) + (b.more ? " more" : "") + " k" + std::to_string(b.kind);
}

TEST_F(SimTest, ServesFromDateAndStartOnward) {
    Simulator sim(tree_.path());
    struct Case {
        uint16_t mode;
        std::string date;
        uint32_t start;
        std::vector<std::string> blocks;  // serial date start-end [more] kind
    } cases[] = {
        // The held sbin of 5 March (30 bytes) is complete: only the later day.
        {2, "050311", 30, {"12345 070311 0-100 k0"}},
        // Start beyond the sbin's size refers to the bin: the rest of it, then the sbin whole.
        {2, "050311", 600, {"12345 050311 600-1200 k0", "12345 050311 0-30 k1",
                            "12345 070311 0-100 k0"}},
        // Start 0: that day whole.
        {2, "050311", 0, {"12345 050311 0-1200 k0", "12345 050311 0-30 k1",
                          "12345 070311 0-100 k0"}},
        {2, "??????", 0, {"12345 010311 0-500 k0", "12345 010311 0-80 k1",
                          "12345 050311 0-1200 k0", "12345 050311 0-30 k1",
                          "12345 070311 0-100 k0"}},
        {2, "080311", 0, {}},
        {4, "??????", 0, {"12345 060311 0-64 k0"}},
        {4, "060311", 64, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + " " + c.date + " " + std::to_string(c.start));
        Answer a = Exchange(sim.port(), Request(c.mode, {{12345, "pw", c.date, c.start}}));
        EXPECT_EQ(a.type, c.mode);
        ASSERT_EQ(a.length, a.raw.size());
        std::vector<std::string> got;
        size_t dataBytes = 0;
        for (const AnswerBlock& b : a.blocks) {
            EXPECT_EQ(b.length, 24u);
            got.push_back(Describe(b));
            dataBytes += b.data.size();
            std::string day = "11" + b.date.substr(2, 2) + b.date.substr(0, 2);
            std::string name = "0012345-" + day + "." +
                               (c.mode == 4 ? "route" : b.kind ? "sbin" : (day == "110307" ? "BIN" : "bin"));
            EXPECT_EQ(b.data, Slice(name, b.start, b.end)) << name;
        }
        EXPECT_EQ(got, c.blocks);
        EXPECT_EQ(a.length, 10 + 24 * a.blocks.size() + dataBytes);
    }
}

TEST_F(SimTest, CapCutsTheAnswerAndSetsMore) {
    std::filesystem::create_directories(tree_ / "0000007");
    testutil::WriteFile(tree_ / "0000007/0000007-110301.bin", Content("seven", 50));
    Simulator sim(tree_.path(), {"--cap", "700"});
    Answer a = Exchange(sim.port(), Request(2, {{7, "", "??????", 0}, {12345, "", "??????", 0}}));
    std::vector<std::string> got;
    for (const AnswerBlock& b : a.blocks) got.push_back(Describe(b));
    // 50 + 500 + 80 bytes fit whole, the next block is cut at 700, the rest is left out.
    EXPECT_EQ(got, (std::vector<std::string>{"7 010311 0-50 k0", "12345 010311 0-500 k0",
                                             "12345 010311 0-80 k1",
                                             "12345 050311 0-70 more k0"}));
    EXPECT_EQ(a.blocks.back().data, Slice("0012345-110305.bin", 0, 70));
    EXPECT_EQ(a.length, a.raw.size());

    // A cut that falls on a block boundary marks the device's last block sent.
    Simulator exact(tree_.path(), {"--cap", "580"});
    Answer b = Exchange(exact.port(), Request(2, {{12345, "", "??????", 0}}));
    ASSERT_EQ(b.blocks.size(), 2u);
    EXPECT_EQ(Describe(b.blocks[1]), "12345 010311 0-80 more k1");
}

TEST_F(SimTest, PasswordsDecideAndRequestsAreLogged) {
    testutil::WriteFile(tree_ / "passwords", "12345 secret\r\n99 x\n");
    Simulator sim(tree_.path(), {"--passwords", tree_ / "passwords", "--log", tree_ / "log"});
    Answer good = Exchange(sim.port(), Request(2, {{12345, "secret", "070311", 0}}));
    EXPECT_EQ(good.blocks.size(), 1u);
    Answer bad = Exchange(sim.port(), Request(2, {{12345, "secret1", "070311", 0},
                                                  {12345, "Secret", "??????", 0}}));
    EXPECT_EQ(bad.raw, std::string("\x0A\0\0\0\x02\0\0\0\0\0", 10));
    EXPECT_EQ(testutil::ReadFile(tree_ / "log"),
              "mode=2 serial=0012345 password=secret   date=070311 start=0\n"
              "mode=2 serial=0012345 password=secret1  date=070311 start=0\n"
              "mode=2 serial=0012345 password=Secret   date=?????? start=0\n");
}

TEST_F(SimTest, FaultModesBreakTheAnswerAsNamed) {
    const std::string request = Request(2, {{12345, "", "050311", 600}});
    Simulator normal(tree_.path());
    const Answer good = Exchange(normal.port(), request);
    ASSERT_EQ(good.blocks.size(), 3u);

    {
        Simulator sim(tree_.path(), {"--fault", "close-early"});
        EXPECT_EQ(Exchange(sim.port(), request).raw, good.raw.substr(0, 2));
    }
    {
        Simulator sim(tree_.path(), {"--fault", "close-mid"});
        EXPECT_EQ(Exchange(sim.port(), request).raw, good.raw.substr(0, good.raw.size() / 2));
    }
    {
        Simulator sim(tree_.path(), {"--fault", "pieces"});
        EXPECT_EQ(Exchange(sim.port(), request).raw, good.raw);
    }
    struct Case {
        const char* fault;
        uint32_t length;
        uint16_t type;
        uint32_t firstLength, firstSerial;
    } cases[] = {
        {"wrong-type", good.length, 3, 24, 12345},
        {"type1-blocks", good.length, 1, 24, 12345},
        {"block-length", good.length, 2, 26, 12345},
        {"serial-zero", good.length, 2, 24, 0},
        {"serial-big", good.length, 2, 24, 10000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        Simulator sim(tree_.path(), {"--fault", c.fault});
        Answer a = Exchange(sim.port(), request);
        EXPECT_EQ(a.length, c.length);
        EXPECT_EQ(a.type, c.type);
        ASSERT_EQ(a.blocks.size(), 3u);
        EXPECT_EQ(a.blocks[0].length, c.firstLength);
        EXPECT_EQ(a.blocks[0].serial, c.firstSerial);
        EXPECT_EQ(a.raw.substr(10 + 72), good.raw.substr(10 + 72));  // same data area
    }
    {
        Simulator sim(tree_.path(), {"--fault", "end-below-start"});
        Answer a = Exchange(sim.port(), request);
        ASSERT_EQ(a.blocks.size(), 4u);
        EXPECT_LT(a.blocks[0].end, a.blocks[0].start);
        EXPECT_EQ(a.length, good.length + 24);
        EXPECT_EQ(a.raw.size(), a.length);
        EXPECT_EQ(a.raw.substr(10 + 96), good.raw.substr(10 + 72));
    }
    {
        Simulator sim(tree_.path(), {"--fault", "short-answer"});
        Answer a = Exchange(sim.port(), request);
        size_t claimed = 10 + 72;
        for (const AnswerBlock& b : a.blocks) claimed += b.end - b.start;
        EXPECT_EQ(a.raw.size(), a.length);
        EXPECT_GT(claimed, a.length);
    }
    for (const char* fault : {"length-small", "length-big"}) {
        // The server keeps the connection after the bad length; the client gives up.
        Simulator sim(tree_.path(), {"--fault", fault});
        const int fd = ConnectLoopback(sim.port());
        ASSERT_GE(fd, 0);
        send(fd, request.data(), request.size(), 0);
        std::string head(4, '\0');
        ASSERT_EQ(recv(fd, head.data(), 4, MSG_WAITALL), 4);
        EXPECT_EQ(U32(head, 0), std::string(fault) == "length-small" ? 9u : 524288001u);
        close(fd);
    }
}

TEST(SimProcess, StopsOnSigtermWhileAClientHoldsTheConnection) {
    TempDir tree;
    Simulator sim(tree.path(), {"--fault", "no-answer"});
    const int fd = ConnectLoopback(sim.port());
    ASSERT_GE(fd, 0);
    std::string request = Request(2, {{1, "", "??????", 0}});
    send(fd, request.data(), request.size(), 0);
    sim.process().Signal(SIGTERM);
    EXPECT_EQ(sim.process().Wait(), 0);
    close(fd);
}

}  // namespace
