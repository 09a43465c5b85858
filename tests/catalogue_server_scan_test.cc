// The server folder scan over real folder trees: which devices land in which list, and the bytes
// of Devices.txt.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <vector>

#include "catalogue/ScanRules.h"
#include "catalogue_fixture.h"
#include "download/OnlineClient.h"
#include "platform/Files.h"

namespace {

std::string Line(uint32_t serial, const char* password) {
    return FormatSerial(serial) + ":\tPASSWORD=" + password + ";\r\n";
}

using Devices = std::vector<std::pair<uint32_t, std::string>>;

Devices Of(const TDeviceList& list) {
    Devices out;
    for (const auto& d : list) out.emplace_back(d->Serial, d->Password);
    return out;
}

}  // namespace

class ServerScanTest : public CatalogueTest {
  protected:
    std::map<std::string, Devices> Servers() const {
        std::map<std::string, Devices> out;
        for (const auto& s : module_.FServerList) {
            const std::string key = s->Address + ":" + std::to_string(s->Port);
            EXPECT_EQ(out.count(key), 0u) << "server listed twice: " << key;
            out[key] = Of(s->Devices);
        }
        return out;
    }
};

TEST_F(ServerScanTest, EmptyTreeListing) {
    module_.UpdateServerList();
    EXPECT_TRUE(module_.FServerList.empty());
    EXPECT_TRUE(module_.FCommonList.empty());
    EXPECT_EQ(Get("Devices.txt"), W("Общий список пуст\r\n"));
    EXPECT_TRUE(platform::IsReadOnly(Path("Devices.txt").string()));
}

TEST_F(ServerScanTest, ServerWithoutFilesIsListedWithItsEmptyMarker) {
    std::filesystem::create_directories(Path("DBF/10.0.0.1-2226 main"));
    module_.UpdateServerList();
    ASSERT_EQ(module_.FServerList.size(), 1u);
    EXPECT_EQ(Get("Devices.txt"), W("Общий список пуст\r\nСервер 10.0.0.1:2226\r\n") + "C" +
                                      W("писок сервера пуст\r\n"));
    EXPECT_EQ(Get("Devices.txt")[W("Общий список пуст\r\nСервер 10.0.0.1:2226\r\n").size()], 'C');
}

TEST_F(ServerScanTest, FilledListingBytes) {
    // Nesting fixes the order of discovery: the outer server is met before the inner one.
    Put("DBF/common.zrk", Line(1200000, "a") + Line(1100000, "b") + Line(1200000, "dup"));
    Put("DBF/10.0.0.1-2226/a.zrk", Line(3000000, "c") + Line(20000, "d"));
    Put("DBF/10.0.0.1-2226/10.0.0.2-3000/b.zrk", Line(5000000, "e"));
    module_.UpdateServerList();
    EXPECT_EQ(Get("Devices.txt"), W("Общий список\r\n"
                                    "\t1200000\r\n"
                                    "\t1100000\r\n"
                                    "Сервер 10.0.0.1:2226\r\n"
                                    "\t0020000\r\n"
                                    "\t3000000\r\n"
                                    "Сервер 10.0.0.2:3000\r\n"
                                    "\t5000000\r\n"));
    EXPECT_EQ(Of(module_.FCommonList), (Devices{{1200000, "a"}, {1100000, "b"}}));
}

