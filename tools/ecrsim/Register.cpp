#include "Register.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace ecrsim {

namespace {

const uint8_t SendCodes[] = {0x51, 0x52, 0x58, 0x5A, 0x5C, 0x69, 0x6B, 0x6D, 0x6F, 0x70, 0x72, 0x75, 0x77, 0x7B, 0x84};
const uint8_t ReadCodes[] = {0x53, 0x54, 0x57, 0x59, 0x5B, 0x62, 0x63, 0x65, 0x67, 0x68,
                             0x6A, 0x6C, 0x6E, 0x71, 0x73, 0x74, 0x76, 0x79, 0x85};
const uint8_t ClearCodes[] = {0x50, 0x80, 0x81, 0x82, 0x86};

// Read code -> the send code whose stored lines it returns.
const std::map<int, int> PairedSendCode = {{0x57, 0x58}, {0x59, 0x5A}, {0x5B, 0x5C}, {0x68, 0x69}, {0x6A, 0x6B},
                                           {0x6C, 0x6D}, {0x6E, 0x6F}, {0x73, 0x72}, {0x74, 0x75}, {0x76, 0x77}};

template <size_t N>
bool Contains(const uint8_t (&codes)[N], uint8_t code) {
    for (uint8_t c : codes)
        if (c == code) return true;
    return false;
}

// Decimal digits only, at most `maxDigits`; an empty field counts as 0.
bool ParseDigits(const std::string& text, size_t maxDigits, uint64_t& value) {
    if (text.size() > maxDigits) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

std::string TrimRight(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string Amount(uint64_t cents) {
    char text[32];
    std::snprintf(text, sizeof text, "%04llu.%02llu", static_cast<unsigned long long>(cents / 100),
                  static_cast<unsigned long long>(cents % 100));
    return text;
}

std::string HexText(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : text) {
        hex += digits[c >> 4];
        hex += digits[c & 0x0F];
    }
    return hex;
}

}  // namespace

CodeKind KindOfCode(uint8_t code) {
    if (code == 0x83) return CodeKind::Status;
    if (Contains(SendCodes, code)) return CodeKind::Send;
    if (Contains(ReadCodes, code)) return CodeKind::Read;
    if (Contains(ClearCodes, code)) return CodeKind::Clear;
    return CodeKind::Other;
}

bool SplitFrameFields(const std::string& frame, std::vector<std::string>& fields) {
    fields.clear();
    std::string field;
    bool quoted = false;
    for (char c : frame) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(field);
    return !quoted;
}

bool SplitNamedRecord(const std::string& frame, size_t nameField, size_t nameLength, std::vector<std::string>& fields) {
    size_t start = 0;
    for (size_t n = 0; n < nameField; ++n) {
        size_t comma = frame.find(',', start);
        if (comma == std::string::npos) return SplitFrameFields(frame, fields);
        start = comma + 1;
    }
    const size_t end = start + nameLength + 1;  // the closing quote
    if (end >= frame.size() || frame[start] != '"' || frame[end] != '"' || frame.find('"') < start ||
        (end + 1 < frame.size() && frame[end + 1] != ','))
        return SplitFrameFields(frame, fields);
    bool whole = SplitFrameFields(frame.substr(0, start) + "\"\"" + frame.substr(end + 1), fields);
    fields[nameField] = frame.substr(start + 1, nameLength);
    return whole;
}

Register::Register(const std::string& statusText, std::map<int, std::string> serve, bool show)
    : showLogo(show), serveFiles(std::move(serve)) {
    // The same reading as the driver's: each pair of characters as two
    // hexadecimal digits counted from '0'.
    if (statusText.size() >= 2) level = 16 * (statusText[0] - '0') + (statusText[1] - '0');
    if (statusText.size() >= 4) nameLength = 16 * (statusText[2] - '0') + (statusText[3] - '0');
    if (nameLength < 0) nameLength = 0;
    if (nameLength > 200) nameLength = 200;

    static const char* const names[8] = {"Bakery", "Dairy",     "Produce", "Meat",
                                         "Drinks", "Household", "Tobacco", "Misc"};
    for (int i = 0; i < 8; ++i) {
        departments[i].number = i + 1;
        departments[i].name = names[i];
        departments[i].field4 = 1 + i % 3;
        departments[i].field5 = 0;
    }
}

std::string Register::FitName(const std::string& name) const {
    std::string fitted = name.substr(0, static_cast<size_t>(nameLength));
    fitted.resize(static_cast<size_t>(nameLength), ' ');
    return fitted;
}

void Register::Store(uint8_t code, const std::vector<std::string>& lines) {
    char text[48];
    std::snprintf(text, sizeof text, "stored 0x%02X: %zu records", code, lines.size());
    Note(text);
    switch (code) {
        case 0x51: StorePlus(lines, true); break;
        case 0x52: StorePlus(lines, false); break;
        case 0x70: StoreDepartments(lines); break;
        case 0x84: {
            std::vector<std::string> fields;
            if (lines.empty()) {
                Note("fiscal report range: no record");
                break;
            }
            if (!SplitFrameFields(lines[0], fields) || fields.size() != 5 || (fields[2] != "Z" && fields[2] != "D"))
                Note("fiscal report range: unexpected record '" + lines[0] + "'");
            fiscalRange = lines[0];
            break;
        }
        case 0x7B:
            logo = lines;
            if (showLogo) ShowLogo(lines);
            break;
        default: blocks[code] = lines; break;
    }
    SaveState();
}

void Register::SaveState() const {
    if (statePath.empty()) return;
    // Written beside and renamed, so a reader never sees half a state.
    std::string temporary = statePath + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) return;
    for (const auto& [code, plu] : plus)
        std::fprintf(file, "plu %llu,%llu,%s,%d,%d,%d\n", static_cast<unsigned long long>(code),
                     static_cast<unsigned long long>(plu.price), plu.name.c_str(), plu.department, plu.field5,
                     plu.field6);
    for (const auto& d : departments)
        std::fprintf(file, "department %d,%llu,%s,%d,%d\n", d.number, static_cast<unsigned long long>(d.value),
                     d.name.c_str(), d.field4, d.field5);
    std::fprintf(file, "cleared plusales %d\ncleared financial %d\ncleared periodical %d\n", pluSalesCleared,
                 financialCleared, periodicalCleared);
    std::fprintf(file, "cleared hourly %d\ncleared clerks %d\n", hourlyCleared, clerksCleared);
    std::fprintf(file, "z financial %d\nz periodical %d\n", financialZ, periodicalZ);
    std::fprintf(file, "fiscalrange %s\n", fiscalRange.c_str());
    for (const auto& row : logo) std::fprintf(file, "logo %s\n", row.c_str());
    for (const auto& [code, lines] : blocks)
        for (const auto& line : lines) std::fprintf(file, "block 0x%02X %s\n", code, line.c_str());
    std::fclose(file);
    std::rename(temporary.c_str(), statePath.c_str());
}

