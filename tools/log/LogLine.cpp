// Parsing one line of the log: process id, time, Class::Method and message.
#include "tools/log/LogReader.h"
#include "tools/log/LogTypes.h"

namespace unpacklog {

long long LeadingNumber(const std::string& text) {
    size_t i = text.empty() || text[0] != '-' ? 0 : 1;
    long long value = 0;
    for (size_t digits = 0; i < text.size() && IsDigit(text[i]) && digits < 18; ++i, ++digits)
        value = value * 10 + (text[i] - '0');
    return !text.empty() && text[0] == '-' ? -value : value;
}

namespace {

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yearOfEra = y - era * 400;
    const int64_t dayOfYear = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool ParseTime(const std::string& text, size_t at, int64_t& seconds) {
    static const char kShape[] = "dddd-dd-dd dd:dd:dd";
    if (text.size() < at + sizeof(kShape) - 1) return false;
    for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
        char c = text[at + i];
        if (kShape[i] == 'd' ? !IsDigit(c) : c != kShape[i]) return false;
    }
    auto field = [&](size_t offset, size_t length) { return LeadingNumber(text.substr(at + offset, length)); };
    const int64_t month = field(5, 2), day = field(8, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31) return false;
    seconds = DaysFromCivil(field(0, 4), month, day) * 86400 + field(11, 2) * 3600 + field(14, 2) * 60 + field(17, 2);
    return true;
}

// The callers of the library-failure line (app/LibraryFailure.cpp). Two of
// them hold a blank, and one a bracket, which no method name does.
const char* const kLibraryCallers[] = {"operator new",  "operator new[]",   "length_error",
                                       "logic_error",   "out_of_range",     "invalid_argument"};

}  // namespace

bool ParseDay(const std::string& text, int64_t& seconds) {
    // The shape of a time stamp's date, and a day that month has.
    if (!ParseTime(text + " 00:00:00", 0, seconds) || text.size() != 10) return false;
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const long long year = LeadingNumber(text), month = LeadingNumber(text.substr(5));
    const long long day = LeadingNumber(text.substr(8));
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return day <= (month == 2 && !leap ? 28 : kDays[month - 1]);
}

bool IsLibraryFailureCaller(const std::string& caller) {
    for (const char* known : kLibraryCallers)
        if (caller == known) return true;
    return false;
}

bool ParseLogLine(const std::string& text, LogLine& line) {
    line = LogLine{};
    if (text.empty() || text[0] != '[') return false;
    size_t i = 1;
    if (i < text.size() && text[i] == '-') ++i;
    const size_t digits = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    if (i == digits || i - digits > 10 || i >= text.size() || text[i] != ']') return false;
    line.pid = LeadingNumber(text.substr(1, i - 1));
    ++i;
    // A failed time conversion leaves the stamp out: "[pid]  [...]".
    if (text.compare(i, 2, "  ") != 0) {
        if (!ParseTime(text, i, line.seconds)) return false;
        line.time = text.substr(i, 19);
        i += 19;
    }
    if (text.compare(i, 3, "  [") != 0) return false;
    i += 3;
    size_t close = text.find(']', i);
    if (text.compare(i, 15, "operator new[]]") == 0) close = i + 14;
    if (close == std::string::npos || close == i || close + 1 >= text.size() || text[close + 1] != ' ') return false;
    line.caller = text.substr(i, close - i);
    if (line.caller.find(' ') != std::string::npos && !IsLibraryFailureCaller(line.caller)) return false;
    line.message = text.substr(close + 2);

    const size_t last = line.message.rfind(" (Last=");
    if (last != std::string::npos && line.message.back() == ')') {
        size_t j = last + 7;
        if (j < line.message.size() && line.message[j] == '-') ++j;
        const size_t start = j;
        while (j < line.message.size() && IsDigit(line.message[j])) ++j;
        if (j > start && j + 1 == line.message.size()) {
            line.message.erase(last);
            line.complete = true;
        }
    }
    return true;
}

}  // namespace unpacklog
