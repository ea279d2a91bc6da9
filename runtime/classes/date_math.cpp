// Date arithmetic, parsing and formatting.
#include "runtime/classes/date_math.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace nerva::date {

namespace {

constexpr double kMsPerHour = 3600000.0;
constexpr double kMsPerMinute = 60000.0;
constexpr double kMsPerSecond = 1000.0;

const char* const kWeekDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

double PositiveModulo(double a, double b) {
    double r = std::fmod(a, b);
    return r < 0 ? r + b : r;
}

int DayWithinYear(double t) { return int(Day(t) - DayFromYear(YearFromTime(t))); }

// First day of each month in a common year; a leap year shifts March onwards by one.
const int kMonthStart[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};

int MonthStart(int month, bool leap) { return kMonthStart[month] + (leap && month >= 2 ? 1 : 0); }

}  // namespace

double Day(double t) { return std::floor(t / kMsPerDay); }
double TimeWithinDay(double t) { return PositiveModulo(t, kMsPerDay); }

int DaysInYear(double y) {
    if (std::fmod(y, 4) != 0) return 365;
    if (std::fmod(y, 100) != 0) return 366;
    if (std::fmod(y, 400) != 0) return 365;
    return 366;
}

double DayFromYear(double y) {
    return 365 * (y - 1970) + std::floor((y - 1969) / 4) - std::floor((y - 1901) / 100) +
           std::floor((y - 1601) / 400);
}

double TimeFromYear(double y) { return kMsPerDay * DayFromYear(y); }

double YearFromTime(double t) {
    // An estimate from the mean year length, then corrected by at most a step or two.
    double y = std::floor(t / (kMsPerDay * 365.2425)) + 1970;
    while (TimeFromYear(y) > t) y -= 1;
    while (TimeFromYear(y + 1) <= t) y += 1;
    return y;
}

bool InLeapYear(double t) { return DaysInYear(YearFromTime(t)) == 366; }

int MonthFromTime(double t) {
    int day = DayWithinYear(t);
    bool leap = InLeapYear(t);
    int month = 0;
    while (month < 11 && day >= MonthStart(month + 1, leap)) ++month;
    return month;
}

int DateFromTime(double t) {
    return DayWithinYear(t) - MonthStart(MonthFromTime(t), InLeapYear(t)) + 1;
}

int WeekDay(double t) { return int(PositiveModulo(Day(t) + 4, 7)); }
int HourFromTime(double t) { return int(PositiveModulo(std::floor(t / kMsPerHour), 24)); }
int MinFromTime(double t) { return int(PositiveModulo(std::floor(t / kMsPerMinute), 60)); }
int SecFromTime(double t) { return int(PositiveModulo(std::floor(t / kMsPerSecond), 60)); }
int MsFromTime(double t) { return int(PositiveModulo(t, kMsPerSecond)); }

double MakeTime(double hour, double min, double sec, double ms) {
    if (!std::isfinite(hour) || !std::isfinite(min) || !std::isfinite(sec) || !std::isfinite(ms)) return NAN;
    return std::trunc(hour) * kMsPerHour + std::trunc(min) * kMsPerMinute + std::trunc(sec) * kMsPerSecond +
           std::trunc(ms);
}

double MakeDay(double year, double month, double date) {
    if (!std::isfinite(year) || !std::isfinite(month) || !std::isfinite(date)) return NAN;
    year = std::trunc(year);
    month = std::trunc(month);
    date = std::trunc(date);
    double ym = year + std::floor(month / 12);
    int mn = int(PositiveModulo(month, 12));
    // Far beyond the clip range the day number is meaningless; keep the arithmetic finite.
    if (std::fabs(ym) > 400000) return NAN;
    return DayFromYear(ym) + MonthStart(mn, DaysInYear(ym) == 366) + date - 1;
}

double MakeDate(double day, double time) {
    if (!std::isfinite(day) || !std::isfinite(time)) return NAN;
    return day * kMsPerDay + time;
}

double TimeClip(double t) {
    if (!std::isfinite(t) || std::fabs(t) > kMaxTimeValue) return NAN;
    return std::trunc(t) + 0.0;
}

Fields Split(double t) {
    return Fields{YearFromTime(t), MonthFromTime(t), DateFromTime(t), WeekDay(t),
                  HourFromTime(t), MinFromTime(t),   SecFromTime(t),  MsFromTime(t)};
}

