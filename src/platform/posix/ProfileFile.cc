// Our own private-profile reader/writer with the rules of the Windows functions. The file is
// kept as a list of raw lines: a write changes or inserts one line and leaves every other byte
// as it was, then replaces the file in one rename so that a reader never sees half a file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>

#include "platform/Files.h"
#include "platform/ProfileFile.h"
#include "platform/Text.h"

namespace platform {
namespace {

constexpr size_t kMaxValue = 2047;  // what a 2048-byte buffer holds
constexpr size_t kMaxFile = 64u << 20;
constexpr const char* kNewLine = "\n";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v'; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// The section and key arguments lose their leading and trailing spaces only (not tabs).
std::string TrimSpaces(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return std::string(s);
}

struct Line {
    std::string text;  // without its line end
    std::string end;   // "\r\n", "\n", "\r" or "" for a last line without one
};

enum class Kind { Blank, Comment, Header, Key, Other };

struct Parsed {
    Kind kind = Kind::Blank;
    std::string_view name;   // section of a header, key of a key line
    std::string_view value;  // trimmed value of a key line
};

Parsed Parse(std::string_view raw) {
    const std::string_view s = TrimBlanks(raw);
    if (s.empty()) return {};
    if (s.front() == ';') return {Kind::Comment, {}, {}};
    if (s.front() == '[') {
        // The name ends at the first ']'; a header without one still opens the section.
        std::string_view name = s.substr(1);
        const size_t close = name.find(']');
        if (close != std::string_view::npos) name = name.substr(0, close);
        return {Kind::Header, TrimBlanks(name), {}};
    }
    const size_t eq = s.find('=');
    if (eq == std::string_view::npos) return {Kind::Other, s, {}};
    return {Kind::Key, TrimBlanks(s.substr(0, eq)), TrimBlanks(s.substr(eq + 1))};
}

std::vector<Line> SplitLines(const std::string& content) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        const size_t stop = content.find_first_of("\r\n", pos);
        if (stop == std::string::npos) {
            lines.push_back({content.substr(pos), ""});
            break;
        }
        size_t endLen = 1;
        if (content[stop] == '\r' && stop + 1 < content.size() && content[stop + 1] == '\n')
            endLen = 2;
        lines.push_back({content.substr(pos, stop - pos), content.substr(stop, endLen)});
        pos = stop + endLen;
    }
    return lines;
}

// The lines of the file; a missing file has none. Empty when the file is there but cannot be
// read: a write must then fail rather than replace it with what little it knows.
std::optional<std::vector<Line>> Load(const std::string& path) {
    if (!FileExists(path)) return std::vector<Line>{};
    if (FileSize(path).value_or(0) > kMaxFile) return std::nullopt;
    const auto content = ReadSmallFile(path, kMaxFile);
    if (!content) return std::nullopt;
    return SplitLines(*content);
}

bool SameName(std::string_view a, std::string_view b) { return CompareNoCase(a, b) == 0; }

// Where a section lies in the file: its header line and the line after its last entry.
struct SectionPos {
    size_t header = 0;
    size_t afterLastEntry = 0;  // header + 1 when it has no entry
};

// The first section of that name; only the first one counts, later duplicates are not seen.
std::optional<SectionPos> FindSection(const std::vector<Line>& lines, std::string_view section) {
    for (size_t i = 0; i < lines.size(); ++i) {
        const Parsed p = Parse(lines[i].text);
        if (p.kind != Kind::Header || !SameName(p.name, section)) continue;
        SectionPos pos{i, i + 1};
        for (size_t j = i + 1; j < lines.size(); ++j) {
            const Kind k = Parse(lines[j].text).kind;
            if (k == Kind::Header) break;
            if (k == Kind::Key || k == Kind::Other) pos.afterLastEntry = j + 1;
        }
        return pos;
    }
    return std::nullopt;
}

