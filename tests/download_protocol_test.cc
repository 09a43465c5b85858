// One exchange against a server scripted by the test: the request packet, every outcome of
// the answer handling, and what reaches the archive.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "download/OnlineClient.h"
#include "download_fixture.h"
#include "platform/Text.h"
#include "service/main.h"

using namespace dltest;
namespace fs = std::filesystem;

namespace {

std::string Msg(const char* utf8) { return platform::Cp1251(utf8); }

class Exchange : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeTempDir("exchange");
        ASSERT_FALSE(dir_.empty());
        ModuleOptions options;
        options.home = dir_.string();
        options.onLogLine = [this](const std::string& line) { lines_.push_back(line); };
        module_ = std::make_unique<TPelornDataLoader>(loop_, options);
        module_->FHomeFolder = dir_.string();
        module_->FDataFolder = (dir_ / "data").string();
        timeouts_.readinessWaitMs = 50;
        timeouts_.silenceMs = 1000;
        timeouts_.lengthWaitMs = 2000;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs one exchange (mode 2 unless told) with the server at address:port; the message.
    std::string Run(uint16_t port, uint16_t mode = 2, std::string address = "127.0.0.1") {
        module_->FServerList.clear();
        auto server = std::make_unique<TServerEntry>();
        server->Address = address;
        server->Port = port;
        module_->FServerList.push_back(std::move(server));
        client_ = std::make_unique<TOnlineClientThread>(*module_, loop_, timeouts_);
        client_->FMode = mode;
        client_->FServerIndex = 0;
        client_->FExchangeDataFolder = module_->FDataFolder;  // as BuildRequests sets it
        for (uint32_t serial : {12345u, 7654321u}) {
            auto request = std::make_unique<TDevFilesRequest>();
            request->Serial = serial;
            std::memcpy(request->Password, "secret  ", 8);
            std::memcpy(request->Date, serial == 12345 ? "??????" : "310110", 6);
            request->Start = serial == 12345 ? 0 : 4096;
            client_->FRequests.push_back(std::move(request));
        }
        client_->ExchangeRequests();
        return client_->FMessage;
    }

