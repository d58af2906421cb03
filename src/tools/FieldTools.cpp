#include "tools/FieldTools.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "errors/Exceptions.h"
#include "tools/TextTools.h"

namespace {

constexpr char Module[] = "src/tools";

// printf writes two exponent digits on most C libraries; data files carry at
// least three ("1.23457e+006"), so the exponent is widened here.
std::string WidenExponent(const std::string& number) {
    size_t e = number.find_first_of("eE");
    if (e == std::string::npos) return number;
    size_t digits = e + 1;
    if (digits < number.size() && (number[digits] == '+' || number[digits] == '-')) ++digits;
    size_t count = number.size() - digits;
    if (count >= 3) return number;
    return number.substr(0, digits) + std::string(3 - count, '0') + number.substr(digits);
}

// A number as the leading-digits conversion reads it (optional leading white
// space and sign, digits up to the first other character), kept as decimal
// text so that numbers beyond the 64-bit range pass through exactly instead
// of being clipped to the largest value.
struct DecimalText {
    bool negative = false;
    std::string digits;  // no leading zeros; "0" when there are none
};

DecimalText LeadingDecimal(const std::string& text) {
    DecimalText number;
    size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) number.negative = text[at++] == '-';
    while (at < text.size() && text[at] == '0') ++at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') number.digits += text[at++];
    if (number.digits.empty()) {
        number.digits.assign(1, '0');
        number.negative = false;  // no "-0"
    }
    return number;
}

// Exponents beyond this are left to "%g": the plain form would be a line of zeros.
constexpr int LargestPlainExponent = 100;

// A number with a decimal point in plain decimal notation with every digit
// it has: no "+", no leading zeros before the point, no trailing zeros after
// it, no point without digits after it ("0012.50" gives 12.5; a value "%g"
// writes exactly, such as -0.5, 0.5 or 0, comes out the same). An exponent
// moves the point. False when the text is not read this way as far as strtod
// reads it (hexadecimal, "inf", a huge exponent): those keep the "%g" form.
bool PlainDecimal(const std::string& text, std::string& plain) {
    char* end = nullptr;
    std::strtod(text.c_str(), &end);
    const size_t consumed = static_cast<size_t>(end - text.c_str());

    size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    std::string digits;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) digits += text[at++];
    long point = static_cast<long>(digits.size());
    if (at < text.size() && text[at] == '.') {
        ++at;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) digits += text[at++];
    }
    if (digits.empty()) return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        size_t next = at + 1;
        bool negativeExponent = false;
        if (next < text.size() && (text[next] == '+' || text[next] == '-')) negativeExponent = text[next++] == '-';
        long exponent = 0;
        size_t first = next;
        while (next < text.size() && std::isdigit(static_cast<unsigned char>(text[next]))) {
            exponent = exponent * 10 + (text[next++] - '0');
            if (exponent > LargestPlainExponent) return false;
        }
        if (next > first) {
            point += negativeExponent ? -exponent : exponent;
            at = next;
        }
    }
    if (at != consumed) return false;

    if (point < 0) {
        digits.insert(0, static_cast<size_t>(-point), '0');
        point = 0;
    }
    if (point > static_cast<long>(digits.size())) digits.append(static_cast<size_t>(point) - digits.size(), '0');
    std::string whole = digits.substr(0, static_cast<size_t>(point));
    std::string fraction = digits.substr(static_cast<size_t>(point));
    whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
    fraction.erase(fraction.find_last_not_of('0') + 1);
    if (whole.empty()) whole = "0";
    plain = negative ? "-" : "";  // "-0" as "%g" writes a negative zero
    plain += whole;
    if (!fraction.empty()) plain += "." + fraction;
    return true;
}

}  // namespace

FieldList& SharedFieldList() {
    static FieldList list;
    return list;
}

std::string NextField(std::string& rest, const std::string& separators) {
    rest = TrimString(rest, BlankChars);
    if (rest.empty()) return std::string();
    std::string field;
    if (rest[0] == '"') {
        size_t i = 1;
        bool closed = false;
        while (i < rest.size()) {
            if (rest[i] == '"') {
                if (i + 1 < rest.size() && rest[i + 1] == '"') {
                    field += '"';
                    i += 2;
                    continue;
                }
                closed = true;
                break;
            }
            field += rest[i++];
        }
        rest = closed ? rest.substr(i + 1) : std::string();
    } else {
        size_t end = rest.find_first_of(separators);
        if (end == std::string::npos) end = rest.size();
        field = rest.substr(0, end);
        rest.erase(0, end);
    }
    rest = TrimString(rest, BlankChars);
    return TrimString(field, BlankChars);
}