void Register::StorePlus(const std::vector<std::string>& lines, bool replace) {
    std::map<uint64_t, PluRecord> table = replace ? std::map<uint64_t, PluRecord>{} : plus;
    for (const auto& line : lines) {
        std::vector<std::string> f;
        PluRecord plu;
        uint64_t department = 0, field5 = 0, field6 = 0;
        if (!SplitNamedRecord(line, 2, static_cast<size_t>(nameLength), f) || f.size() != 6 ||
            !ParseDigits(f[0], 13, plu.code) || plu.code == 0 || !ParseDigits(f[1], 8, plu.price) ||
            !ParseDigits(f[3], 2, department) || department > 8 || !ParseDigits(f[4], 2, field5) ||
            !ParseDigits(f[5], 2, field6) || field6 < 1 || field6 > 7) {
            Note("PLU record rejected: '" + line + "'");
            continue;
        }
        if (f[2].size() > static_cast<size_t>(nameLength)) Note("PLU name longer than the name length: '" + line + "'");
        plu.name = TrimRight(f[2]);
        plu.department = static_cast<int>(department);
        plu.field5 = static_cast<int>(field5);
        plu.field6 = static_cast<int>(field6);
        table[plu.code] = plu;
    }
    plus = std::move(table);
}

void Register::StoreDepartments(const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
        std::vector<std::string> f;
        uint64_t number = 0, value = 0, field4 = 0, field5 = 0;
        if (!SplitNamedRecord(line, 2, static_cast<size_t>(nameLength), f) || f.size() != 5 ||
            !ParseDigits(f[0], 2, number) || number < 1 || number > 8 || !ParseDigits(f[1], 8, value) ||
            !ParseDigits(f[3], 2, field4) || !ParseDigits(f[4], 2, field5)) {
            Note("department record rejected: '" + line + "'");
            continue;
        }
        Department& department = departments[number - 1];
        department.value = value;
        department.name = TrimRight(f[2]);
        department.field4 = static_cast<int>(field4);
        department.field5 = static_cast<int>(field5);
    }
}

