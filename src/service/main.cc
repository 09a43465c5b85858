// PLACEHOLDER: the module lifecycle is written with the service host.
#include "service/main.h"

#include "catalogue/DirMonitor.h"
#include "download/OnlineClient.h"

const char* const kServiceName = "PelornDataLoader";
TPelornDataLoader* PelornDataLoader = nullptr;

TPelornDataLoader::TPelornDataLoader(platform::EventLoop& loop, ModuleOptions options)
    : DirTimer(loop, 500, [this] { DirTimerTimer(); }),
      CheckDataTimer(loop, 1000, [this] { CheckDataTimerTimer(); }),
      FTimeouts(std::make_unique<ExchangeTimeouts>()),
      loop_(loop),
      clock_(options.clock ? options.clock : &platform::SystemClock()),
      options_(std::move(options)) {}

TPelornDataLoader::~TPelornDataLoader() = default;
void TPelornDataLoader::AppendLog(const std::string&) {}
int TPelornDataLoader::RunOnce() { return 0; }