    std::string DayFile(uint32_t serial, const char* yymmdd, const char* ext) {
        char name[64];
        std::snprintf(name, sizeof name, "%07u/%07u-%s.%s", serial, serial, yymmdd, ext);
        std::ifstream in(dir_ / "data" / name, std::ios::binary);
        if (!in) return "<missing>";
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static std::string Data(uint32_t serial, uint32_t from, uint32_t to) {
        std::string s;
        for (uint32_t p = from; p < to; ++p) s.push_back(DataByte(serial, p));
        return s;
    }
    bool ArchiveEmpty() { return !fs::exists(dir_ / "data") || fs::is_empty(dir_ / "data"); }

    fs::path dir_;
    platform::EventLoop loop_;
    std::vector<std::string> lines_;
    std::unique_ptr<TPelornDataLoader> module_;
    std::unique_ptr<TOnlineClientThread> client_;
    ExchangeTimeouts timeouts_;
};

TEST_F(Exchange, RequestPacketIsLittleEndianAndPacked) {
    ScriptedServer server({Script{{Answer(2, {})}}});
    EXPECT_EQ(Run(server.Port()), "");
    ASSERT_EQ(server.Requests().size(), 1u);
    std::string want;
    Put32(want, 10 + 26 * 2);
    Put16(want, 2);
    Put32(want, 2);
    Put32(want, 26);
    Put32(want, 12345);
    want += "secret  ??????";
    Put32(want, 0);
    Put32(want, 26);
    Put32(want, 7654321);
    want += "secret  310110";
    Put32(want, 4096);
    EXPECT_EQ(server.Requests()[0], want);
}

// Answers that arrive whole: the message, the more flag and the archive.
TEST_F(Exchange, CompleteAnswers) {
    const Block a{.serial = 12345, .date = "050311", .start = 0, .end = 100};
    const Block b{.serial = 12345, .date = "060311", .start = 0, .end = 50, .kind = 1};
    struct Case {
        const char* name;
        std::string answer;
        uint16_t mode;
        std::string message;
        bool more;
        bool stored;  // a and b stored whole (else the archive stays empty)
    } cases[] = {
        {"empty answer", Answer(2, {}), 2, "", false, false},
        {"two blocks", Answer(2, {a, b}), 2, "", false, true},
        {"more flag", Answer(2, {a, Block{b.serial, b.date, 0, 50, 1, 1}}), 2, "", true, true},
        {"type 1 stores nothing", Answer(1, {a, Block{b.serial, b.date, 0, 50, 1, 1}}), 2, "",
         false, false},
        {"type 3 to mode 2", Answer(3, {a}), 2, Msg("Ошибка в заголовке ответа"), false, false},
        {"type 2 to mode 4", Answer(2, {a}), 4, Msg("Ошибка в заголовке ответа"), false, false},
        {"block length 26", Answer(2, {a, Block{.serial = 12345, .length = 26}}), 2,
         Msg("Ошибка в заголовке ответа"), false, false},
        {"serial 0", Answer(2, {a, Block{.serial = 0}}), 2, Msg("Ошибка в заголовке ответа"),
         false, false},
        {"serial 10000000", Answer(2, {Block{.serial = 10000000}, a}), 2,
         Msg("Ошибка в заголовке ответа"), false, false},
        {"header longer than L", Answer(2, {a, b}, 40), 2, Msg("Ошибка в заголовке ответа"), false,
         false},
        {"L = 9", Answer(2, {}, 9), 2, Msg("Удалённый сервер не отвечает"), false, false},
        {"L = 524288001", Answer(2, {}, 524288001), 2, Msg("Удалённый сервер не отвечает"), false,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "data");
        ScriptedServer server({Script{{c.answer}}});
        EXPECT_EQ(Run(server.Port(), c.mode), c.message);
        EXPECT_EQ(client_->FMoreData, c.more);
        if (c.stored) {
            EXPECT_EQ(DayFile(12345, "110305", "bin"), Data(12345, 0, 100));
            EXPECT_EQ(DayFile(12345, "110306", "sbin"), Data(12345, 0, 50));
        } else {
            EXPECT_TRUE(ArchiveEmpty());
        }
    }
}

TEST_F(Exchange, KindIndexAboveOneAndModeFourKinds) {
    const Block seven{.serial = 12345, .date = "050311", .start = 0, .end = 8, .kind = 7};
    {
        ScriptedServer server({Script{{Answer(2, {seven})}}});
        EXPECT_EQ(Run(server.Port(), 2), "");
        EXPECT_EQ(DayFile(12345, "110305", "sbin"), Data(12345, 0, 8));
    }
    {
        ScriptedServer server({Script{{Answer(4, {seven})}}});
        EXPECT_EQ(Run(server.Port(), 4), "");
        EXPECT_EQ(DayFile(12345, "110305", "route"), Data(12345, 0, 8));
    }
}

TEST_F(Exchange, EndBelowStartOwnsNoBytesAndItsMoreFlagIsIgnored) {
    const Block backwards{.serial = 12345, .date = "040311", .start = 10, .end = 5, .more = 1};
    const Block a{.serial = 12345, .date = "050311", .start = 0, .end = 30};
    ScriptedServer server({Script{{Answer(2, {backwards, a})}}});
    EXPECT_EQ(Run(server.Port()), "");
    EXPECT_FALSE(client_->FMoreData);
    EXPECT_EQ(DayFile(12345, "110304", "bin"), "<missing>");
    EXPECT_EQ(DayFile(12345, "110305", "bin"), Data(12345, 0, 30));
}

TEST_F(Exchange, BlocksNeedingMoreThanTheAnswerStoreTheWholeOnesOnly) {
    const Block a{.serial = 12345, .date = "050311", .start = 0, .end = 40};
    const Block b{.serial = 12345, .date = "060311", .start = 0, .end = 40};
    std::string answer = Answer(2, {a, b});
    answer.resize(answer.size() - 10);  // b's last ten bytes are missing, and L says so
    std::string length;
    Put32(length, static_cast<uint32_t>(answer.size()));
    answer.replace(0, 4, length);
    ScriptedServer server({Script{{answer}}});
    EXPECT_EQ(Run(server.Port()), Msg("Неверная длина ответа"));
    EXPECT_EQ(DayFile(12345, "110305", "bin"), Data(12345, 0, 40));
    EXPECT_EQ(DayFile(12345, "110306", "bin"), "<missing>");
}

TEST_F(Exchange, StartThatDoesNotContinueTheDayFileIsAStoreError) {
    const Block a{.serial = 12345, .date = "050311", .start = 0, .end = 20};
    const Block gap{.serial = 12345, .date = "050311", .start = 25, .end = 30};
    ScriptedServer server({Script{{Answer(2, {a, gap})}}});
    EXPECT_EQ(Run(server.Port()), Msg("Ошибки при сохранении данных"));
    EXPECT_EQ(DayFile(12345, "110305", "bin"), Data(12345, 0, 20));
}

// Answers cut off: silence, a close, a stop. What arrived of the accepted header's blocks stays.
TEST_F(Exchange, SilenceInTheSecondBlockKeepsTheFirstAndWhatArrivedOfTheSecond) {
    const Block a{.serial = 12345, .date = "050311", .start = 0, .end = 100};
    const Block b{.serial = 12345, .date = "060311", .start = 0, .end = 100};
    const std::string answer = Answer(2, {a, b});
    const size_t cut = 10 + 48 + 100 + 30;
    ScriptedServer server({Script{{answer.substr(0, cut)}, 0, Script::End::Hold}});
    EXPECT_EQ(Run(server.Port()), Msg("Ошибка при получении ответа"));
    EXPECT_EQ(DayFile(12345, "110305", "bin"), Data(12345, 0, 100));
    EXPECT_EQ(DayFile(12345, "110306", "bin"), Data(12345, 0, 30));
}

TEST_F(Exchange, CloseHalfWayOfTypeOneStoresThePartThatArrived) {
    const Block a{.serial = 12345, .date = "050311", .start = 0, .end = 100};
    const std::string answer = Answer(1, {a});
    ScriptedServer server({Script{{answer.substr(0, 10 + 24 + 60)}}});
    timeouts_.silenceMs = 30000;  // the close, not the silence, must end it
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(server.Port()), Msg("Ошибка при получении ответа"));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
    EXPECT_EQ(DayFile(12345, "110305", "bin"), Data(12345, 0, 60));
}