// The first key line of key within the section, or none.
std::optional<size_t> FindKey(const std::vector<Line>& lines, const SectionPos& section,
                              std::string_view key) {
    if (key.empty()) return std::nullopt;
    for (size_t j = section.header + 1; j < section.afterLastEntry; ++j) {
        const Parsed p = Parse(lines[j].text);
        if (p.kind == Kind::Key && SameName(p.name, key)) return j;
    }
    return std::nullopt;
}

std::string Join(const std::vector<Line>& lines) {
    std::string out;
    for (const Line& l : lines) out += l.text + l.end;
    return out;
}

// Replaces the file by a new one with content: written beside it, then renamed over it.
bool Store(const std::string& path, const std::string& content) {
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    // The read-only attribute stops writes even for an administrator (root here).
    if (exists && (S_ISDIR(st.st_mode) || (st.st_mode & 0222) == 0)) return false;
    // A unique name beside the file; created with 0666 so that the umask applies as to any
    // new file, while an existing file keeps its own mode.
    static std::atomic<unsigned> counter{0};
    const std::string temp =
        path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    if (exists) fchmod(fd, st.st_mode & 07777);
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool ok = close(fd) == 0 && done == content.size() && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) unlink(temp.c_str());
    return ok;
}

}  // namespace

std::string ProfileFile::GetString(const std::string& section, const std::string& key,
                                   const std::string& def) const {
    std::string fallback = def;
    while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();
    const std::vector<Line> lines = Load(path_).value_or(std::vector<Line>{});
    const auto sec = FindSection(lines, TrimSpaces(section));
    if (!sec) return fallback;
    const auto at = FindKey(lines, *sec, TrimSpaces(key));
    if (!at) return fallback;
    std::string_view value = Parse(lines[*at].text).value;
    // One pair of matching outer quotes is removed.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, kMaxValue));
}

std::vector<std::string> ProfileFile::KeyNames(const std::string& section) const {
    std::vector<std::string> names;
    const std::vector<Line> lines = Load(path_).value_or(std::vector<Line>{});
    const auto sec = FindSection(lines, TrimSpaces(section));
    if (!sec) return names;
    for (size_t j = sec->header + 1; j < sec->afterLastEntry; ++j) {
        const Parsed p = Parse(lines[j].text);
        if (p.kind == Kind::Key && !p.name.empty()) names.emplace_back(p.name);
    }
    return names;
}

bool ProfileFile::WriteString(const std::string& section, const std::string& key,
                              const std::string& value) {
    const std::string sectionName = TrimSpaces(section);
    const std::string keyName = TrimSpaces(key);
    auto loaded = Load(path_);
    if (!loaded) return false;
    std::vector<Line>& lines = *loaded;
    const std::string before = Join(lines);
    const auto sec = FindSection(lines, sectionName);
    const auto at = sec ? FindKey(lines, *sec, keyName) : std::nullopt;
    if (at) {
        // The key keeps its spelling from the file; only the value changes.
        Line& line = lines[*at];
        line.text = std::string(Parse(line.text).name) + "=" + value;
        if (line.end.empty()) line.end = kNewLine;
    } else {
        std::vector<Line> added;
        if (!sec) added.push_back({"[" + sectionName + "]", kNewLine});
        added.push_back({keyName + "=" + value, kNewLine});
        const size_t where = sec ? sec->afterLastEntry : lines.size();
        if (where > 0 && lines[where - 1].end.empty()) lines[where - 1].end = kNewLine;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(where), added.begin(),
                     added.end());
    }
    const std::string after = Join(lines);
    if (after == before && FileExists(path_)) return true;
    return Store(path_, after);
}

bool ProfileFile::DeleteKey(const std::string& section, const std::string& key) {
    auto loaded = Load(path_);
    if (!loaded) return false;
    std::vector<Line>& lines = *loaded;
    const auto sec = FindSection(lines, TrimSpaces(section));
    const auto at = sec ? FindKey(lines, *sec, TrimSpaces(key)) : std::nullopt;
    if (!at) return true;  // nothing to remove
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*at));
    return Store(path_, Join(lines));
}

}  // namespace platform
