#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Files.h"
#include "platform/Text.h"

namespace platform {

std::string JoinPath(std::string_view a, std::string_view b) {
    std::string out(a);
    out.push_back(kPathSeparator);
    out.append(b);
    return out;
}

std::string TrimTrailingSeparators(std::string path) {
    while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
    return path;
}

std::string FolderOf(std::string_view path) {
    const size_t pos = path.find_last_of('/');
    if (pos == std::string_view::npos) return {};
    return TrimTrailingSeparators(std::string(path.substr(0, pos + 1)));
}

std::vector<DirEntry> ListDir(const std::string& dir) {
    std::vector<DirEntry> out;
    DIR* d = opendir(dir.empty() ? "/" : dir.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        DirEntry entry;
        entry.name = e->d_name;
        if (e->d_type == DT_DIR) {
            entry.isDir = true;
        } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat st {};
            const std::string full = JoinPath(dir, entry.name);
            entry.isLink = e->d_type == DT_LNK;
            if (e->d_type == DT_UNKNOWN) {
                struct stat lst {};
                if (lstat(full.c_str(), &lst) == 0) entry.isLink = S_ISLNK(lst.st_mode);
            }
            if (stat(full.c_str(), &st) == 0) entry.isDir = S_ISDIR(st.st_mode);
        }
        out.push_back(std::move(entry));
    }
    closedir(d);
    return out;
}

bool DirExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool MakeDir(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

bool MakeDirs(const std::string& path) {
    if (path.empty() || DirExists(path)) return !path.empty();
    const std::string parent = FolderOf(path);
    if (!parent.empty() && parent != path) MakeDirs(parent);
    MakeDir(path);  // may fail because another thread made it meanwhile: the check below decides
    return DirExists(path);
}

std::optional<uint64_t> FileSize(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

std::optional<int64_t> LastWriteTime(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

std::optional<std::string> ReadSmallFile(const std::string& path, size_t maxBytes) {
    auto file = File::OpenRead(path);
    if (!file) return std::nullopt;
    std::string out;
    char buf[4096];
    for (;;) {
        const long long n = file->Read(buf, sizeof buf);
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
        if (out.size() > maxBytes) return std::nullopt;
    }
    return out;
}

bool RemoveFile(const std::string& path) {
    unlink(path.c_str());
    return !FileExists(path);
}

bool IsReadOnly(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

bool SetReadOnly(const std::string& path, bool readOnly) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    const mode_t mode = readOnly ? (st.st_mode & ~mode_t{0222}) : (st.st_mode | 0200);
    return chmod(path.c_str(), mode & 07777) == 0;
}

namespace {

class PosixFile final : public File {
public:
    PosixFile(int fd, bool append) : fd_(fd), append_(append) {}
    ~PosixFile() override { close(fd_); }

    std::optional<uint64_t> Size() override {
        struct stat st {};
        if (fstat(fd_, &st) != 0) return std::nullopt;
        return static_cast<uint64_t>(st.st_size);
    }

    long long Read(void* data, size_t count) override {
        for (;;) {
            const ssize_t n = read(fd_, data, count);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    }

    long long Write(const void* data, size_t count) override {
        // One write() call: with O_APPEND the kernel places it at the end atomically.
        size_t done = 0;
        const char* p = static_cast<const char*>(data);
        while (done < count) {
            const ssize_t n = write(fd_, p + done, count - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
            if (append_) break;  // a short append is reported, not continued
        }
        return static_cast<long long>(done);
    }

private:
    int fd_;
    bool append_;
};

}  // namespace

std::unique_ptr<File> File::OpenRead(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    return std::make_unique<PosixFile>(fd, false);
}

std::unique_ptr<File> File::OpenAppend(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixFile>(fd, true);
}

std::unique_ptr<File> File::CreateReadOnly(const std::string& path) {
    if (IsReadOnly(path)) SetReadOnly(path, false);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
    if (fd < 0) return nullptr;
    // An existing file keeps its mode through O_CREAT: make it read-only now; the open handle
    // can still write.
    fchmod(fd, 0444);
    return std::make_unique<PosixFile>(fd, false);
}

std::vector<FoundFile> FindDayFiles(const std::string& dir, std::string_view prefix,
                                    std::string_view ext) {
    std::vector<FoundFile> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    const std::string tail = "." + std::string(ext);
    // Windows names compare without regard to case; no copies on this path, it runs per file.
    const auto sameNoCase = [](std::string_view a, std::string_view b) {
        return CompareNoCase(a, b) == 0;
    };
    while (dirent* e = readdir(d)) {
        if (e->d_type == DT_DIR) continue;
        const std::string_view name(e->d_name);
        if (name.size() < prefix.size() + tail.size()) continue;
        // Windows' "??????" takes up to six characters before the dot of ".ext".
        const size_t middle = name.size() - prefix.size() - tail.size();
        if (middle > 6) continue;
        if (!sameNoCase(name.substr(0, prefix.size()), prefix)) continue;
        if (!sameNoCase(name.substr(name.size() - tail.size()), tail)) continue;
        if (name.substr(prefix.size(), middle).find('.') != std::string_view::npos) continue;
        // Relative to the open folder: no path to build or resolve again for each file.
        struct stat st {};
        if (fstatat(dirfd(d), e->d_name, &st, 0) != 0 || S_ISDIR(st.st_mode)) continue;
        out.push_back({std::string(name), static_cast<uint64_t>(st.st_size)});
    }
    closedir(d);
    return out;
}

}  // namespace platform
