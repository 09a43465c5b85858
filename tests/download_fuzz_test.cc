// Random and mutated answers through a loopback socket: the exchange never crashes or hangs,
// ends with one of its messages, and writes only bytes that the answer placed there: every byte
// of a day file is a byte of a block for that file at that position, and an answer that arrived
// whole leaves no block in part.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "download/OnlineClient.h"
#include "download_fixture.h"
#include "platform/Text.h"
#include "service/main.h"

using namespace dltest;
namespace fs = std::filesystem;

namespace {

const char* const kDates[] = {"050311", "060311", "311210"};

std::string FileName(uint32_t serial, const std::string& date, int kind) {
    char name[64];
    std::snprintf(name, sizeof name, "%07u/%07u-%c%c%c%c%c%c.%s", serial, serial, date[4], date[5],
                  date[2], date[3], date[0], date[1], kind ? "sbin" : "bin");
    return name;
}

// What an answer lets the archive hold: for each day file and position, the bytes some block
// puts there; and the block ends, where a file may stop when no block was cut.
struct Allowed {
    bool anything = false;
    std::map<std::string, std::map<uint32_t, std::set<char>>> bytes;
    std::map<std::string, std::set<uint32_t>> ends;
};

// sent: the bytes the server sent before closing.
Allowed AllowedBy(const std::string& sent) {
    Allowed a;
    if (sent.size() < 10) return a;
    const uint32_t length = Get32(sent, 0);
    if (length < 10 || length > 524288000) return a;
    const uint64_t received = std::min<uint64_t>(sent.size(), length);
    const uint16_t type = static_cast<uint16_t>(static_cast<uint8_t>(sent[4]) |
                                                static_cast<uint8_t>(sent[5]) << 8);
    const uint32_t m = Get32(sent, 6);
    const uint64_t header = 10 + 24ull * m;
    if (received < header || (type != 1 && type != 2)) return a;
    for (uint32_t i = 0; i < m; ++i) {
        const size_t at = 10 + 24ull * i;
        const uint32_t serial = Get32(sent, at + 4);
        if (Get32(sent, at) != 24 || serial == 0 || serial > 9999999) return a;
    }
    const bool complete = received == length;
    if (type == 1 && complete) return a;
    a.anything = true;
    uint64_t offset = header;
    for (uint32_t i = 0; i < m; ++i) {
        const size_t at = 10 + 24ull * i;
        const uint32_t start = Get32(sent, at + 14), end = Get32(sent, at + 18);
        const auto blockLength = static_cast<int32_t>(end - start);
        if (blockLength < 0) continue;
        const std::string file = FileName(Get32(sent, at + 4), sent.substr(at + 8, 6),
                                          sent[at + 23] ? 1 : 0);
        a.ends[file].insert(end);
        for (uint32_t k = 0; k < static_cast<uint32_t>(blockLength) && offset + k < received; ++k)
            a.bytes[file][start + k].insert(sent[offset + k]);
        offset += static_cast<uint32_t>(blockLength);
    }
    return a;
}

class Fuzz : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeTempDir("fuzz");
        ModuleOptions options;
        options.home = dir_.string();
        module_ = std::make_unique<TPelornDataLoader>(loop_, options);
        module_->FHomeFolder = dir_.string();
        module_->FWriteLog = false;
        module_->FDataFolder = (dir_ / "data").string();
        timeouts_ = {20, 300, 500};
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Exchange(const Script& script) {
        ScriptedServer server({script});
        module_->FServerList.clear();
        auto entry = std::make_unique<TServerEntry>();
        entry->Address = "127.0.0.1";
        entry->Port = server.Port();
        module_->FServerList.push_back(std::move(entry));
        TOnlineClientThread client(*module_, loop_, timeouts_);
        client.FMode = 2;
        client.FExchangeDataFolder = module_->FDataFolder;
        auto request = std::make_unique<TDevFilesRequest>();
        request->Serial = 12345;
        std::memcpy(request->Password, "pw      ", 8);
        std::memcpy(request->Date, "??????", 6);
        client.FRequests.push_back(std::move(request));
        client.ExchangeRequests();
        return client.FMessage;
    }

