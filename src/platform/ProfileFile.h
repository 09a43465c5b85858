// A private-profile (INI) file with the semantics of the Windows private-profile functions:
// every call reads or rewrites the file on disk, nothing is cached; section and key names match
// without regard to case; a value read is cut to 2047 characters. Linux writes new lines with
// "\n" and reads any line end. Any thread; calls on one file from two threads are not ordered.
#pragma once

#include <string>
#include <vector>

namespace platform {

class ProfileFile {
public:
    explicit ProfileFile(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }

    // The value of section/key, or def when the key is missing (GetPrivateProfileString with a
    // 2048-byte buffer).
    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& def) const;
    // The names of the keys of section, in file order (the first section of that name).
    std::vector<std::string> KeyNames(const std::string& section) const;
    // Writes section/key=value, creating the file or the section as needed. False on failure.
    bool WriteString(const std::string& section, const std::string& key, const std::string& value);
    // Removes the first line of key in section. False on failure.
    bool DeleteKey(const std::string& section, const std::string& key);

private:
    std::string path_;
};

}  // namespace platform