TEST_F(ServerScanTest, TreeShapeDecidesWhichListOwnsADevice) {
    Put("DBF/top.zrk", Line(1000001, "top") + "0001234:\tPASSWORD=low;\r\n");
    Put("DBF/plain/deeper/dev.ZRK", Line(1000002, "plain"));
    Put("DBF/devzrk", Line(1000003, "noDot"));
    Put("DBF/dev.zrk.bak", Line(1000004, "bak"));
    Put("DBF/.hidden/h.zrk", Line(1000005, "hidden"));
    Put("DBF/10.0.0.1-2226 main/s.zrk", Line(2000002, "s2") + Line(2000001, "s1"));
    Put("DBF/10.0.0.1-2226 main/sub/t.zrk", Line(2000003, "t"));
    Put("DBF/10.0.0.1-2226 main/10.0.0.1-5/u.zrk", Line(2000004, "u"));  // no server folder
    Put("DBF/10.0.0.1-2226 main/10.0.0.2-2226/v.zrk", Line(3000001, "nested"));
    Put("DBF/x/10.0.0.1-70000/w.zrk", Line(4000002, "w"));
    Put("DBF/y/10.0.0.1-4464/z.zrk", Line(4000001, "z"));
    Put("DBF/010.0.0.1-4464/z.zrk", Line(5000001, "zero"));
    std::filesystem::create_directories(Path("DBF/10.9.9.9-22/empty"));
    module_.UpdateServerList();

    Devices common = Of(module_.FCommonList);
    std::sort(common.begin(), common.end());
    EXPECT_EQ(common, (Devices{{1000001, "top"}, {1000002, "plain"}, {1000003, "noDot"}}));
    const std::map<std::string, Devices> expected{
        {"10.0.0.1:2226", {{2000001, "s1"}, {2000002, "s2"}, {2000003, "t"}, {2000004, "u"}}},
        {"10.0.0.2:2226", {{3000001, "nested"}}},
        {"10.0.0.1:4464", {{4000001, "z"}, {4000002, "w"}}},
        {"010.0.0.1:4464", {{5000001, "zero"}}},
        {"10.9.9.9:22", {}},
    };
    EXPECT_EQ(Servers(), expected);
}

TEST_F(ServerScanTest, FirstFileReadWinsForADuplicateSerial) {
    Put("DBF/one.zrk", Line(1000001, "one"));
    Put("DBF/two.zrk", Line(1000001, "two"));
    Put("DBF/10.0.0.1-2226/one.zrk", Line(1000001, "srvOne"));
    Put("DBF/10.0.0.1-2226/two.zrk", Line(1000001, "srvTwo"));
    module_.UpdateServerList();
    // Whichever file the file system lists first gives the password.
    const auto firstOf = [](const std::string& folder) {
        for (const auto& e : platform::ListDir(folder)) {
            if (e.name == "one.zrk") return std::string("one");
            if (e.name == "two.zrk") return std::string("two");
        }
        return std::string();
    };
    EXPECT_EQ(Of(module_.FCommonList), (Devices{{1000001, firstOf(Path("DBF").string())}}));
    const std::string inServer = firstOf(Path("DBF/10.0.0.1-2226").string());
    EXPECT_EQ(Servers()["10.0.0.1:2226"],
              (Devices{{1000001, inServer == "one" ? "srvOne" : "srvTwo"}}));
}

TEST_F(ServerScanTest, LongLinesAreCutAtFiftyBytes) {
    // ";" within the first 50 bytes: the line counts and its rest is read as a line of its own.
    const std::string head = "1000001:\tPASSWORD=abc;";
    const std::string filler(50 - head.size(), ' ');
    Put("DBF/long.zrk", head + filler + "1000002:\tPASSWORD=rest;\n" +
                            "1000003:" + std::string(40, ' ') + "PASSWORD=late;\r\n");
    module_.UpdateServerList();
    EXPECT_EQ(Of(module_.FCommonList), (Devices{{1000001, "abc"}, {1000002, "rest"}}));
}

TEST_F(ServerScanTest, WalkStopsSixLevelsDown) {
    std::string folder = "DBF";
    for (uint32_t level = 0; level < 8; ++level) {
        Put(folder + "/f.zrk", Line(1000000 + level, "p"));
        folder += "/d";
    }
    module_.UpdateServerList();
    Devices common = Of(module_.FCommonList);
    std::sort(common.begin(), common.end());
    Devices expected;
    for (uint32_t level = 0; level < 6; ++level) expected.emplace_back(1000000 + level, "p");
    EXPECT_EQ(common, expected);
}

TEST_F(ServerScanTest, LinkLoopsEndAndOtherLinksAreFollowed) {
    Put("DBF/10.0.0.1-2226/a/f.zrk", Line(1000001, "p"));
    Put("elsewhere/g.zrk", Line(1000002, "q"));
    std::filesystem::create_directory_symlink(Path("DBF"), Path("DBF/10.0.0.1-2226/a/up"));
    std::filesystem::create_directory_symlink(Path("DBF/10.0.0.1-2226"),
                                              Path("DBF/10.0.0.1-2226/a/self"));
    std::filesystem::create_directory_symlink(Path("elsewhere"), Path("DBF/linked"));
    std::filesystem::create_directory_symlink(Path("DBF/linked"), Path("elsewhere/back"));
    module_.UpdateServerList();
    EXPECT_EQ(Of(module_.FCommonList), (Devices{{1000002, "q"}}));
    EXPECT_EQ(Servers(), (std::map<std::string, Devices>{{"10.0.0.1:2226", {{1000001, "p"}}}}));
}

