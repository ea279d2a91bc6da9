// Calendar arithmetic of Date: time values are milliseconds since 1 January 1970 UTC held in
// doubles, broken down with the day-based formulas of the third-edition ECMAScript calendar.
// Also the date-text parser and the two text forms of a date.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nerva::date {

constexpr double kMsPerDay = 86400000.0;
constexpr double kMaxTimeValue = 8.64e15;

double Day(double t);
double TimeWithinDay(double t);
int DaysInYear(double year);
double DayFromYear(double year);
double TimeFromYear(double year);
double YearFromTime(double t);
bool InLeapYear(double t);
int MonthFromTime(double t);  // 0 to 11
int DateFromTime(double t);   // 1 to 31
int WeekDay(double t);        // 0 = Sunday
int HourFromTime(double t);
int MinFromTime(double t);
int SecFromTime(double t);
int MsFromTime(double t);

double MakeTime(double hour, double min, double sec, double ms);
double MakeDay(double year, double month, double date);
double MakeDate(double day, double time);
// NaN when the value is not finite or beyond 8.64e15 in magnitude; else the value truncated.
double TimeClip(double t);
inline bool InClipRange(double t) { return t == t && t >= -kMaxTimeValue && t <= kMaxTimeValue; }

// The broken-down fields of a time value.
struct Fields {
    double year;
    int month, date, weekDay, hours, minutes, seconds, ms;
};
Fields Split(double t);

// Parses a date text. `localOffsetMs` is UTC minus local time; it applies when the text names
// no zone. Nothing when the text is not a date.
std::optional<double> Parse(std::string_view text, int64_t localOffsetMs);

// "Thu Jan 01 00:00:00 GMT+000 1970" for the local time t - localOffsetMs.
std::string ToLocalText(double t, int64_t localOffsetMs);
// "Thu, 01 Jan 1970 00:00:00 GMT".
std::string ToGmtText(double t);

}  // namespace nerva::date
