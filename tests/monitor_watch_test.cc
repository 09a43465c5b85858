// Change watches on real folders: what signals, what does not, and how signals are kept.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/ChangeWatch.h"
#include "test_process.h"

namespace {

using platform::ChangeWatchSet;
using testutil::TempDir;
using testutil::WriteFile;
namespace fs = std::filesystem;

// Wait() with a safety net: a watch that never fires shows as kStopped instead of a hung test.
int WaitAtMost(ChangeWatchSet& set, std::chrono::seconds limit = std::chrono::seconds(5)) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread guard([&] {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, limit, [&] { return done; })) set.Wake();
    });
    int result = set.Wait();
    {
        std::lock_guard lock(m);
        done = true;
    }
    cv.notify_all();
    guard.join();
    return result;
}

// Tree watch at index 0 and a marker tree at index 1: an action that the tree watch must not
// report is followed by a change in the marker tree, and Wait() must then name the marker.
class TreeWatch : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root_ / "tree/existing/deep");
        fs::create_directories(root_ / "marker");
        WriteFile(root_ / "tree/existing/deep/file.txt", "one");
        set_ = ChangeWatchSet::Create();
        ASSERT_TRUE(set_->AddTree(root_ / "tree"));
        ASSERT_TRUE(set_->AddTree(root_ / "marker/"));
    }
    // Expects the action to signal the tree watch (or not), then re-arms whatever fired.
    void Expect(bool signals, const std::function<void()>& action, const std::string& what) {
        SCOPED_TRACE(what);
        action();
        WriteFile(root_ / ("marker/m" + std::to_string(markers_++)), "");
        int first = WaitAtMost(*set_);
        EXPECT_EQ(first, signals ? 0 : 1);
        set_->Rearm(first);
        if (first == 0) {
            EXPECT_EQ(WaitAtMost(*set_), 1);  // the marker is still signalled
            set_->Rearm(1);
        }
    }

    TempDir root_;
    std::unique_ptr<ChangeWatchSet> set_;
    int markers_ = 0;
};

TEST_F(TreeWatch, ReportsNamesFoldersAndAttributesButNotContent) {
    const std::string deep = root_ / "tree/existing/deep";
    Expect(true, [&] { WriteFile(deep + "/new.txt", "x"); }, "file created in an old sub-folder");
    Expect(false, [&] { WriteFile(deep + "/file.txt", "rewritten content"); }, "content write");
    Expect(true, [&] { chmod((deep + "/file.txt").c_str(), 0444); }, "read-only attribute");
    Expect(true, [&] { fs::rename(deep + "/file.txt", deep + "/renamed.txt"); }, "rename");
    Expect(true, [&] { fs::remove(deep + "/renamed.txt"); }, "delete");
    Expect(true, [&] { fs::create_directory(root_ / "tree/fresh"); }, "folder created");
    Expect(true, [&] { WriteFile(root_ / "tree/fresh/a.psw", "x"); }, "file in the new folder");
    // A whole tree made at once: the folders made before their watch existed are watched too.
    Expect(true, [&] { fs::create_directories(root_ / "tree/x/y/z"); }, "nested folders");
    Expect(true, [&] { WriteFile(root_ / "tree/x/y/z/b.psw", "x"); }, "file deep in them");
    Expect(true, [&] { fs::rename(root_ / "tree/x", root_ / "outside"); }, "folder moved out");
    Expect(false, [&] { WriteFile(root_ / "outside/y/z/c.psw", "x"); }, "file in the moved-out");
    Expect(true, [&] { fs::rename(root_ / "outside", root_ / "tree/back"); }, "folder moved in");
    Expect(true, [&] { WriteFile(root_ / "tree/back/y/z/d.psw", "x"); }, "file in the moved-in");
}

TEST_F(TreeWatch, KeepsChangesMadeWhileTheSignalIsServed) {
    WriteFile(root_ / "tree/a", "");
    ASSERT_EQ(WaitAtMost(*set_), 0);
    // Made after the signal was taken, before the re-arm: it must signal again.
    WriteFile(root_ / "tree/b", "");
    set_->Rearm(0);
    EXPECT_EQ(WaitAtMost(*set_), 0);
    set_->Rearm(0);
    // Both signalled at once: the lowest index first, the other still signalled after.
    WriteFile(root_ / "marker/m", "");
    WriteFile(root_ / "tree/c", "");
    EXPECT_EQ(WaitAtMost(*set_), 0);
    set_->Rearm(0);
    EXPECT_EQ(WaitAtMost(*set_), 1);
}

TEST(FolderWatch, ReportsWritesAndReplacementsOfItsFilesOnly) {
    TempDir root;
    fs::create_directories(root / "home/sub");
    auto set = ChangeWatchSet::Create();
    ASSERT_TRUE(set->AddFolder(root / "home"));
    ASSERT_TRUE(set->AddTree(root / "home/sub"));  // the marker
    const std::string ini = root / "home/PelornDataLoader.ini";
    struct Case {
        const char* what;
        std::function<void()> action;
        bool signals;
    } cases[] = {
        {"created", [&] { WriteFile(ini, "[COMMON]\n"); }, true},
        {"edited in place", [&] { WriteFile(ini, "[COMMON]\nPeriod=5\n"); }, true},
        {"replaced by a rename",
         [&] {
             WriteFile(root / "home/tmp", "[COMMON]\n");
             fs::rename(root / "home/tmp", ini);
         },
         true},
        {"touched", [&] { utimensat(AT_FDCWD, ini.c_str(), nullptr, 0); }, true},
        {"inside a sub-folder", [&] { WriteFile(root / "home/sub/other.ini", ""); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.action();
        WriteFile(root / ("home/sub/marker" + std::string(c.what)), "");
        int first = WaitAtMost(*set);
        EXPECT_EQ(first, c.signals ? 0 : 1);
        set->Rearm(first);
        if (first == 0) {
            EXPECT_EQ(WaitAtMost(*set), 1);
            set->Rearm(1);
        }
    }
}

TEST(ChangeWatchSet, WakeEndsTheWaitAndAMissingFolderFailsIt) {
    TempDir root;
    auto set = ChangeWatchSet::Create();
    ASSERT_TRUE(set->AddTree(root.path()));
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        set->Wake();
    });
    EXPECT_EQ(set->Wait(), ChangeWatchSet::kStopped);
    waker.join();
    EXPECT_EQ(set->Wait(), ChangeWatchSet::kStopped);  // stays stopped

    auto broken = ChangeWatchSet::Create();
    EXPECT_TRUE(broken->AddTree(root.path()));
    EXPECT_FALSE(broken->AddTree(root / "missing"));
    EXPECT_EQ(broken->Wait(), ChangeWatchSet::kFailed);
}

}  // namespace
