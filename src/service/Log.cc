// The daily log: one line per call, appended to the file of the day and closed at once.
#include <cstdio>

#include "platform/Files.h"
#include "service/main.h"

std::string LogFileName(const platform::LocalTime& t) {
    char name[32];
    std::snprintf(name, sizeof name, "RecieveData_%02d%02d%02d.log", t.year % 100, t.month, t.day);
    return name;
}

std::string LogStamp(const platform::LocalTime& t) {
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "[%02d.%02d.%04d %02d:%02d:%02d] ", t.day, t.month, t.year,
                  t.hour, t.minute, t.second);
    return stamp;
}

void TPelornDataLoader::AppendLog(const std::string& text) {
    if (!FWriteLog) return;
    // The loop thread and the download thread may write at the same moment: one after the other,
    // so that neither line is lost.
    std::lock_guard lock(logMutex_);
    const std::string folder = platform::JoinPath(FHomeFolder, "Logs");
    std::unique_ptr<platform::File> file;
    if (platform::MakeDirs(folder))
        file = platform::File::OpenAppend(platform::JoinPath(folder, LogFileName(clock_->Now())));
    // The stamp comes from a second reading of the clock, after the file name.
    const std::string line = LogStamp(clock_->Now()) + text;
    if (file) file->WriteAll(line + "\r\n");  // a line that cannot be written is lost
    file.reset();
    if (options_.onLogLine) options_.onLogLine(line);
}
