// The server folder scan: the DBF tree into FServerList and FCommonList, and Devices.txt.
#include <cstdio>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "catalogue/FolderWalk.h"
#include "catalogue/Listing.h"
#include "catalogue/ScanRules.h"
#include "download/OnlineClient.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "service/main.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

bool IsPasswordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '_' || c == '-';
}

// Length of the run of digits at pos, counting at most max.
size_t DigitRun(std::string_view s, size_t pos, size_t max) {
    size_t n = 0;
    while (n < max && pos + n < s.size() && IsDigit(s[pos + n])) ++n;
    return n;
}

uint32_t DecimalValue(std::string_view digits) {
    uint32_t value = 0;
    for (const char c : digits) value = value * 10 + static_cast<uint32_t>(c - '0');
    return value;
}

}  // namespace

std::optional<ServerFolderName> MatchServerFolderName(std::string_view name) {
    std::optional<ServerFolderName> found;
    // Tries the readings in the order a backtracking engine does: group by group, each run of
    // digits longest first, the joining character any byte (a digit or "-" included).
    std::function<bool(int, size_t)> group = [&](int index, size_t pos) {
        for (size_t n = DigitRun(name, pos, 3); n >= 1; --n) {
            const size_t end = pos + n;
            if (index < 3) {
                if (end < name.size() && group(index + 1, end + 1)) return true;
                continue;
            }
            if (end >= name.size() || name[end] != '-') continue;
            const size_t portDigits = DigitRun(name, end + 1, 5);
            if (portDigits < 2) continue;
            found = ServerFolderName{
                std::string(name.substr(0, end)),
                static_cast<uint16_t>(DecimalValue(name.substr(end + 1, portDigits)))};
            return true;
        }
        return false;
    };
    group(0, 0);
    return found;
}

bool IsDeviceFileName(std::string_view name) {
    return name.size() >= 3 && platform::AsciiLower(name.substr(name.size() - 3)) == "zrk";
}

std::optional<DeviceLine> MatchDeviceLine(std::string_view line) {
    line = line.substr(0, line.find('\0'));
    const size_t digits = DigitRun(line, 0, 8);
    if (digits < 5 || digits > 7) return std::nullopt;
    size_t pos = digits;
    if (pos >= line.size() || line[pos] != ':') return std::nullopt;
    const size_t spaceStart = ++pos;
    while (pos < line.size() && IsSpace(line[pos])) ++pos;
    if (pos == spaceStart) return std::nullopt;
    constexpr std::string_view kKey = "PASSWORD=";
    if (line.substr(pos, kKey.size()) != kKey) return std::nullopt;
    pos += kKey.size();
    const size_t passwordStart = pos;
    while (pos < line.size() && IsPasswordChar(line[pos])) ++pos;
    const size_t passwordLength = pos - passwordStart;
    if (passwordLength < 1 || passwordLength > 8) return std::nullopt;
    while (pos < line.size() && IsSpace(line[pos])) ++pos;
    if (pos >= line.size() || line[pos] != ';') return std::nullopt;
    return DeviceLine{DecimalValue(line.substr(0, digits)),
                      std::string(line.substr(passwordStart, passwordLength))};
}

bool TextLineReader::ReadTextLine(std::string_view& line) {
    const size_t start = pos_;
    while (pos_ - start < kMaxLine) {
        if (pos_ >= data_.size()) {
            line = data_.substr(start);
            return true;
        }
        const char c = data_[pos_];
        if (c == '\r' || c == '\n') {
            line = data_.substr(start, pos_ - start);
            ++pos_;
            // The partner byte, when it follows, belongs to the same line end. At the end of the
            // data there is nothing to step back over.
            const char partner = c == '\r' ? '\n' : '\r';
            if (pos_ < data_.size() && data_[pos_] == partner) ++pos_;
            return false;
        }
        ++pos_;
    }
    line = data_.substr(start, kMaxLine);
    return false;
}