TEST_F(ServerScanTest, ReadOnlyListingIsReplaced) {
    Put("Devices.txt", "old text that is longer than the new listing\r\n");
    std::filesystem::permissions(Path("Devices.txt"), std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::group_read);
    module_.UpdateServerList();
    EXPECT_EQ(Get("Devices.txt"), W("Общий список пуст\r\n"));
    EXPECT_TRUE(platform::IsReadOnly(Path("Devices.txt").string()));
}

TEST_F(ServerScanTest, ListingThatCannotBeCreatedDoesNotStopTheUpdate) {
    std::filesystem::create_directories(Path("Devices.txt"));  // a folder in the listing's place
    Put("DBF/a.zrk", Line(1000001, "p"));
    module_.UpdateServerList();
    EXPECT_EQ(Of(module_.FCommonList), (Devices{{1000001, "p"}}));
    EXPECT_FALSE(module_.FServerScanBusy);
}

TEST_F(ServerScanTest, RescanReplacesTheLists) {
    Put("DBF/10.0.0.1-2226/a.zrk", Line(1000001, "p"));
    module_.UpdateServerList();
    std::filesystem::remove_all(Path("DBF/10.0.0.1-2226"));
    Put("DBF/b.zrk", Line(1000002, "q"));
    module_.UpdateServerList();
    EXPECT_TRUE(module_.FServerList.empty());
    EXPECT_EQ(Of(module_.FCommonList), (Devices{{1000002, "q"}}));
}

TEST_F(ServerScanTest, UpdateIsLoggedAroundTheWalk) {
    module_.UpdateServerList();
    ASSERT_EQ(log_.size(), 2u);
    EXPECT_EQ(log_[0].substr(log_[0].find("] ") + 2), W("Обновление списка серверов"));
    EXPECT_EQ(log_[1].substr(log_[1].find("] ") + 2), W("Обновление списка серверов завершено"));
    EXPECT_FALSE(module_.FServerScanBusy);
}

TEST_F(ServerScanTest, WaitsForTheRunningDownloadToEnd) {
    Put("DBF/a.zrk", Line(1000001, "p"));
    bool busyWhileWaiting = false;
    module_.DownloadThread = std::make_unique<TOnlineClientThread>(module_, loop_);
    // The end of the download is seen on the loop, as the module's termination hook sees it.
    module_.DownloadThread->OnTerminate = [this, &busyWhileWaiting] {
        busyWhileWaiting = module_.FServerScanBusy;
        loop_.Post([this] { module_.DownloadThread.reset(); });
    };
    module_.DownloadThread->Start(false);
    module_.UpdateServerList();
    EXPECT_TRUE(busyWhileWaiting);
    EXPECT_EQ(module_.DownloadThread, nullptr);
    EXPECT_EQ(Of(module_.FCommonList), (Devices{{1000001, "p"}}));
}

TEST_F(ServerScanTest, StopDuringTheWaitGivesUpWithoutChanges) {
    Put("DBF/10.0.0.1-2226/a.zrk", Line(1000001, "p"));
    module_.UpdateServerList();
    log_.clear();
    std::filesystem::remove_all(Path("DBF/10.0.0.1-2226"));
    const std::string before = Get("Devices.txt");
    // A download that never ends; the stop arrives while the update waits for it.
    module_.DownloadThread = std::make_unique<TOnlineClientThread>(module_, loop_);
    loop_.Post([this] { module_.Stop(); });
    module_.UpdateServerList();
    EXPECT_TRUE(module_.DownloadThread->Terminated());
    EXPECT_TRUE(log_.empty());
    EXPECT_EQ(module_.FServerList.size(), 1u);
    EXPECT_EQ(Get("Devices.txt"), before);
    module_.DownloadThread.reset();  // never started: nothing to wait for
}