void Register::ShowLogo(const std::vector<std::string>& rows) {
    for (const auto& row : rows) {
        std::string dots;
        bool bad = row.size() != 60;
        for (int x = 0; x < 240; ++x) {
            size_t at = static_cast<size_t>(x / 8) * 2;
            int byte = 0;
            for (size_t k = at; k < at + 2; ++k) {
                int nibble = 0;
                if (k < row.size()) {
                    unsigned char c = static_cast<unsigned char>(row[k]);
                    if (c >= 0x30 && c <= 0x3F) nibble = c - 0x30;
                    else bad = true;
                }
                byte = byte * 16 + nibble;
            }
            dots += (byte >> (x % 8)) & 1 ? '#' : '.';
        }
        if (bad) Note("logo row with unexpected characters: '" + row + "'");
        std::printf("%s\n", dots.c_str());
    }
    std::printf("\n");  // an empty line after each logo keeps one apart from the next
    std::fflush(stdout);
}

std::string Register::PluFrame(const PluRecord& plu) const {
    char text[400];
    const char* field5Format = level == 0 ? "%02d" : "\"%02d\"";
    char field5[8];
    std::snprintf(field5, sizeof field5, field5Format, plu.field5 % 100);
    std::snprintf(text, sizeof text, "%013llu,%08llu,\"%s\",\"%02d\",%s,\"%02d\"",
                  static_cast<unsigned long long>(plu.code), static_cast<unsigned long long>(plu.price % 100000000),
                  FitName(plu.name).c_str(), plu.department, field5, plu.field6);
    return text;
}

std::string Register::DepartmentFrame(const Department& department) const {
    char text[400];
    std::snprintf(text, sizeof text, "%02d,%08llu,\"%s\",\"%02d\",\"%02d\"", department.number,
                  static_cast<unsigned long long>(department.value % 100000000), FitName(department.name).c_str(),
                  department.field4 % 100, department.field5 % 100);
    return text;
}

std::vector<std::string> Register::PluSales() const {
    std::vector<std::string> frames;
    for (const auto& [code, plu] : plus) {
        uint64_t quantity = pluSalesCleared ? 0 : 1 + code % 5;
        char text[80];
        std::snprintf(text, sizeof text, "%013llu,%04llu,%s", static_cast<unsigned long long>(code),
                      static_cast<unsigned long long>(quantity), Amount(quantity * plu.price).c_str());
        frames.push_back(text);
    }
    return frames;
}

namespace {

// What a financial report row holds, in the register's own terms.
enum class FinancialRow {
    Department,  // quantity, items, amount
    Tender,      // receipts, -, amount, drawer openings
    Total,       // amount in field 1
    Adjustment,  // count, -, amount
    Foreign,     // foreign currency movements: none taken here
    NoSale,      // count in field 3
    ZCounter,    // counter in field 3
};

// The report's rows: 45 below level 3, 65 (with the foreign currency
// movements and sales) from level 3 on.
std::vector<FinancialRow> FinancialRows(int level) {
    using R = FinancialRow;
    std::vector<R> rows(8, R::Department);
    rows.insert(rows.end(), 3, R::Tender);                    // cash, check, charge
    rows.insert(rows.end(), 9, R::Total);                     // taxable 1-8, non-taxable
    rows.insert(rows.end(), 8, R::Total);                     // tax 1-8
    rows.insert(rows.end(), 6, R::Adjustment);                // discounts, add-ons, received on account, paid out
    if (level >= 3) rows.insert(rows.end(), 10, R::Foreign);  // FC received on account, FC paid out
    rows.insert(rows.end(), 2, R::Adjustment);                // item void, return
    rows.push_back(R::NoSale);
    rows.insert(rows.end(), 5, R::Foreign);                   // FC in drawer
    if (level >= 3) rows.insert(rows.end(), 10, R::Foreign);  // FC sales, FC tendered
    rows.insert(rows.end(), 2, R::Total);                     // net sale, gross sale
    rows.push_back(R::ZCounter);
    return rows;
}

}  // namespace

