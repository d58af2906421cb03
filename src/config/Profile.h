#pragma once
// INI profile files: "[section]" headers and "key = value" lines. Section
// names and keys compare without regard to case; blanks around keys, around
// "=" and at the end of values are ignored; a value in a pair of double or
// single quotes loses them. CR LF and LF line ends are both read.
#include <cstddef>
#include <string>
#include <vector>

namespace config {

inline constexpr size_t ProfileValueMaxLength = 255;

// True and the value (at most 255 characters) when the key is present.
bool ProfileGetString(const std::string& path, const std::string& section, const std::string& key, std::string& value);

// A section counts as present only when it holds at least one line.
bool ProfileSectionExists(const std::string& path, const std::string& section);

// The section names as they fit, each with its NUL, into a list of
// bufferSize bytes that ends in a second NUL; names beyond it are not seen.
std::vector<std::string> ProfileSectionNames(const std::string& path, size_t bufferSize);

// Replaces the section's lines (or appends the section) with `lines`,
// writing every line with CR LF. False (errno set) when writing fails.
bool ProfileWriteSection(const std::string& path, const std::string& section, const std::vector<std::string>& lines);

}  // namespace config
