// Files and folders, shaped by what the service asks of the file system.
//
// Paths are 8-bit strings in the system's ANSI code page, passed to the OS as they stand. No call
// throws: failures come back as false, an empty optional, an empty list or a null pointer, and the
// caller decides whether to log or ignore them. Every call may be made from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// a + separator + b. An empty a gives separator + b (the root), as on Windows.
std::string JoinPath(std::string_view a, std::string_view b);

// Removes trailing separators one at a time ('\\' on Windows; '/' and '\\' elsewhere).
std::string TrimTrailingSeparators(std::string path);

// The folder part of a path, without its trailing separators ("" when there is none).
std::string FolderOf(std::string_view path);

struct DirEntry {
    std::string name;
    bool isDir = false;   // a folder, or a link to one
    bool isLink = false;  // a symbolic link (of either kind)
};

// Every entry of a folder ("." and ".." excluded), hidden ones included, in the order the file
// system lists them. An unreadable or missing folder gives an empty list.
std::vector<DirEntry> ListDir(const std::string& dir);

bool DirExists(const std::string& path);
bool FileExists(const std::string& path);  // exists and is not a folder

// Creates one folder; its parent must exist. False when it could not be made (or exists).
bool MakeDir(const std::string& path);
// Creates a folder with every missing parent. True when the folder exists afterwards.
bool MakeDirs(const std::string& path);

std::optional<uint64_t> FileSize(const std::string& path);

// Last-write time of a file in milliseconds since 1970-01-01 UTC; empty when it cannot be read.
std::optional<int64_t> LastWriteTime(const std::string& path);

// Whole content of a file of at most maxBytes bytes; empty optional when it cannot be opened,
// read, or is larger.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t maxBytes);

// Removes a file, clearing its read-only attribute first. False when it is still there.
bool RemoveFile(const std::string& path);

// Read-only attribute (Linux: no write bits).
bool IsReadOnly(const std::string& path);
bool SetReadOnly(const std::string& path, bool readOnly);

// One open file. Closed by the destructor. Not shared between threads.
class File {
public:
    virtual ~File() = default;

    // Opens an existing file for reading (others may read and write it meanwhile).
    static std::unique_ptr<File> OpenRead(const std::string& path);
    // Opens a file for writing at its end, creating it when missing; contents are kept.
    // Others may read it while it is open.
    static std::unique_ptr<File> OpenAppend(const std::string& path);
    // Creates a listing file anew: a read-only existing file loses the attribute first, the
    // content is emptied, and the file is read-only once closed. The handle itself can write.
    static std::unique_ptr<File> CreateReadOnly(const std::string& path);

    // Current size of the file.
    virtual std::optional<uint64_t> Size() = 0;
    // Reads up to count bytes at the current position; 0 at the end, -1 on failure.
    virtual long long Read(void* data, size_t count) = 0;
    // Appends with one write at the end of the file (Append files) or at the current position
    // (listings); returns the number of bytes written (short or -1 on failure).
    virtual long long Write(const void* data, size_t count) = 0;

    bool WriteAll(std::string_view text) {
        return Write(text.data(), text.size()) == static_cast<long long>(text.size());
    }
};

// Lower-cased ASCII name of a file is matched by the caller; this lists the names (not folders)
// in dir that match "prefix" + any six characters + "." + ext, ext compared without regard to
// case, as Windows finds them with the wildcard "prefix??????.ext" (a '?' may also match nothing
// at a dot or at the end of the name). Order as the file system lists them.
struct FoundFile {
    std::string name;
    uint64_t size = 0;
};
std::vector<FoundFile> FindDayFiles(const std::string& dir, std::string_view prefix,
                                    std::string_view ext);

}  // namespace platform
