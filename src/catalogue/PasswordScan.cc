// The password folder scan: the password files into a new FPasswordList, and DispPasswords.txt.
#include <cstring>
#include <unordered_set>

#include "catalogue/FolderWalk.h"
#include "catalogue/Listing.h"
#include "catalogue/ScanRules.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "service/main.h"

std::optional<uint32_t> MatchPasswordFileName(std::string_view lowerName) {
    size_t digits = 0;
    while (digits < 7 && digits < lowerName.size() && lowerName[digits] >= '0' &&
           lowerName[digits] <= '9') {
        ++digits;
    }
    // The longest run first; a shorter one leaves its next digit as the one byte before "psw".
    for (; digits >= 5; --digits) {
        if (lowerName.size() >= digits + 4 && lowerName.substr(digits + 1, 3) == "psw") {
            uint32_t serial = 0;
            for (size_t i = 0; i < digits; ++i) serial = serial * 10 + (lowerName[i] - '0');
            return serial;
        }
    }
    return std::nullopt;
}

namespace {

class PasswordFolderWalk {
  public:
    explicit PasswordFolderWalk(TPasswordList& list) : list_(list) {}

    void ScanPasswordFolder(const std::string& folder, const std::string& name, bool isLink) {
        const FolderLevel level(walk_, folder, name, isLink);
        if (!level) return;
        for (const auto& entry : platform::ListDir(folder)) {
            const std::string path = platform::JoinPath(folder, entry.name);
            if (entry.isDir) {
                if (entry.name.front() != '.') ScanPasswordFolder(path, entry.name, entry.isLink);
                continue;
            }
            const auto serial = MatchPasswordFileName(platform::AsciiLower(entry.name));
            // The first readable file found for a serial wins.
            if (!serial || *serial == 0 || serials_.count(*serial)) continue;
            if (auto passwordEntry = ReadPasswordFile(path, *serial)) {
                serials_.insert(*serial);
                list_.push_back(std::move(passwordEntry));
            }
        }
    }

  private:
    static std::unique_ptr<TDispPassEntry> ReadPasswordFile(const std::string& path,
                                                            uint32_t serial) {
        const auto file = platform::File::OpenRead(path);
        if (!file) return nullptr;
        const auto size = file->Size();
        if (!size || *size == 0 || *size > 8) return nullptr;
        char text[8] = {};
        const long long read = file->Read(text, static_cast<size_t>(*size));
        const size_t length = read > 0 ? strnlen(text, static_cast<size_t>(read)) : 0;
        auto entry = std::make_unique<TDispPassEntry>();
        entry->Serial = serial;
        if (length > 0) {
            std::memset(entry->Password, ' ', 8);
            std::memcpy(entry->Password, text, length);
        }
        return entry;
    }

    TPasswordList& list_;
    FolderWalk walk_;
    std::unordered_set<uint32_t> serials_;
};

}  // namespace

void TPelornDataLoader::UpdatePasswordList() {
    FPasswordScanBusy = true;
    TPasswordList fresh;
    const std::string folder = platform::TrimTrailingSeparators(FPasswordsFolder);
    platform::MakeDirs(folder);  // when it cannot be made the walk finds nothing
    PasswordFolderWalk(fresh).ScanPasswordFolder(folder, {}, false);
    SortBySerial(fresh);
    PasswordsListing(fresh).WriteFile(platform::JoinPath(FHomeFolder, "DispPasswords.txt"));
    // One assignment: the module's list is never incomplete; the old entries go with it.
    FPasswordList.swap(fresh);
    FPasswordScanBusy = false;
}
