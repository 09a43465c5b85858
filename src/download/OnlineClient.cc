// The download thread: one download over all servers, phase by phase, server by server, pass
// by pass. Everything that touches the log or the catalogue runs on the loop thread.
#include "download/OnlineClient.h"

#include "platform/Text.h"
#include "service/main.h"

namespace {

struct Lines {
    std::string start = platform::Cp1251("Начало приёма…");
    std::string end = platform::Cp1251("Приём завершён");
    std::string tripStart = platform::Cp1251("Начало приёма данных о рейсах…");
    std::string tripEnd = platform::Cp1251("Приём данных о рейсах завершён");
    std::string asking = platform::Cp1251("Запрос данных с сервера ");
    std::string nothingToAsk = platform::Cp1251("Нет данных для запроса с сервера ");
    std::string noRequests = platform::Cp1251("Нет данных для запроса");
};

const Lines& Text() {
    static const Lines lines;
    return lines;
}

}  // namespace

TOnlineClientThread::TOnlineClientThread(TPelornDataLoader& module, platform::EventLoop& loop,
                                         ExchangeTimeouts timeouts)
    : WorkerThread(loop), module_(module), timeouts_(timeouts) {}

// The body reads the members of this class: it must have ended before they go.
TOnlineClientThread::~TOnlineClientThread() {
    Terminate();
    Join();
}

void TOnlineClientThread::Execute() {
    FRequests.clear();
    FMessage = Text().start;
    LogMessage();
    PollServers();
    FMessage = Text().end;
    LogMessage();
    if (FCheckTrips && !Terminated()) {
        FMode = 4;
        FMessage = Text().tripStart;
        LogMessage();
        PollServers();
        FMessage = Text().tripEnd;
        LogMessage();
    }
    FRequests.clear();
}

void TOnlineClientThread::PollServers() {
    for (FServerIndex = 0; FServerIndex < static_cast<int32_t>(module_.FServerList.size());
         ++FServerIndex) {
        const TServerEntry& server = *module_.FServerList[FServerIndex];
        const bool somethingToAsk = !server.Devices.empty() || !module_.FCommonList.empty();
        FMessage = (somethingToAsk ? Text().asking : Text().nothingToAsk) + server.Address + ":" +
                   std::to_string(server.Port);
        LogMessage();
        if (somethingToAsk) {
            FMessage.clear();
            RunPasses();
            if (Terminated()) break;
        }
    }
}

void TOnlineClientThread::RunPasses() {
    for (;;) {
        FMoreData = false;
        Synchronize([this] { BuildRequests(); });
        if (FRequests.empty()) {
            FMessage = Text().noRequests;
            LogMessage();
            FMessage.clear();
            return;
        }
        ExchangeRequests();
        FRequests.clear();
        if (!FMessage.empty()) {
            ++FErrorCount;
            ++module_.FExchangeErrors;
            LogMessage();
            return;
        }
        if (!FMoreData || Terminated()) return;
        // The next requests are built from the archive: when this answer added nothing they
        // would be the same, and a server that answers them the same way would be asked forever.
        if (exchangeStored_ == 0) return;
    }
}

// Every line of a download goes to the log on the loop thread.
void TOnlineClientThread::LogMessage() {
    Synchronize([this] { module_.AppendLog(FMessage); });
}