std::vector<std::string> Register::Financial(bool cleared, int zCount) const {
    // Department totals come from the PLU table, with the same quantities as
    // the PLU sales report; tenders, taxes and sale totals add up to them.
    uint64_t quantity[9] = {}, amount[9] = {}, items[9] = {};
    for (const auto& [code, plu] : plus) {
        uint64_t sold = 1 + code % 5;
        quantity[plu.department] += sold;
        amount[plu.department] += sold * plu.price;
        ++items[plu.department];
    }
    uint64_t gross = 0, articles = 0;
    for (int d = 0; d < 9; ++d) gross += amount[d], articles += quantity[d];
    if (cleared) gross = articles = 0;
    const uint64_t receipts = (articles + 2) / 3;
    const uint64_t tenders[3] = {gross - gross * 3 / 10, gross / 10, gross * 3 / 10 - gross / 10};
    const uint64_t tax = gross * 21 / 121;  // one VAT rate, included in the prices

    std::vector<FinancialRow> rows = FinancialRows(level);
    std::vector<std::string> frames;
    int tender = 0, total = 0, adjustment = 0;
    for (size_t row = 0; row < rows.size(); ++row) {
        // Field 0 is the row number; fields 1 to 4 as the row kind uses them.
        std::string f1 = "0", f2 = "0", f3 = Amount(0), f4 = "0";
        switch (rows[row]) {
            case FinancialRow::Department:
                if (cleared) break;
                f1 = std::to_string(quantity[row + 1]);
                f2 = std::to_string(items[row + 1]);
                f3 = Amount(amount[row + 1]);
                break;
            case FinancialRow::Tender: {
                uint64_t cents = tenders[tender];
                uint64_t count = cents == 0 ? 0 : (tender == 0 ? receipts : 1);
                f1 = f4 = std::to_string(count);
                f3 = Amount(cents);
                ++tender;
                break;
            }
            case FinancialRow::Total: {
                // In order: taxable 1 to 8, non-taxable, tax 1 to 8, net, gross.
                constexpr int Taxable1 = 0, Tax1 = 9, Net = 17, Gross = 18;
                uint64_t cents = (total == Taxable1 || total == Gross) ? gross
                                 : total == Tax1                       ? tax
                                 : total == Net                        ? gross - tax
                                                                       : 0;
                f1 = Amount(cents);
                ++total;
                break;
            }
            case FinancialRow::Adjustment:
                // Some discounts, receipts on account and voids on a day with sales.
                if (gross > 0 && adjustment % 2 == 0) {
                    uint64_t count = 1 + static_cast<uint64_t>(adjustment) % 3;
                    f1 = std::to_string(count);
                    f3 = Amount(count * 50);
                }
                ++adjustment;
                break;
            case FinancialRow::NoSale: f3 = gross > 0 ? "2" : "0"; break;
            case FinancialRow::ZCounter: f3 = std::to_string(zCount); break;
            case FinancialRow::Foreign: break;
        }
        std::string number = std::to_string(row);
        if (row < 10) number.insert(number.begin(), '0');
        frames.push_back(number + "," + f1 + "," + f2 + "," + f3 + "," + f4);
    }
    return frames;
}

std::vector<std::string> Register::Hourly() const {
    std::vector<std::string> frames;
    for (int hour = 0; hour < 24; ++hour) {
        int customers = (!hourlyCleared && hour >= 8 && hour <= 20) ? (hour * 3) % 11 + 1 : 0;
        char text[64];
        std::snprintf(text, sizeof text, "%02d,%d,%s", hour, customers,
                      Amount(static_cast<uint64_t>(customers) * 437).c_str());
        frames.push_back(text);
    }
    return frames;
}

