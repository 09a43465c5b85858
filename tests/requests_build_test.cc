#include <algorithm>
#include <random>

#include "platform/Text.h"
#include "store_fixture.h"

namespace {

class RequestsBuild : public DownloadFixture {
  protected:
    void SetUp() override {
        DownloadFixture::SetUp();
        clock_.SetDate(2011, 3, 9);
        thread_->FMode = 2;
        module_->FServerList.push_back(std::make_unique<TServerEntry>());
    }

    static void AddDevice(TDeviceList& list, uint32_t serial, const std::string& password) {
        auto device = std::make_unique<TGSMEntry>();
        device->Serial = serial;
        device->Password = password;
        list.push_back(std::move(device));
    }
    TDeviceList& ServerDevices() { return module_->FServerList[0]->Devices; }
    void AddPasswordEntry(uint32_t serial, const char (&password)[9]) {
        auto entry = std::make_unique<TDispPassEntry>();
        entry->Serial = serial;
        std::memcpy(entry->Password, password, sizeof entry->Password);
        module_->FPasswordList.push_back(std::move(entry));
    }
    void AddDayFile(uint32_t serial, const std::string& name, size_t size) {
        WriteFile(DeviceFolder(serial) / name, std::string(size, 'd'));
    }

    // Builds the requests anew; each is described as "serial date start password".
    std::vector<std::string> Build() {
        thread_->FRequests.clear();
        thread_->BuildRequests();
        std::vector<std::string> out;
        for (const auto& r : thread_->FRequests) {
            EXPECT_TRUE(r->Label.empty());
            EXPECT_EQ(r->More, 0);
            EXPECT_EQ(r->Done, 0);
            out.push_back(std::to_string(r->Serial) + " " + std::string(r->Date, 6) + " " +
                          std::to_string(r->Start) + " " + std::string(r->Password, 8));
        }
        return out;
    }
};

using Lines = std::vector<std::string>;

TEST_F(RequestsBuild, TheCutOffIsTheMondayOfTheWeekValidWeeksBack) {
    AddDevice(ServerDevices(), 12345, "pw");
    struct Case {
        int year, month, day;
        uint32_t weeks;
        const char* date;
    } cases[] = {
        {2011, 3, 9, 0, "??????"},  {2011, 3, 9, 1, "280211"},  {2011, 3, 9, 4, "070211"},
        {2011, 3, 7, 1, "280211"},  {2011, 3, 13, 1, "280211"}, {2011, 3, 14, 1, "070311"},
        {2011, 3, 13, 4, "070211"}, {2011, 1, 1, 1, "201210"},  {2012, 3, 1, 1, "200212"},
        {2000, 1, 3, 2, "201299"},
    };
    for (const auto& c : cases) {
        clock_.SetDate(c.year, c.month, c.day);
        thread_->FValidWeeks = c.weeks;
        EXPECT_EQ(Build(), Lines{"12345 " + std::string(c.date) + " 0 pw      "})
            << c.day << "." << c.month << "." << c.year << " weeks " << c.weeks;
    }
}

TEST_F(RequestsBuild, TheNewestDayFileOfTheModesKindsGivesDateAndStart) {
    AddDevice(ServerDevices(), 12345, "pw");
    AddDayFile(12345, "0012345-110301.bin", 500);
    AddDayFile(12345, "0012345-110305.bin", 1200);
    // Names that are no day files of this device, or no days at all.
    AddDayFile(12345, "0012345-111306.bin", 1);
    AddDayFile(12345, "0012345-110231.bin", 2);
    AddDayFile(12345, "0012345-1103ab.bin", 3);
    AddDayFile(12345, "0012345-110307.txt", 4);
    AddDayFile(12345, "0012345-110308.bin.part", 5);
    AddDayFile(12345, "0012346-110309.bin", 6);
    AddDayFile(54321, "0012345-110310.bin", 7);
    std::filesystem::create_directories(DeviceFolder(12345) / "0012345-110311.bin");
    EXPECT_EQ(Build(), Lines{"12345 050311 1200 pw      "});

    // The second kind wins a tie, whatever the order of the files.
    AddDayFile(12345, "0012345-110305.sbin", 80);
    EXPECT_EQ(Build(), Lines{"12345 050311 80 pw      "});
    // The search ignores the case of the extension, as Windows does.
    AddDayFile(12345, "0012345-110306.BIN", 90);
    EXPECT_EQ(Build(), Lines{"12345 060311 90 pw      "});

    // Trip data looks at its own kind only.
    thread_->FMode = 4;
    EXPECT_EQ(Build(), Lines{"12345 ?????? 0 pw      "});
    AddDayFile(12345, "0012345-110302.route", 33);
    EXPECT_EQ(Build(), Lines{"12345 020311 33 pw      "});
}

TEST_F(RequestsBuild, DayFilesBeforeTheCutOffAreIgnoredAndOneOnItCounts) {
    AddDevice(ServerDevices(), 12345, "pw");
    thread_->FValidWeeks = 1;
    AddDayFile(12345, "0012345-110225.bin", 700);
    EXPECT_EQ(Build(), Lines{"12345 280211 0 pw      "});
    AddDayFile(12345, "0012345-110228.sbin", 7);
    EXPECT_EQ(Build(), Lines{"12345 280211 7 pw      "});
}

TEST_F(RequestsBuild, APasswordFileWinsOverTheDevicesOwnPassword) {
    AddPasswordEntry(100, "aaaaaaaa");
    AddPasswordEntry(12345, "secret  ");
    AddPasswordEntry(99999, "zzzz    ");
    AddDevice(module_->FCommonList, 12345, "own");
    AddDevice(ServerDevices(), 23456, "abc");
    AddDevice(ServerDevices(), 34567, "12345678");
    AddDevice(ServerDevices(), 45678, "123456789");
    EXPECT_EQ(Build(), (Lines{"12345 ?????? 0 secret  ", "23456 ?????? 0 abc     ",
                              "34567 ?????? 0 12345678", "45678 ?????? 0 12345678"}));
}

TEST_F(RequestsBuild, ADeviceInBothListsIsAskedAboutOnceWithTheRecordTheSortPutsFirst) {
    struct Case {
        std::vector<std::pair<uint32_t, std::string>> common, server;
        Lines expected;
    } cases[] = {
        // The plain exchange keeps the common list's record first...
        {{{12345, "common"}}, {{12345, "server"}}, {"12345 ?????? 0 common  "}},
        // ...but a smaller serial behind both swaps it behind the server's record.
        {{{12345, "common"}},
         {{12345, "server"}, {11111, "x"}},
         {"11111 ?????? 0 x       ", "12345 ?????? 0 server  "}},
        {{{30000, "c3"}, {20000, "c2"}},
         {{20000, "s2"}, {10000, "s1"}, {30000, "s3"}},
         {"10000 ?????? 0 s1      ", "20000 ?????? 0 s2      ", "30000 ?????? 0 c3      "}},
        {{}, {}, {}},
    };
    for (const auto& c : cases) {
        module_->FCommonList.clear();
        ServerDevices().clear();
        for (const auto& [serial, password] : c.common)
            AddDevice(module_->FCommonList, serial, password);
        for (const auto& [serial, password] : c.server)
            AddDevice(ServerDevices(), serial, password);
        EXPECT_EQ(Build(), c.expected);
    }
}

TEST_F(RequestsBuild, AServerIndexOutsideTheListAsksForTheCommonDevicesOnly) {
    AddDevice(module_->FCommonList, 2, "c");
    AddDevice(ServerDevices(), 1, "s");
    thread_->FServerIndex = 1;
    EXPECT_EQ(Build(), Lines{"2 ?????? 0 c       "});
}

// The exchange sort exactly as the request order is defined, for comparison.
void PlainExchangeSort(TRequestList& list) {
    for (size_t i = 0; i + 1 < list.size(); ++i) {
        for (size_t j = i + 1; j < list.size(); ++j) {
            const auto& a = *list[i];
            const auto& b = *list[j];
            if (a.Serial > b.Serial ||
                (a.Serial == b.Serial && platform::CompareNoCase(a.Label, b.Label) > 0)) {
                std::swap(list[i], list[j]);
            }
        }
    }
}

TEST(RequestsOrder, TheFastSortPlacesEveryRecordAsTheExchangeSortDoes) {
    std::mt19937 random(9032011);
    const char* labels[] = {"", "a", "A", "b", "B", "ab"};
    for (int trial = 0; trial < 3000; ++trial) {
        const size_t n = random() % (trial % 10 == 0 ? 400 : 80);
        const uint32_t serials = 1 + random() % (trial % 2 ? 8 : 200);
        TRequestList fast;
        std::vector<const TDevFilesRequest*> expected;
        {
            TRequestList plain;
            for (size_t k = 0; k < n; ++k) {
                auto r = std::make_unique<TDevFilesRequest>();
                r->Serial = trial % 3 ? random() % serials : UINT32_MAX - random() % serials;
                r->Label = labels[random() % (trial % 4 ? 1 : std::size(labels))];
                plain.push_back(std::move(r));
            }
            // Two sorted runs, as the catalogue's lists are, now and then.
            if (trial % 5 == 0) {
                std::sort(plain.begin(), plain.begin() + static_cast<long>(n / 2),
                          [](const auto& a, const auto& b) { return a->Serial < b->Serial; });
                std::sort(plain.begin() + static_cast<long>(n / 2), plain.end(),
                          [](const auto& a, const auto& b) { return a->Serial < b->Serial; });
            }
            std::vector<TDevFilesRequest*> order;
            for (const auto& r : plain) order.push_back(r.get());
            PlainExchangeSort(plain);
            for (const auto& r : plain) expected.push_back(r.get());
            // Same records, original order, for the fast sort.
            for (auto& r : plain) r.release();
            for (TDevFilesRequest* r : order) fast.emplace_back(r);
        }
        ExchangeSortRequests(fast);
        std::vector<const TDevFilesRequest*> actual;
        for (const auto& r : fast) actual.push_back(r.get());
        ASSERT_EQ(actual, expected) << "trial " << trial << ", " << n << " records";
    }
}

}  // namespace