std::string ToLocalText(double t, int64_t localOffsetMs) {
    Fields f = Split(t - double(localOffsetMs));
    int64_t eastMinutes = -int64_t(std::floor(double(localOffsetMs) / kMsPerMinute));
    int zone = int(eastMinutes / 60 * 100 + eastMinutes % 60);
    bool bc = f.year <= 0;
    char text[96];
    std::snprintf(text, sizeof text, bc ? "%s %s %02d %02d:%02d:%02d GMT%+04d %s%s%04d B.C."
                                        : "%s %s %02d %02d:%02d:%02d GMT%+04d %s%s%04d",
                  kWeekDays[f.weekDay], kMonths[f.month], f.date, f.hours, f.minutes, f.seconds, zone, "", "",
                  int(bc ? 1 - f.year : f.year));
    return text;
}

std::string ToGmtText(double t) {
    Fields f = Split(t);
    bool bc = f.year <= 0;
    char text[96];
    std::snprintf(text, sizeof text, bc ? "%s, %02d %s %04d %02d:%02d:%02d GMT B.C." : "%s, %02d %s %04d %02d:%02d:%02d GMT",
                  kWeekDays[f.weekDay], f.date, kMonths[f.month], int(bc ? 1 - f.year : f.year), f.hours, f.minutes,
                  f.seconds);
    return text;
}

// ---------------------------------------------------------------------------------------------
// Parsing

namespace {

struct Keyword {
    const char* word;
    enum Kind { Meridiem, WeekDayName, Month, Zone } kind;
    int value;  // meridiem: 0 am, 1 pm; month 0-11; zone minutes east of UTC
};

// Searched from the last entry to the first; a word matches a keyword it is a prefix of.
const Keyword kKeywords[] = {
    {"am", Keyword::Meridiem, 0},       {"pm", Keyword::Meridiem, 1},
    {"monday", Keyword::WeekDayName, 0}, {"tuesday", Keyword::WeekDayName, 0},
    {"wednesday", Keyword::WeekDayName, 0}, {"thursday", Keyword::WeekDayName, 0},
    {"friday", Keyword::WeekDayName, 0}, {"saturday", Keyword::WeekDayName, 0},
    {"sunday", Keyword::WeekDayName, 0}, {"january", Keyword::Month, 0},
    {"february", Keyword::Month, 1},    {"march", Keyword::Month, 2},
    {"april", Keyword::Month, 3},       {"may", Keyword::Month, 4},
    {"june", Keyword::Month, 5},        {"july", Keyword::Month, 6},
    {"august", Keyword::Month, 7},      {"september", Keyword::Month, 8},
    {"october", Keyword::Month, 9},     {"november", Keyword::Month, 10},
    {"december", Keyword::Month, 11},   {"gmt", Keyword::Zone, 0},
    {"ut", Keyword::Zone, 0},           {"utc", Keyword::Zone, 0},
    {"est", Keyword::Zone, -300},       {"edt", Keyword::Zone, -240},
    {"cst", Keyword::Zone, -360},       {"cdt", Keyword::Zone, -300},
    {"mst", Keyword::Zone, -420},       {"mdt", Keyword::Zone, -360},
    {"pst", Keyword::Zone, -480},       {"pdt", Keyword::Zone, -420},
};

const Keyword* FindKeyword(std::string_view word) {
    for (int i = int(std::size(kKeywords)) - 1; i >= 0; --i) {
        std::string_view key = kKeywords[i].word;
        if (word.size() > key.size()) continue;
        bool prefix = true;
        for (size_t k = 0; k < word.size() && prefix; ++k)
            prefix = std::tolower(static_cast<unsigned char>(word[k])) == key[k];
        if (prefix) return &kKeywords[i];
    }
    return nullptr;
}

bool IsSkipped(unsigned char c) { return c <= ' ' || c == ',' || c >= 0x80 || c == 0x7F; }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

class DateTextParser {
public:
    DateTextParser(std::string_view text, int64_t localOffsetMs) : text_(text), localOffsetMs_(localOffsetMs) {}

    std::optional<double> Run() {
        while (pos_ < text_.size()) {
            unsigned char c = text_[pos_];
            if (IsSkipped(c)) {
                ++pos_;
            } else if (c == '(') {
                SkipComment();
            } else if (c == '+' || c == '/' || c == ':') {
                separator_ = char(c);
                ++pos_;
            } else if (c == '-') {
                ++pos_;
                if (pos_ < text_.size() && IsDigit(text_[pos_])) separator_ = '-';
            } else if (IsDigit(c)) {
                if (!Number()) return std::nullopt;
            } else if (IsLetter(c)) {
                if (!Word()) return std::nullopt;
            } else {
                return std::nullopt;
            }
        }
        return Result();
    }

private:
    static constexpr double kUnset = -1;

