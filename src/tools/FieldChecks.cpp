#include "tools/FieldChecks.h"

#include "tools/FieldTools.h"
#include "tools/LineRefusal.h"
#include "tools/TextTools.h"

namespace {

bool Refuse(const std::string& why) {
    RefuseLine(why);
    return false;
}

}  // namespace

bool SplitIntoFields(const std::string& line, int expected) {
    const int count = SharedFieldList().Split(line, FileDelimiter);
    if (count == expected) return true;
    if (count > 0) return Refuse(FormatString("%d field%s, %d expected", count, count == 1 ? "" : "s", expected));
    if (TrimString(line, BlankChars).empty()) return Refuse("empty line");
    return Refuse("text after the closing quote of a field");
}

bool CheckNumberField(int index, const char* name, int64_t min, int64_t max) {
    if (IsNumberInRange(SharedFieldList().At(index), min, max)) return true;
    return Refuse(FormatString("field %d (%s) must be a whole number %lld to %lld", index + 1, name,
                               static_cast<long long>(min), static_cast<long long>(max)));
}

bool CheckNameField(int index, int64_t maxLength) {
    const std::string& name = SharedFieldList().At(index);
    if (static_cast<int64_t>(name.size()) > maxLength)
        return Refuse(FormatString("name longer than %lld characters", static_cast<long long>(maxLength)));
    // The register shows and prints its names: a control byte has no place there.
    for (size_t at = 0; at < name.size(); ++at) {
        const unsigned char byte = static_cast<unsigned char>(name[at]);
        if (byte < 0x20 || byte == 0x7F)
            return Refuse(FormatString("name holds the control byte 0x%02X at character %u", byte,
                                       static_cast<unsigned>(at + 1)));
    }
    return true;
}
