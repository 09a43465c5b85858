// Change watches on inotify. One inotify instance per watch, so that each signals on its own;
// a tree watch holds one inotify watch per folder, added as folders appear. The kernel queues
// events while the owner acts on a signal, which gives the "changes made meanwhile signal again"
// rule of the Windows handles.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <vector>

#include "platform/ChangeWatch.h"
#include "platform/Files.h"

namespace platform {
namespace {

// Folders nested deeper than this below a watched root are not watched (a guard against
// pathological trees; the catalogue's own walks stop far earlier).
constexpr int kMaxDepth = 32;

constexpr uint32_t kTreeMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR | IN_DONT_FOLLOW;
constexpr uint32_t kFolderMask =
    IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_ONLYDIR | IN_DONT_FOLLOW;

class Watch {
public:
    Watch(int fd, std::string root, bool tree) : fd_(fd), root_(std::move(root)), tree_(tree) {}
    ~Watch() { close(fd_); }

    int fd() const { return fd_; }
    bool signalled = false;

    bool Start() {
        if (!tree_) return inotify_add_watch(fd_, root_.c_str(), kFolderMask) >= 0;
        return AddFolder(root_, 0);
    }

    // Reads every queued event: follows the tree as it changes and notes whether a change that
    // this watch reports was among them.
    void Drain() {
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                Handle(*e, e->len > 0 ? std::string(e->name) : std::string());
            }
        }
    }

private:
    void Handle(const inotify_event& e, const std::string& name) {
        if (e.mask & IN_Q_OVERFLOW) {
            // Events were lost: count it as a change and pick up folders we may have missed.
            signalled = true;
            if (tree_) AddFolder(root_, 0);
            return;
        }
        if (e.mask & IN_IGNORED) {
            Forget(e.wd);
            return;
        }
        if (!tree_) {
            signalled = true;
            return;
        }
        // Events about a watched folder itself arrive, with a name, at its parent's watch too;
        // the root's own are outside what the tree watch reports.
        if (name.empty()) return;
        auto folder = folders_.find(e.wd);
        if (folder == folders_.end()) return;
        const std::string path = JoinPath(folder->second.path, name);
        if ((e.mask & IN_ISDIR) && (e.mask & (IN_CREATE | IN_MOVED_TO))) {
            // Watch first, then walk: what was made inside before the watch existed is in the
            // folder now, and this event already counts as the change.
            AddFolder(path, folder->second.depth + 1);
        } else if ((e.mask & IN_ISDIR) && (e.mask & IN_MOVED_FROM)) {
            DropBelow(path);
        }
        signalled = true;
    }

    bool AddFolder(const std::string& path, int depth) {
        if (depth > kMaxDepth) return false;
        int wd = inotify_add_watch(fd_, path.c_str(), kTreeMask);
        if (wd < 0) return false;
        folders_[wd] = {path, depth};
        for (const DirEntry& entry : ListDir(path))
            if (entry.isDir && !entry.isLink) AddFolder(JoinPath(path, entry.name), depth + 1);
        return true;
    }

    void Forget(int wd) { folders_.erase(wd); }

    // A folder moved away: its watches (and those of its sub-folders) no longer belong here.
    void DropBelow(const std::string& path) {
        for (auto it = folders_.begin(); it != folders_.end();) {
            const std::string& p = it->second.path;
            if (p == path || (p.size() > path.size() && p.compare(0, path.size(), path) == 0 &&
                              p[path.size()] == kPathSeparator)) {
                inotify_rm_watch(fd_, it->first);
                it = folders_.erase(it);
            } else {
                ++it;
            }
        }
    }

    struct Folder {
        std::string path;
        int depth = 0;
    };

    int fd_;
    std::string root_;
    bool tree_;
    std::map<int, Folder> folders_;
};

class InotifyWatchSet : public ChangeWatchSet {
public:
    InotifyWatchSet() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~InotifyWatchSet() override {
        if (wake_ >= 0) close(wake_);
    }

    bool AddTree(const std::string& folder) override { return Add(folder, true); }
    bool AddFolder(const std::string& folder) override { return Add(folder, false); }

    int Wait() override {
        for (;;) {
            if (stopped_) return kStopped;
            if (wake_ < 0) return kFailed;
            std::vector<pollfd> fds;
            for (size_t i = 0; i < watches_.size(); ++i) {
                if (!watches_[i]) return kFailed;
                if (watches_[i]->signalled) return static_cast<int>(i);
                fds.push_back({watches_[i]->fd(), POLLIN, 0});
            }
            fds.push_back({wake_, POLLIN, 0});
            int r = poll(fds.data(), fds.size(), -1);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return kFailed;
            if (fds.back().revents != 0) stopped_ = true;
            for (size_t i = 0; i < watches_.size(); ++i)
                if (fds[i].revents & POLLIN) watches_[i]->Drain();
        }
    }

    void Rearm(int index) override {
        if (index >= 0 && static_cast<size_t>(index) < watches_.size() && watches_[index])
            watches_[index]->signalled = false;
    }

    void Wake() override {
        stopped_ = true;
        uint64_t one = 1;
        if (wake_ >= 0) {
            ssize_t ignored = write(wake_, &one, sizeof one);
            (void)ignored;
        }
    }

private:
    bool Add(const std::string& folder, bool tree) {
        std::unique_ptr<Watch> watch;
        int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd >= 0) {
            watch = std::make_unique<Watch>(fd, TrimTrailingSeparators(folder), tree);
            if (!watch->Start()) watch.reset();
        }
        watches_.push_back(std::move(watch));
        return watches_.back() != nullptr;
    }

    int wake_;
    std::atomic<bool> stopped_{false};
    std::vector<std::unique_ptr<Watch>> watches_;
};

}  // namespace

std::unique_ptr<ChangeWatchSet> ChangeWatchSet::Create() {
    return std::make_unique<InotifyWatchSet>();
}

}  // namespace platform