    void SkipComment() {
        int depth = 0;
        while (pos_ < text_.size()) {
            char c = text_[pos_++];
            if (c == '(') ++depth;
            if (c == ')' && --depth == 0) return;
        }
    }

    // The character after the number just read, or 0 at the end of the text.
    unsigned char Follower() const { return pos_ < text_.size() ? text_[pos_] : 0; }

    bool SetYear(double value) {
        unsigned char next = Follower();
        if (!(next == 0 || next <= ' ' || next == ',' || next == '/')) return false;
        if (year_ != kUnset) return false;
        year_ = value < 100 ? 1900 + value : value;
        return true;
    }

    bool Number() {
        double value = 0;
        while (pos_ < text_.size() && IsDigit(text_[pos_])) {
            value = value * 10 + (text_[pos_] - '0');
            ++pos_;
        }
        char separator = separator_;
        separator_ = 0;
        bool zoneJustRead = zoneJustRead_;
        zoneJustRead_ = false;
        unsigned char next = Follower();

        if (separator == '+' || separator == '-') {
            if (zoneFromNumber_) return false;
            double minutes = value <= 23 ? value * 60 : std::floor(value / 100) * 60 + std::fmod(value, 100);
            zone_ = separator == '+' ? minutes : -minutes;
            zoneFromNumber_ = true;
            zoneJustRead_ = true;
            return true;
        }
        if (value >= 70) return SetYear(value);
        if (separator == '/' && month_ != kUnset && date_ != kUnset && year_ == kUnset) return SetYear(value);
        if (next == ':') {
            if (hour_ == kUnset) hour_ = value;
            else minute_ = value;
            return true;
        }
        if (next == '/') {
            if (month_ == kUnset) month_ = value - 1;
            else date_ = value;
            return true;
        }
        if (!(next == 0 || next <= ' ' || next == ',' || next == '-')) return false;
        if (zoneJustRead && value < 60) {
            zone_ += zone_ < 0 ? -value : value;
        } else if (hour_ != kUnset && minute_ != kUnset) {
            second_ = value;
        } else if (hour_ != kUnset) {
            minute_ = value;
        } else if (date_ == kUnset) {
            date_ = value;
        } else {
            return false;
        }
        return true;
    }

    bool Word() {
        size_t start = pos_;
        while (pos_ < text_.size() && IsLetter(text_[pos_])) ++pos_;
        zoneJustRead_ = false;
        const Keyword* keyword = FindKeyword(text_.substr(start, pos_ - start));
        if (!keyword) return false;
        switch (keyword->kind) {
            case Keyword::WeekDayName:
                return true;
            case Keyword::Month:
                if (month_ != kUnset) return false;
                month_ = keyword->value;
                return true;
            case Keyword::Zone:
                if (!zoneFromNumber_) zone_ = keyword->value;
                hasZone_ = true;
                return true;
            case Keyword::Meridiem:
                if (hour_ == kUnset || hour_ > 12) return false;
                if (keyword->value == 0 && hour_ == 12) hour_ = 0;
                if (keyword->value == 1 && hour_ != 12) hour_ += 12;
                return true;
        }
        return false;
    }

    std::optional<double> Result() const {
        if (year_ == kUnset || month_ == kUnset || date_ == kUnset) return std::nullopt;
        double time = MakeTime(hour_ == kUnset ? 0 : hour_, minute_ == kUnset ? 0 : minute_,
                               second_ == kUnset ? 0 : second_, 0);
        double local = MakeDate(MakeDay(year_, month_, date_), time);
        if (hasZone_ || zoneFromNumber_) return local - zone_ * 60000.0;
        return local + double(localOffsetMs_);
    }

    std::string_view text_;
    int64_t localOffsetMs_;
    size_t pos_ = 0;
    char separator_ = 0;
    double year_ = kUnset, month_ = kUnset, date_ = kUnset;
    double hour_ = kUnset, minute_ = kUnset, second_ = kUnset;
    double zone_ = 0;  // minutes east of UTC
    bool hasZone_ = false, zoneFromNumber_ = false, zoneJustRead_ = false;
};

}  // namespace

std::optional<double> Parse(std::string_view text, int64_t localOffsetMs) {
    return DateTextParser(text, localOffsetMs).Run();
}

}  // namespace nerva::date
