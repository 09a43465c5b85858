// PLACEHOLDER: download thread.
#include "download/OnlineClient.h"

#include "service/main.h"

TOnlineClientThread::TOnlineClientThread(TPelornDataLoader& module, platform::EventLoop& loop,
                                         ExchangeTimeouts timeouts)
    : WorkerThread(loop), module_(module), timeouts_(timeouts) {}
TOnlineClientThread::~TOnlineClientThread() = default;
void TOnlineClientThread::Execute() {}

// Every line of a download goes to the log on the loop thread.
void TOnlineClientThread::LogMessage() {
    Synchronize([this] { module_.AppendLog(FMessage); });
}
