// The configuration file: defaults written back, settings read with their clamps, and the
// one-time move of the old server keys into server folders.
#include <string_view>

#include "platform/Files.h"
#include "service/IniFile.h"
#include "service/main.h"

namespace {

const std::string kCommon = "COMMON";
const std::string kOnline = "ONLINE";
const std::string kAddServer = "ADDSERVER1";
constexpr int32_t kDefaultPort = 2226;

// Leading and trailing blanks and control characters go.
std::string TrimServer(std::string_view s) {
    auto isJunk = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!s.empty() && isJunk(s.front())) s.remove_prefix(1);
    while (!s.empty() && isJunk(s.back())) s.remove_suffix(1);
    return std::string(s);
}

uint16_t LowPort(int32_t value) { return static_cast<uint16_t>(static_cast<uint32_t>(value)); }

// A failing read leaves the field as it was and the reading goes on.
template <class Fn>
void Guarded(Fn&& read) {
    try {
        read();
    } catch (const std::exception&) {
    }
}

}  // namespace

std::string TPelornDataLoader::IniPath() const {
    return platform::JoinPath(FHomeFolder, "PelornDataLoader.ini");
}

void TPelornDataLoader::WriteDefaultSettings(TIniFile& file) {
    if (!file.ValueExists(kCommon, "DataFolder")) {
        FDataFolder = platform::JoinPath(FHomeFolder, "Data");
        file.WriteString(kCommon, "DataFolder", FDataFolder);
    }
    if (!file.ValueExists(kCommon, "DBFFolder")) {
        FDBFFolder = platform::JoinPath(FHomeFolder, "DBF");
        file.WriteString(kCommon, "DBFFolder", FDBFFolder);
    }
    if (!file.ValueExists(kCommon, "WriteLog")) file.WriteInteger(kCommon, "WriteLog", 1);
    if (!file.ValueExists(kOnline, "Period")) file.WriteInteger(kOnline, "Period", 300);
    if (!file.ValueExists(kOnline, "ValidWeeks")) file.WriteInteger(kOnline, "ValidWeeks", 0);
    if (!file.ValueExists(kOnline, "CheckTrips")) file.WriteBool(kOnline, "CheckTrips", false);
}

void TPelornDataLoader::ReadSettings(TIniFile& file) {
    Guarded([&] { FDataFolder = file.ReadString(kCommon, "DataFolder", FDataFolder); });
    Guarded([&] { FDBFFolder = file.ReadString(kCommon, "DBFFolder", FDBFFolder); });
    Guarded([&] { FWriteLog = file.ReadInteger(kCommon, "WriteLog", 1) != 0; });

    if (file.ValueExists(kOnline, "Server") || file.ValueExists(kOnline, "Port")) {
        const std::string server = TrimServer(file.ReadString(kOnline, "Server", ""));
        const uint16_t port = LowPort(file.ReadInteger(kOnline, "Port", kDefaultPort));
        if (!server.empty()) CreateServerFolder(server, port);
        file.DeleteKey(kOnline, "Server");
        file.DeleteKey(kOnline, "Port");
        if (file.ValueExists(kAddServer, "Server") || file.ValueExists(kAddServer, "Port")) {
            const std::string server1 = TrimServer(file.ReadString(kAddServer, "Server", ""));
            const uint16_t port1 = LowPort(file.ReadInteger(kAddServer, "Port", kDefaultPort));
            const bool using1 = file.ReadBool(kAddServer, "Using", false);
            if (using1 && !server1.empty()) CreateServerFolder(server1, port1);
            file.DeleteKey(kAddServer, "Server");
            file.DeleteKey(kAddServer, "Port");
            file.DeleteKey(kAddServer, "Using");
        }
    }

    const int32_t period = file.ReadInteger(kOnline, "Period", 300);
    FCheckTrips = file.ReadBool(kOnline, "CheckTrips", false);
    const int32_t weeks = file.ReadInteger(kOnline, "ValidWeeks", 0);
    FPeriod = period < 0 ? 1u : (period > 3600 ? 3600u : static_cast<uint32_t>(period));
    FValidWeeks = weeks < 0 ? 0u : (weeks > 4 ? 4u : static_cast<uint32_t>(weeks));

    FDataFolder = platform::TrimTrailingSeparators(FDataFolder);
    FDBFFolder = platform::TrimTrailingSeparators(FDBFFolder);
    FPasswordsFolder =
        platform::JoinPath(FHomeFolder, "Passwords") + std::string(1, platform::kPathSeparator);
}

void TPelornDataLoader::CreateServerFolder(const std::string& server, uint16_t port) {
    // The server folders of the migration lie under the home folder's DBF folder whatever
    // DBFFolder says. On a first start that folder does not exist yet: make it (one level), so
    // that the old server setting is not lost along with its keys.
    const std::string dbf = platform::JoinPath(FHomeFolder, "DBF");
    if (!platform::DirExists(dbf)) platform::MakeDir(dbf);
    const std::string path = platform::JoinPath(dbf, server + "-" + std::to_string(port));
    if (!platform::DirExists(path)) platform::MakeDir(path);  // failure is not reported
}

void TPelornDataLoader::ReloadSettings() {
    TIniFile file(IniPath());
    WriteDefaultSettings(file);
    ReadSettings(file);
}
