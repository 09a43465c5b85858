// The store of received data: each block is appended where its day file ends, in
// data folder / %07u / %07u-YYMMDD.ext, and logged.
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>

#include "download/OnlineClient.h"
#include "platform/Files.h"
#include "platform/Locale.h"
#include "service/main.h"

namespace {

// The day comes from the network: a character that Windows refuses in file names would let the
// sender pick another path (or fail differently per OS), so such a day is refused everywhere.
bool IsNameSafeDay(const char (&date)[6]) {
    for (const char c : date) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

// The zero-terminated extension of an answer item when it names a file kind of some mode.
std::optional<std::string_view> KnownKind(const char (&ext)[6]) {
    const std::string_view text(ext, sizeof ext);
    const size_t end = text.find('\0');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view kind = text.substr(0, end);
    for (const auto& [mode, index] : {std::pair{2, 0}, {2, 1}, {4, 0}}) {
        if (kind == FileKind(static_cast<uint16_t>(mode), index)) return kind;
    }
    return std::nullopt;
}

}  // namespace

bool TOnlineClientThread::AppendBlock(TDevFilesRequest& item, const char* buffer, uint64_t offset,
                                      uint32_t count) {
    const auto ext = KnownKind(item.Ext);
    if (!ext || !IsNameSafeDay(item.Date)) return false;

    const std::string& dataFolder = FExchangeDataFolder;
    if (!FDataFolderReady) {
        // Not tested here: a folder that could not be made shows as a failed open below.
        platform::MakeDir(dataFolder);
        FDataFolderReady = true;
    }
    char serial[16];
    std::snprintf(serial, sizeof serial, "%07u", item.Serial);
    const std::string deviceFolder = platform::JoinPath(dataFolder, serial);
    if (!platform::DirExists(deviceFolder)) platform::MakeDir(deviceFolder);

    const char* d = item.Date;
    std::string name = serial;
    name += {'-', d[4], d[5], d[2], d[3], d[0], d[1], '.'};
    name += *ext;
    const auto file = platform::File::OpenAppend(platform::JoinPath(deviceFolder, name));
    if (!file) return false;
    // Data is only ever added where the day file ends; anything else would leave a gap or
    // duplicate bytes.
    const auto size = file->Size();
    if (!size || *size != item.Start) return false;
    if (file->Write(buffer + offset, count) != static_cast<long long>(count)) return false;

    FMessage = FormatReceivedLine(item, count, platform::ThousandsSeparator());
    LogMessage();
    FMessage.clear();
    return true;
}