TEST_F(Exchange, CloseBeforeTheLengthEndsTheWaitAtOnce) {
    timeouts_.lengthWaitMs = 60000;
    ScriptedServer server({Script{{std::string("\x20\x00", 2)}}});
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(server.Port()), Msg("Удалённый сервер не отвечает"));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
}

TEST_F(Exchange, NoAnswerEndsAfterTheLengthWait) {
    ScriptedServer server({Script{{}, 0, Script::End::Hold}});
    EXPECT_EQ(Run(server.Port()), Msg("Удалённый сервер не отвечает"));
}

TEST_F(Exchange, LengthInPiecesIsReadWithoutSpinning) {
    const std::string answer = Answer(2, {Block{.start = 0, .end = 10}});
    timeouts_.readinessWaitMs = 200;
    timeouts_.lengthWaitMs = 10000;
    ScriptedServer server({Script{{answer.substr(0, 2), answer.substr(2)}, 1500}});
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    EXPECT_EQ(Run(server.Port()), "");
    getrusage(RUSAGE_THREAD, &after);
    EXPECT_EQ(DayFile(12345, "110305", "bin"), Data(12345, 0, 10));
    const auto cpuMs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
    };
    // 1.5 s with two of the four length bytes in: a peek loop would burn all of it.
    EXPECT_LT(cpuMs(after) - cpuMs(before), 300.0);
}

