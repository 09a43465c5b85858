// The download thread: one download over all servers, with its requests, the exchange with
// each server and the store of what arrives. Created and owned by the service module (poll
// scheduler); its termination hook runs on the loop thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Net.h"
#include "platform/WorkerThread.h"

class TPelornDataLoader;
struct TGSMEntry;

// One per-device record: a request (built from the catalogue and the archive) or an item of a
// server's answer.
struct TDevFilesRequest {
    uint32_t Serial = 0;
    char Password[8] = {};  // filled with spaces, no terminating zero
    char Date[6] = {};      // DDMMYY, or "??????"
    char Ext[6] = {};       // answer items: the file kind, zero-terminated
    uint32_t Start = 0;
    uint32_t End = 0;
    uint8_t More = 0;
    uint8_t ExtIndex = 0;
    uint8_t Done = 0;
    std::string Label;
};
using TRequestList = std::vector<std::unique_ptr<TDevFilesRequest>>;

// The file kinds of a mode: 2 -> "bin", "sbin"; 4 -> "route", none. Index 0 or 1; an empty view
// for a kind the mode does not have (and for any other mode).
std::string_view FileKind(uint16_t mode, int index);

// A day given in a file name: the valid calendar date read from "%7u-%2u%2u%2u.%5s" whose word
// equals ext (case ignored).
struct DataFileDay {
    int year = 0;  // 2000 + YY
    int month = 0;
    int day = 0;
    auto operator<=>(const DataFileDay&) const = default;
};
std::optional<DataFileDay> ParseDataFileName(std::string_view name, std::string_view ext);

// Orders requests as the exchange sort by (serial, label ignoring case) does, with its exact
// placing of records whose keys are equal (it is not stable).
void ExchangeSortRequests(TRequestList& list);

// "принято" line of the store: device, day, count grouped by sep ('\0': no grouping) and the
// plural ending. Windows-1251 bytes.
std::string FormatReceivedLine(const TDevFilesRequest& item, uint32_t count, char sep);

// Time limits of an exchange. Production uses the defaults; tests pass shorter ones.
struct ExchangeTimeouts {
    uint32_t readinessWaitMs = 500;
    uint32_t silenceMs = 30000;
    uint32_t lengthWaitMs = 60000;
};

class TOnlineClientThread : public platform::WorkerThread {
public:
    TOnlineClientThread(TPelornDataLoader& module, platform::EventLoop& loop,
                        ExchangeTimeouts timeouts = {});
    ~TOnlineClientThread() override;

    // Fields, in the order of the download records.
    bool FDataFolderReady = false;
    bool FMoreData = false;
    int32_t FReceived = 0;
    int32_t FServerIndex = 0;
    uint64_t FHeaderLength = 0;
    TRequestList FRequests;
    TRequestList FAnswerItems;
    std::string FMessage;
    uint16_t FMode = 0;
    bool FCheckTrips = false;
    uint32_t FValidWeeks = 0;

    // Exchanges that ended with an error message during this download (for --once).
    int FErrorCount = 0;

    // The module's FDataFolder as it stood when this exchange's requests were built (on the loop
    // thread). The download thread reads the archive's place only from here: a re-read of the
    // settings may replace the module's field meanwhile, and it takes effect with the next
    // exchange, whose requests are built from the new folder anyway.
    std::string FExchangeDataFolder;

    // Poll cycle.
    void PollServers();
    void RunPasses();
    void LogMessage();

    // Request building (runs on the loop thread).
    void BuildRequests();
    void FillRequest(TDevFilesRequest& request, const TGSMEntry& device, const std::string& label,
                     std::string_view ext0, std::string_view ext1,
                     const std::optional<DataFileDay>& cutOff);

    // Wire protocol.
    void ExchangeRequests();
    void SendPacket(const std::string& packet);
    void WaitAnswer(platform::net::SocketHandle socket);
    void ReadAnswer(platform::net::SocketHandle socket, uint32_t length);
    long long ReceiveSome(platform::net::SocketHandle socket, char* destination, uint32_t waitMs,
                          uint32_t wanted);
    bool CheckAnswerHeader(const char* answer, uint16_t answerType, uint32_t blockCount,
                           uint64_t& expectedLength);
    std::unique_ptr<TDevFilesRequest> MakeAnswerItem(const char* block);
    bool StoreAnswerData(const char* answer, bool partialAllowed);
    void ReportNoNewData();

    // Store.
    bool AppendBlock(TDevFilesRequest& item, const char* buffer, uint64_t offset, uint32_t count);

protected:
    void Execute() override;

private:
    TPelornDataLoader& module_;
    ExchangeTimeouts timeouts_;
    // Where StoreAnswerData resumes in the current answer: the first item not yet settled and
    // its offset in the answer.
    size_t storeNext_ = 0;
    uint64_t storeOffset_ = 0;
    // Bytes the current exchange appended to the archive.
    uint64_t exchangeStored_ = 0;
};
