// Request building: one request per device of the common list and of the polled server's list,
// each saying from which day and byte the archive needs data.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "download/OnlineClient.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "service/main.h"

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

DataFileDay CivilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int>(era * 400 + yoe + (m <= 2)), static_cast<int>(m), static_cast<int>(d)};
}

// The Monday of this week, validWeeks weeks back; none when validWeeks is 0.
std::optional<DataFileDay> CutOffDay(const platform::LocalTime& now, uint32_t validWeeks) {
    if (validWeeks == 0) return std::nullopt;
    const int dayOfWeek = platform::DayOfWeek(now.year, now.month, now.day);
    const int64_t back = (dayOfWeek - 1) + 7 * int64_t{validWeeks};
    return CivilFromDays(DaysFromCivil(now.year, now.month, now.day) - back);
}

}  // namespace

// The order of the exchange sort: for each position i, every later record that sorts before the
// one at i is exchanged with it, in turn. That sort is not stable, and which of two records of one
// serial comes first decides the password that is sent, so its exact result is kept, without its
// n^2 / 2 comparisons (the number of exchanges alone grows as n^2 for a common list followed by a
// server's list).
//
// What decides the order of the records of one key k: leave out the records of greater keys (they
// never change how the others move) and call the rest "smaller" and "equal". Pass i brings the
// first of the smallest remaining records to the front; doing so it takes one smaller record out
// of the remainder and, when the remainder begins with equal records, moves the first of them to
// the place of the first smaller record, that is, behind the others of that leading run. So, with
// the equal records grouped by the number of smaller records before them, the order is made by
// starting from the group with none before it, and for each smaller record in turn rotating the
// run by one and appending the next group; the values of the smaller records play no part.
void ExchangeSortRequests(TRequestList& list) {
    const size_t n = list.size();
    if (n < 2) return;
    std::vector<size_t> byKey(n);
    std::iota(byKey.begin(), byKey.end(), size_t{0});
    const auto keyLess = [&](size_t a, size_t b) {
        if (list[a]->Serial != list[b]->Serial) return list[a]->Serial < list[b]->Serial;
        return platform::CompareNoCase(list[a]->Label, list[b]->Label) < 0;
    };
    // Equal keys stay in list order: the positions of one key ascend.
    std::stable_sort(byKey.begin(), byKey.end(), keyLess);

    // Counts of the records of smaller keys placed so far, by position (a Fenwick tree).
    std::vector<uint32_t> placed(n + 1, 0);
    const auto countBefore = [&](size_t pos) {
        uint32_t count = 0;
        for (size_t k = pos; k > 0; k -= k & (~k + 1)) count += placed[k];
        return count;
    };
    const auto place = [&](size_t pos) {
        for (size_t k = pos + 1; k <= n; k += k & (~k + 1)) ++placed[k];
    };

    TRequestList sorted;
    sorted.reserve(n);
    std::vector<size_t> run;
    uint32_t smaller = 0;  // records of smaller keys in the whole list
    for (size_t first = 0; first < n;) {
        size_t last = first + 1;
        while (last < n && !keyLess(byKey[first], byKey[last])) ++last;

        run.clear();
        uint32_t step = 0;
        for (size_t k = first; k < last; ++k) {
            const uint32_t before = countBefore(byKey[k]);
            if (before != step && !run.empty()) {
                std::rotate(run.begin(), run.begin() + (before - step) % run.size(), run.end());
            }
            step = before;
            run.push_back(byKey[k]);
        }
        if (smaller != step) {
            std::rotate(run.begin(), run.begin() + (smaller - step) % run.size(), run.end());
        }
        for (const size_t pos : run) sorted.push_back(std::move(list[pos]));
        for (size_t k = first; k < last; ++k) place(byKey[k]);
        smaller += static_cast<uint32_t>(last - first);
        first = last;
    }
    list = std::move(sorted);
}

void TOnlineClientThread::FillRequest(TDevFilesRequest& request, const TGSMEntry& device,
                                      const std::string& label, std::string_view ext0,
                                      std::string_view ext1,
                                      const std::optional<DataFileDay>& cutOff) {
    request.Serial = device.Serial;
    request.Label = label;
    request.More = 0;
    request.Done = 0;
    request.Start = 0;

    if (const TDispPassEntry* entry = FindBySerial(module_.FPasswordList, device.Serial, true)) {
        std::memcpy(request.Password, entry->Password, sizeof request.Password);
    } else {
        // Longer own passwords cannot be sent: the field holds 8 bytes.
        std::memset(request.Password, ' ', sizeof request.Password);
        std::memcpy(request.Password, device.Password.data(),
                    std::min(device.Password.size(), sizeof request.Password));
    }

    char serial[16];
    std::snprintf(serial, sizeof serial, "%07u", device.Serial);
    const std::string deviceFolder = platform::JoinPath(FExchangeDataFolder, serial);
    const std::string prefix = std::string(serial) + "-";
    std::optional<DataFileDay> best = cutOff;
    for (const std::string_view ext : {ext0, ext1}) {
        if (ext.empty()) continue;
        for (const platform::FoundFile& found : platform::FindDayFiles(deviceFolder, prefix, ext)) {
            const auto day = ParseDataFileName(found.name, ext);
            // A later kind's file of the same day replaces the earlier one.
            if (day && (!best || *day >= *best)) {
                best = day;
                request.Start = static_cast<uint32_t>(found.size);
            }
        }
    }

    if (best) {
        char date[8];
        std::snprintf(date, sizeof date, "%02u%02u%02u", static_cast<unsigned>(best->day) % 100u,
                      static_cast<unsigned>(best->month) % 100u,
                      static_cast<unsigned>(best->year) % 100u);
        std::memcpy(request.Date, date, sizeof request.Date);
    } else {
        std::memset(request.Date, '?', sizeof request.Date);
    }
}

void TOnlineClientThread::BuildRequests() {
    FExchangeDataFolder = module_.FDataFolder;
    const auto cutOff = CutOffDay(module_.Clock().Now(), FValidWeeks);
    const std::string_view ext0 = FileKind(FMode, 0);
    const std::string_view ext1 = FileKind(FMode, 1);
    const auto add = [&](const TDeviceList& devices) {
        for (const auto& device : devices) {
            auto request = std::make_unique<TDevFilesRequest>();
            FillRequest(*request, *device, std::string(), ext0, ext1, cutOff);
            FRequests.push_back(std::move(request));
        }
    };
    add(module_.FCommonList);
    if (FServerIndex >= 0 && static_cast<size_t>(FServerIndex) < module_.FServerList.size()) {
        add(module_.FServerList[static_cast<size_t>(FServerIndex)]->Devices);
    }

    ExchangeSortRequests(FRequests);
    // The first record of each serial stays: a device in both lists is asked about once.
    size_t kept = 0;
    for (size_t k = 0; k < FRequests.size(); ++k) {
        if (kept > 0 && FRequests[kept - 1]->Serial == FRequests[k]->Serial) continue;
        FRequests[kept++] = std::move(FRequests[k]);
    }
    FRequests.resize(kept);
}
