// The depth bound shared by the two catalogue walks: at most six nested calls (the top folder and
// five levels below it), and no symbolic link followed back into a folder on the current path,
// so a link loop neither repeats the tree nor walks it without end. Loop thread only.
#pragma once

#include <string>
#include <vector>

class FolderWalk {
  public:
    static constexpr size_t kMaxActive = 6;

    // Counts one call for the folder at path (name is its last part; isLink when it was listed
    // as a symbolic link). False, with nothing counted, when six calls are active already or the
    // link leads to a folder on the current path or above it.
    bool Enter(const std::string& path, const std::string& name, bool isLink);
    void Leave() { realPaths_.pop_back(); }
    size_t Active() const { return realPaths_.size(); }

  private:
    std::vector<std::string> realPaths_;  // resolved path of each active call's folder
};

// Uncounts the call on scope exit.
class FolderLevel {
  public:
    FolderLevel(FolderWalk& walk, const std::string& path, const std::string& name, bool isLink)
        : walk_(walk), entered_(walk.Enter(path, name, isLink)) {}
    ~FolderLevel() {
        if (entered_) walk_.Leave();
    }
    FolderLevel(const FolderLevel&) = delete;
    FolderLevel& operator=(const FolderLevel&) = delete;
    explicit operator bool() const { return entered_; }

  private:
    FolderWalk& walk_;
    bool entered_;
};
