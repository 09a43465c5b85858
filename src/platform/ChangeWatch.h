// Folder change notifications, in the manner of Windows change-notification handles: a watch is
// "signalled" once a change it reports has happened and stays so until re-armed; changes made
// after the signal was taken signal it again. The watches of one set are waited for together.
#pragma once

#include <memory>
#include <string>

namespace platform {

class ChangeWatchSet {
public:
    // Wait() results other than an index.
    static constexpr int kStopped = -1;  // Wake() was called
    static constexpr int kFailed = -2;   // the wait failed, or a watch could not be created

    static std::unique_ptr<ChangeWatchSet> Create();
    virtual ~ChangeWatchSet() = default;

    // Adds a watch at the next index and returns whether it could be created; a failed one stays
    // in the set as a null watch, which makes Wait() fail.
    // A tree watch reports files and folders created, deleted or renamed, and attribute changes,
    // anywhere below the folder (folders made later included); a content write alone is not
    // reported.
    virtual bool AddTree(const std::string& folder) = 0;
    // A folder watch without its sub-folders, for a file in it that may be edited in place or
    // replaced: attribute changes, closes after writing, files created or moved in.
    virtual bool AddFolder(const std::string& folder) = 0;

    // Sleeps in the OS until a watch is signalled and returns the lowest signalled index, or
    // kStopped / kFailed. One thread only.
    virtual int Wait() = 0;
    // Clears the signal of a watch returned by Wait().
    virtual void Rearm(int index) = 0;
    // Makes the current or next Wait() return kStopped, and every later one too. Any thread.
    virtual void Wake() = 0;
};

}  // namespace platform