std::vector<std::string> Register::Clerks() const {
    std::vector<std::string> frames;
    for (int row = 0; row < 30; ++row) {
        int count = clerksCleared ? 0 : (row * 5 + 2) % 7;
        char text[64];
        std::snprintf(text, sizeof text, "%02d,%d,%s", row / 3 + 1, count,
                      Amount(static_cast<uint64_t>(count) * 275).c_str());
        frames.push_back(text);
    }
    return frames;
}

std::vector<std::string> Register::FiscalDump() const {
    static const char upper[] = "0123456789ABCDEF";
    static const char lower[] = "0123456789abcdef";
    std::vector<std::string> frames;
    for (int frame = 0; frame < 4; ++frame) {
        // One frame in lower case: the register's digits may come in either.
        const char* digits = frame == 2 ? lower : upper;
        std::string text;
        for (int i = 0; i < 32; ++i) {
            unsigned byte = static_cast<unsigned>((frame * 32 + i) * 37 + 11) & 0xFF;
            text += digits[byte >> 4];
            text += digits[byte & 0x0F];
        }
        frames.push_back(text);
    }
    return frames;
}

std::vector<std::string> Register::FiscalReport() const {
    std::vector<std::string> lines{"FISCAL REPORT"};
    std::vector<std::string> f;
    if (fiscalRange.empty() || !SplitFrameFields(fiscalRange, f) || f.size() != 5) {
        lines.push_back("NO RANGE SET");
    } else {
        lines.push_back(f[1] == "S" ? "SUMMARY" : "DETAILED");
        if (f[2] == "Z") {
            lines.push_back("Z " + f[3] + "-" + f[4]);
            uint64_t from = 0, to = 0;
            if (ParseDigits(f[3], 6, from) && ParseDigits(f[4], 6, to)) {
                for (uint64_t z = from; z <= to && z < from + 5; ++z) {
                    char text[48];
                    std::snprintf(text, sizeof text, "Z%06llu %s", static_cast<unsigned long long>(z),
                                  Amount(z * 1234 % 1000000).c_str());
                    lines.push_back(text);
                }
            }
        } else {
            // Short dates such as 1-3-09 reach the register space-padded.
            lines.push_back("DATE " + TrimRight(f[3]) + "-" + TrimRight(f[4]));
            lines.push_back("TOTAL " + Amount(98765));
        }
    }
    lines.push_back("END OF REPORT");
    std::vector<std::string> frames;
    for (const auto& line : lines) frames.push_back(HexText(FitName(line)));
    return frames;
}

std::vector<std::string> Register::ReadFrames(uint8_t code) {
    auto served = serveFiles.find(code);
    if (served != serveFiles.end()) {
        std::ifstream in(served->second, std::ios::binary);
        if (!in) {
            Note("cannot read served file " + served->second);
            return {};
        }
        std::vector<std::string> frames;
        std::string line;
        while (std::getline(in, line)) {
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
            frames.push_back(line);
        }
        return frames;
    }
    switch (code) {
        case 0x53: {
            std::vector<std::string> frames;
            for (const auto& entry : plus) frames.push_back(PluFrame(entry.second));
            return frames;
        }
        case 0x54: return PluSales();
        case 0x62: return Financial(financialCleared, financialZ);
        case 0x63: return Financial(periodicalCleared, periodicalZ);
        case 0x65: return Clerks();
        case 0x67: return Hourly();
        case 0x71: {
            std::vector<std::string> frames;
            for (const auto& department : departments) frames.push_back(DepartmentFrame(department));
            return frames;
        }
        case 0x79: return FiscalDump();
        case 0x85: return FiscalReport();
        default: break;
    }
    auto paired = PairedSendCode.find(code);
    if (paired != PairedSendCode.end()) {
        auto stored = blocks.find(paired->second);
        if (stored != blocks.end()) return stored->second;
    }
    return {};
}

void Register::Clear(uint8_t code) {
    char text[32];
    std::snprintf(text, sizeof text, "cleared 0x%02X", code);
    Note(text);
    switch (code) {
        case 0x50: pluSalesCleared = true; break;
        case 0x80:
            financialCleared = true;
            ++financialZ;
            break;
        case 0x81:
            periodicalCleared = true;
            ++periodicalZ;
            break;
        case 0x82: hourlyCleared = true; break;
        case 0x86: clerksCleared = true; break;
        default: break;
    }
    SaveState();
}

}  // namespace ecrsim