TEST_F(Exchange, AnswerInSmallPiecesIsStoredWhole) {
    const Block a{.serial = 12345, .date = "050311", .start = 0, .end = 300};
    const Block b{.serial = 7654321, .date = "060311", .start = 0, .end = 200};
    const std::string answer = Answer(2, {a, b});
    Script script;
    for (size_t at = 0; at < answer.size(); at += 37) script.pieces.push_back(answer.substr(at, 37));
    script.pauseMs = 2;
    ScriptedServer server({script});
    EXPECT_EQ(Run(server.Port()), "");
    EXPECT_EQ(DayFile(12345, "110305", "bin"), Data(12345, 0, 300));
    EXPECT_EQ(DayFile(7654321, "110306", "bin"), Data(7654321, 0, 200));
}

TEST_F(Exchange, StopDuringTheAnswerStoresWhatArrivedWithoutAMessage) {
    const Block a{.serial = 12345, .date = "050311", .start = 0, .end = 100};
    const Block b{.serial = 12345, .date = "060311", .start = 0, .end = 100};
    const std::string answer = Answer(2, {a, b});
    Script script{{answer.substr(0, 10 + 48 + 100 + 30)}, 0, Script::End::Hold};
    script.afterPieces = [this] {
        // The client has the bytes once they are sent; give it the stop a moment later.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        client_->Terminate();
    };
    timeouts_.silenceMs = 30000;
    ScriptedServer server({script});
    EXPECT_EQ(Run(server.Port()), "");
    EXPECT_EQ(DayFile(12345, "110305", "bin"), Data(12345, 0, 100));
    EXPECT_EQ(DayFile(12345, "110306", "bin"), Data(12345, 0, 30));
}

TEST_F(Exchange, TransportFailures) {
    // A port with nobody listening: bind one, learn its number, close it.
    uint16_t deadPort;
    {
        ScriptedServer probe({});
        deadPort = probe.Port();
    }
    EXPECT_EQ(Run(deadPort), Msg("Ошибка подключения к удалённому серверу"));
    EXPECT_EQ(Run(deadPort, 2, ""), Msg("Невозможно определить ip-адрес удалённого сервера"));
}

}  // namespace

namespace {

// The pass loop against a scripted server: a device of the server's own list, no archive yet.
class Passes : public Exchange {
protected:
    // Runs the passes of server 0; the requests the server saw.
    std::vector<std::string> RunPasses(std::vector<Script> scripts) {
        ScriptedServer server(std::move(scripts));
        module_->FServerList.clear();
        auto entry = std::make_unique<TServerEntry>();
        entry->Address = "127.0.0.1";
        entry->Port = server.Port();
        auto device = std::make_unique<TGSMEntry>();
        device->Serial = 12345;
        device->Password = "secret";
        entry->Devices.push_back(std::move(device));
        module_->FServerList.push_back(std::move(entry));
        client_ = std::make_unique<TOnlineClientThread>(*module_, loop_, timeouts_);
        client_->FMode = 2;
        client_->FServerIndex = 0;
        client_->RunPasses();
        return server.Requests();
    }
};

TEST_F(Passes, MoreDataLeadsToAPassFromTheNewSizes) {
    const Block first{.serial = 12345, .date = "050311", .start = 0, .end = 100, .more = 1};
    const Block rest{.serial = 12345, .date = "050311", .start = 100, .end = 150};
    const auto requests = RunPasses({Script{{Answer(2, {first})}}, Script{{Answer(2, {rest})}}});
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].substr(16 + 10, 10), std::string("050311") + std::string("\x64\0\0\0", 4));
    EXPECT_EQ(DayFile(12345, "110305", "bin"), Data(12345, 0, 150));
    EXPECT_EQ(client_->FMessage, "");
}

// A server that announces more data but sends nothing new would be asked again and again with
// the same requests: the passes end instead.
TEST_F(Passes, MoreDataWithoutAnyNewByteEndsThePasses) {
    const Block empty{.serial = 12345, .date = "050311", .start = 0, .end = 0, .more = 1};
    const auto requests = RunPasses({Script{{Answer(2, {empty})}}, Script{{Answer(2, {empty})}},
                                     Script{{Answer(2, {empty})}}});
    EXPECT_EQ(requests.size(), 1u);
    EXPECT_EQ(client_->FMessage, "");
}

}  // namespace
