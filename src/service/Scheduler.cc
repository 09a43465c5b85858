// PLACEHOLDER: poll scheduler.
#include "service/main.h"

void TPelornDataLoader::CheckDataTimerTimer() {}
void TPelornDataLoader::StartDownload() {}
void TPelornDataLoader::DownloadTerminated() {}
uint32_t TPelornDataLoader::TicksSince(uint32_t) const { return 0; }
void TPelornDataLoader::PollNow() {}
