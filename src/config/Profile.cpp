#include "config/Profile.h"

#include <cerrno>
#include <cstdio>
#include <sstream>

#include "platform/FileOpen.h"

namespace config {

namespace {

constexpr char Blanks[] = " \t";

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(Blanks);
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(Blanks);
    return text.substr(first, last - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

// The file's lines as stored, without their line ends (LF or CR LF).
bool ReadRawLines(const std::string& path, std::vector<std::string>& lines) {
    std::FILE* in = platform::OpenFile(path, "rb");
    if (in == nullptr) return false;
    std::string content;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) content.append(buffer, got);
    const bool complete = std::ferror(in) == 0;
    std::fclose(in);
    if (!complete) return false;
    // Editors that save as UTF-8 may put a byte order mark first; it would
    // otherwise hide the first section header.
    size_t start = content.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return true;
}

// A line as the reader sees it: text after a NUL byte is ignored, blanks trimmed.
std::string Visible(const std::string& raw) {
    size_t nul = raw.find('\0');
    return Trim(nul == std::string::npos ? raw : raw.substr(0, nul));
}

// A section header "[name]" gives true and the trimmed name.
bool IsHeader(const std::string& line, std::string& name) {
    if (line.empty() || line[0] != '[') return false;
    size_t close = line.find(']');
    name = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

// Index range [begin, end) of the body of the first section called `section`;
// false when there is no such header.
bool FindSection(const std::vector<std::string>& lines, const std::string& section, size_t& begin, size_t& end) {
    std::string name;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!IsHeader(Visible(lines[i]), name) || !SameName(name, section)) continue;
        begin = i + 1;
        end = begin;
        while (end < lines.size() && !IsHeader(Visible(lines[end]), name)) ++end;
        return true;
    }
    return false;
}

}  // namespace

bool ProfileGetString(const std::string& path, const std::string& section, const std::string& key, std::string& value) {
    std::vector<std::string> lines;
    size_t begin = 0, end = 0;
    if (!ReadRawLines(path, lines) || !FindSection(lines, section, begin, end)) return false;
    std::string wanted = Trim(key);
    for (size_t i = begin; i < end; ++i) {
        std::string line = Visible(lines[i]);
        size_t equals = line.find('=');
        if (equals == std::string::npos || !SameName(Trim(line.substr(0, equals)), wanted)) continue;
        std::string text = Trim(line.substr(equals + 1));
        if (text.size() >= 2 && (text[0] == '"' || text[0] == '\'') && text.back() == text[0])
            text = text.substr(1, text.size() - 2);
        if (text.size() > ProfileValueMaxLength) text.resize(ProfileValueMaxLength);
        value = text;
        return true;
    }
    return false;
}

// Any non-blank line counts, comment lines included: a section that only
// explains itself in comments is still there.
bool ProfileSectionExists(const std::string& path, const std::string& section) {
    std::vector<std::string> lines;
    size_t begin = 0, end = 0;
    if (!ReadRawLines(path, lines) || !FindSection(lines, section, begin, end)) return false;
    for (size_t i = begin; i < end; ++i) {
        if (!Visible(lines[i]).empty()) return true;
    }
    return false;
}

std::vector<std::string> ProfileSectionNames(const std::string& path, size_t bufferSize) {
    std::vector<std::string> names;
    std::vector<std::string> lines;
    if (!ReadRawLines(path, lines)) return names;
    size_t used = 1;  // the NUL that ends the list
    std::string name;
    for (const std::string& raw : lines) {
        if (!IsHeader(Visible(raw), name) || name.empty()) continue;
        bool seen = false;
        for (const std::string& known : names) seen = seen || SameName(known, name);
        if (seen) continue;
        // A name that does not fit whole is not seen, nor any after it.
        if (used + name.size() + 1 > bufferSize) break;
        used += name.size() + 1;
        names.push_back(name);
    }
    return names;
}

bool ProfileWriteSection(const std::string& path, const std::string& section,
                         const std::vector<std::string>& sectionLines) {
    std::vector<std::string> lines;
    ReadRawLines(path, lines);  // a missing file starts empty
    size_t begin = 0, end = 0;
    if (FindSection(lines, section, begin, end)) {
        // Keep the blank lines that separate this section from the next one.
        size_t bodyEnd = end;
        while (bodyEnd > begin && Visible(lines[bodyEnd - 1]).empty()) --bodyEnd;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(begin),
                    lines.begin() + static_cast<std::ptrdiff_t>(bodyEnd));
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(begin), sectionLines.begin(), sectionLines.end());
    } else {
        if (!lines.empty() && !Visible(lines.back()).empty()) lines.emplace_back();
        lines.push_back("[" + section + "]");
        lines.insert(lines.end(), sectionLines.begin(), sectionLines.end());
    }
    std::string content;
    for (const std::string& line : lines) content += line + "\r\n";
    std::FILE* out = platform::OpenFile(path, "wb");
    if (out == nullptr) return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), out) == content.size();
    if (std::fclose(out) != 0) ok = false;
    return ok;
}

}  // namespace config