std::string FormatSerial(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%07u", serial);
    return text;
}

namespace {

struct ServerKeyHash {
    size_t operator()(const std::pair<std::string, uint16_t>& key) const {
        return std::hash<std::string>()(key.first) * 31 + key.second;
    }
};

// One walk of the DBF tree. Besides the lists it keeps the server entries by address and port
// and each device list's serials, so that the "first entry wins" checks cost no list search.
class ServerFolderWalk {
  public:
    explicit ServerFolderWalk(TPelornDataLoader& module) : module_(module) {}

    void ScanServerFolder(const std::string& folder, const std::string& name, bool isLink,
                          TDeviceList* list) {
        const FolderLevel level(walk_, folder, name, isLink);
        if (!level) return;
        for (const auto& entry : platform::ListDir(folder)) {
            const std::string path = platform::JoinPath(folder, entry.name);
            if (entry.isDir) {
                if (entry.name.front() == '.') continue;
                TDeviceList* inner = list;
                if (const auto server = MatchServerFolderName(entry.name)) {
                    inner = &Server(server->Address, server->Port).Devices;
                }
                ScanServerFolder(path, entry.name, entry.isLink, inner);
            } else if (IsDeviceFileName(entry.name)) {
                ReadDeviceFile(path, list ? *list : module_.FCommonList);
            }
        }
    }

    void ReadDeviceFile(const std::string& path, TDeviceList& list) {
        const auto file = platform::File::OpenRead(path);
        if (!file) return;  // missing, unreadable or a folder: skipped without a message
        std::string content;
        char chunk[65536];
        for (long long n; (n = file->Read(chunk, sizeof chunk)) > 0;) {
            content.append(chunk, static_cast<size_t>(n));
        }
        auto& serials = serials_[&list];
        TextLineReader reader(content);
        for (bool end = false; !end;) {
            std::string_view line;
            end = reader.ReadTextLine(line);
            if (line.empty()) continue;
            auto device = MatchDeviceLine(line);
            if (!device || device->Serial < 10000) continue;
            if (!serials.insert(device->Serial).second) continue;
            list.push_back(std::make_unique<TGSMEntry>(
                TGSMEntry{device->Serial, std::move(device->Password)}));
        }
    }

  private:
    TServerEntry& Server(const std::string& address, uint16_t port) {
        auto [it, added] = servers_.try_emplace({address, port}, nullptr);
        if (added) {
            auto& list = module_.FServerList;
            list.push_back(std::make_unique<TServerEntry>());
            list.back()->Address = address;
            list.back()->Port = port;
            it->second = list.back().get();
        }
        return *it->second;
    }

    TPelornDataLoader& module_;
    FolderWalk walk_;
    std::unordered_map<std::pair<std::string, uint16_t>, TServerEntry*, ServerKeyHash> servers_;
    std::unordered_map<const TDeviceList*, std::unordered_set<uint32_t>> serials_;
};

}  // namespace

void TPelornDataLoader::UpdateServerList() {
    static const std::string kStarted = platform::Cp1251("Обновление списка серверов");
    static const std::string kFinished = platform::Cp1251("Обновление списка серверов завершено");
    FServerScanBusy = true;
    // The download thread reads both lists without a lock: let it end before they change. Its
    // termination hook, run by this processing, clears DownloadThread.
    if (DownloadThread) {
        DownloadThread->Terminate();
        while (!Terminated() && DownloadThread) Loop().WaitAndProcess(100);
    }
    if (Terminated()) {
        FServerScanBusy = false;
        return;
    }
    AppendLog(kStarted);
    ClearCatalogue();
    ServerFolderWalk(*this).ScanServerFolder(FDBFFolder, {}, false, nullptr);
    for (auto& server : FServerList) SortBySerial(server->Devices);
    DevicesListing(FCommonList, FServerList)
        .WriteFile(platform::JoinPath(FHomeFolder, "Devices.txt"));
    AppendLog(kFinished);
    FServerScanBusy = false;
}
