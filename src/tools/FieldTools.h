#pragma once
// Records as delimited fields: splitting, checking and formatting fields for
// data files and for ECR frames.
#include <cstdint>
#include <string>

inline constexpr int FieldListCapacity = 32;

enum FieldKind : int {
    FieldNumber = 0,
    FieldText = 1,
};

// Data-file field separator: the first character of INI Common/Delimiter,
// "," by default, empty when the INI value is empty.
inline std::string FileDelimiter = ",";
// Field separator inside ECR frames.
inline constexpr char EcrFieldSeparator[] = ",";
// The blank set trimmed from lines and fields.
inline constexpr char BlankChars[] = " \t\r\n";

class FieldList {
public:
    // Fills the list from `line`; the number of fields, 0 for an empty or a
    // malformed line (an empty line leaves the list as it was).
    int Split(const std::string& line, const std::string& separators);
    // Field `index` of the last split; InternalErrorException outside 0..Count()-1.
    const std::string& At(int index) const;
    int Count() const { return count; }

private:
    std::string fields[FieldListCapacity];
    int count = 0;
};

// The list shared by the operations and the input files.
FieldList& SharedFieldList();

// Takes the next field off the front of `rest`.
std::string NextField(std::string& rest, const std::string& separators);

bool IsDigits(const std::string& text);
bool IsNumberInRange(const std::string& text, int64_t min, int64_t max);
std::string FormatEcrField(const std::string& text, int kind, int width, bool quoted);
std::string ToEcrField(const std::string& text, int kind, int width);
std::string FromEcrField(const std::string& text, int kind);
std::string JoinFields(const std::string* fields, int n, const std::string& separator);

// Leading-digits conversion: optional leading blanks and sign, digits up to
// the first other character, 0 when there are none (like atoi/strtoll).
int64_t ParseLeadingInt64(const std::string& text);
int ParseLeadingInt(const std::string& text);
