#include "catalogue/DirMonitor.h"

#include "platform/Files.h"
#include "service/main.h"

// Interim start of the catalogue: folders and both scans; the watch comes with the monitor.
void TPelornDataLoader::StartDirMonitor() {
    if (!platform::DirExists(FDBFFolder)) platform::MakeDir(FDBFFolder);
    const std::string passwords = platform::TrimTrailingSeparators(FPasswordsFolder);
    if (!platform::DirExists(passwords)) platform::MakeDir(passwords);
    UpdateServerList();
    UpdatePasswordList();
}

void TPelornDataLoader::DirTimerTimer() { DirTimer.SetEnabled(false); }
