#include "catalogue/FolderWalk.h"

#include <filesystem>
#include <system_error>

#include "platform/Files.h"

namespace {

std::string RealPath(const std::string& path) {
    std::error_code error;
    const auto real = std::filesystem::canonical(std::filesystem::path(path), error);
    // A path that cannot be resolved is compared as it stands; its listing will be empty anyway.
    return error ? path : real.string();
}

bool IsSameOrBelow(const std::string& path, const std::string& folder) {
    if (path.compare(0, folder.size(), folder) != 0) return false;
    return path.size() == folder.size() || path[folder.size()] == platform::kPathSeparator ||
           (!folder.empty() && folder.back() == platform::kPathSeparator);
}

}  // namespace

bool FolderWalk::Enter(const std::string& path, const std::string& name, bool isLink) {
    if (realPaths_.size() >= kMaxActive) return false;
    // A plain folder below a resolved one resolves to it plus its name: only the top folder and
    // links need the file system.
    std::string real =
        realPaths_.empty() || isLink ? RealPath(path) : platform::JoinPath(realPaths_.back(), name);
    if (isLink) {
        for (const auto& active : realPaths_) {
            if (IsSameOrBelow(active, real)) return false;
        }
    }
    realPaths_.push_back(std::move(real));
    return true;
}