    void CheckArchive(const std::string& sent, bool complete, const std::string& trace) {
        const Allowed allowed = AllowedBy(sent);
        const fs::path data = dir_ / "data";
        if (!fs::exists(data)) return;
        for (const auto& e : fs::recursive_directory_iterator(data)) {
            if (!e.is_regular_file()) continue;
            const std::string name = fs::relative(e.path(), data).string();
            std::ifstream in(e.path(), std::ios::binary);
            std::stringstream s;
            s << in.rdbuf();
            const std::string bytes = s.str();
            if (bytes.empty()) continue;  // a block that was refused may leave its file empty
            ASSERT_TRUE(allowed.anything) << trace << " wrote " << name;
            const auto file = allowed.bytes.find(name);
            ASSERT_NE(file, allowed.bytes.end()) << trace << " wrote " << name;
            for (uint32_t p = 0; p < bytes.size(); ++p) {
                const auto at = file->second.find(p);
                ASSERT_TRUE(at != file->second.end() && at->second.count(bytes[p]))
                    << trace << " " << name << " byte " << p;
            }
            if (complete) {
                EXPECT_TRUE(allowed.ends.at(name).count(static_cast<uint32_t>(bytes.size())))
                    << trace << " " << name << " stops inside a block";
            }
        }
    }

    fs::path dir_;
    platform::EventLoop loop_;
    std::unique_ptr<TPelornDataLoader> module_;
    ExchangeTimeouts timeouts_;
};

std::string ValidAnswer(std::mt19937& rng) {
    std::vector<Block> blocks;
    std::map<std::string, uint32_t> sizes;
    const int n = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < n; ++i) {
        Block b;
        b.serial = rng() % 2 ? 12345 : 7654321;
        b.date = kDates[rng() % 3];
        b.kind = static_cast<uint8_t>(rng() % 2);
        uint32_t& size = sizes[FileName(b.serial, b.date, b.kind)];
        b.start = size;
        b.end = size + rng() % 120;
        b.more = static_cast<uint8_t>(rng() % 2);
        size = b.end;
        blocks.push_back(b);
    }
    return Answer(rng() % 5 ? 2 : 1, blocks);
}

TEST_F(Fuzz, RandomAndMutatedAnswersWriteOnlyWhatTheyPlace) {
    const std::set<std::string> messages = {
        "",
        platform::Cp1251("Удалённый сервер не отвечает"),
        platform::Cp1251("Ошибка в заголовке ответа"),
        platform::Cp1251("Неверная длина ответа"),
        platform::Cp1251("Ошибки при сохранении данных"),
        platform::Cp1251("Ошибка при получении ответа"),
    };
    std::mt19937 rng(1234567);
    int stored = 0;
    for (int round = 0; round < 300; ++round) {
        std::string answer = ValidAnswer(rng);
        const int kind = static_cast<int>(rng() % 5);
        if (kind == 0) {  // random bytes after a length that is right, or random
            answer.assign(rng() % 200, '\0');
            for (auto& c : answer) c = static_cast<char>(rng());
            if (answer.size() >= 4 && rng() % 2) {
                std::string l;
                Put32(l, static_cast<uint32_t>(answer.size()));
                answer.replace(0, 4, l);
            }
        } else if (kind <= 2) {  // a few header bytes changed, the days left alone
            const uint32_t m = Get32(answer, 6);
            const size_t header = std::min<size_t>(answer.size(), 10 + 24ull * m);
            for (int k = 0; k < 1 + static_cast<int>(rng() % 3); ++k) {
                const size_t at = rng() % header;
                if (at >= 10 && (at - 10) % 24 >= 8 && (at - 10) % 24 < 14) continue;
                answer[at] = static_cast<char>(rng() % 3 ? rng() : answer[at] ^ 1);
            }
        } else if (kind == 3) {  // a total length that is off
            std::string l;
            Put32(l, static_cast<uint32_t>(answer.size() + static_cast<int>(rng() % 21) - 10));
            answer.replace(0, 4, l);
        }
        // Cut the answer short sometimes; send it in one piece or several.
        std::string sent = answer;
        if (rng() % 3 == 0 && !sent.empty()) sent.resize(rng() % sent.size());
        Script script;
        for (size_t at = 0; at < sent.size();) {
            const size_t piece = rng() % 2 ? sent.size() : 1 + rng() % 40;
            script.pieces.push_back(sent.substr(at, piece));
            at += piece;
        }
        script.pauseMs = 1;
        fs::remove_all(dir_ / "data");
        const std::string message = Exchange(script);
        const std::string trace = "round " + std::to_string(round);
        EXPECT_TRUE(messages.count(message)) << trace;
        const bool complete = sent.size() >= 4 && sent.size() >= Get32(sent, 0);
        CheckArchive(sent, complete, trace);
        stored += fs::exists(dir_ / "data") && !fs::is_empty(dir_ / "data");
    }
    // The rounds reach the store, not only the header checks.
    EXPECT_GT(stored, 50);
}

}  // namespace