int FieldList::Split(const std::string& line, const std::string& separators) {
    std::string rest = TrimString(line, BlankChars);
    if (rest.empty()) return 0;
    count = 0;
    while (count < FieldListCapacity) {
        fields[count] = NextField(rest, separators);
        ++count;
        if (rest.empty()) return count;
        if (separators.find(rest[0]) == std::string::npos) {
            count = 0;  // text after a closing quote: the line is malformed
            return 0;
        }
        rest.erase(0, 1);
    }
    return count;
}

const std::string& FieldList::At(int index) const {
    if (index < 0 || index >= count) THROW_INTERNAL_ERROR(Module);
    return fields[index];
}

bool IsDigits(const std::string& text) {
    for (char ch : text) {
        if (ch < '0' || ch > '9') return false;
    }
    return true;
}

// A digit string beyond the 64-bit range is never in range: it would
// otherwise saturate and pass a check against the largest limit.
bool IsNumberInRange(const std::string& text, int64_t min, int64_t max) {
    if (!IsDigits(text)) return false;
    int64_t value = 0;
    for (char ch : text) {
        int digit = ch - '0';
        if (value > (INT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return min <= value && value <= max;
}

int64_t ParseLeadingInt64(const std::string& text) {
    // strtoll saturates at the 64-bit limits instead of overflowing.
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<int64_t>(value);
}

int ParseLeadingInt(const std::string& text) {
    int64_t value = ParseLeadingInt64(text);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::string FormatEcrField(const std::string& text, int kind, int width, bool quoted) {
    if (width < 0) width = 0;
    std::string value;
    if (kind == FieldNumber) {
        // Zero-padded on the left to `width` characters, the sign included
        // (as "%0*lld" does); a longer number is not cut.
        DecimalText number = LeadingDecimal(text);
        size_t signWidth = number.negative ? 1 : 0;
        size_t digitsWidth = static_cast<size_t>(width) > signWidth ? width - signWidth : 0;
        if (number.negative) value.assign(1, '-');
        if (number.digits.size() < digitsWidth) value.append(digitsWidth - number.digits.size(), '0');
        value += number.digits;
    } else if (kind == FieldText) {
        value = text.substr(0, static_cast<size_t>(width));
        value.resize(static_cast<size_t>(width), ' ');
    }
    if (quoted) value = "\"" + value + "\"";
    return value;
}

std::string ToEcrField(const std::string& text, int kind, int width) {
    if (kind != FieldNumber && kind != FieldText) THROW_INTERNAL_ERROR(Module);
    return FormatEcrField(text, kind, width, kind == FieldText);
}

std::string FromEcrField(const std::string& text, int kind) {
    if (kind == FieldNumber) {
        char buffer[64];
        if (!text.empty() && text.find('.') != std::string::npos) {
            std::string plain;
            if (PlainDecimal(text, plain)) return plain;
            std::snprintf(buffer, sizeof buffer, "%g", std::strtod(text.c_str(), nullptr));
            return WidenExponent(buffer);
        }
        DecimalText number = LeadingDecimal(text);
        return number.negative ? std::string(1, '-').append(number.digits) : number.digits;
    }
    if (kind == FieldText) {
        // Inner quotes are doubled, so the line splits back into the same text.
        std::string quoted(1, '"');
        for (char ch : TrimString(text, " ")) {
            if (ch == '"') quoted += '"';
            quoted += ch;
        }
        quoted += '"';
        return quoted;
    }
    THROW_INTERNAL_ERROR(Module);
}

std::string JoinFields(const std::string* fields, int n, const std::string& separator) {
    if (n <= 0) return std::string();
    if (fields == nullptr) THROW_INTERNAL_ERROR(Module);
    std::string line;
    for (int i = 0; i < n; ++i) {
        if (i > 0) line += separator;
        line += fields[i];
    }
    return line;
}
