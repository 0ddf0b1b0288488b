// Simulated kernel: the system clock kept in the shared user data page, and the kernel's conversion of a
// system time (100 ns units since 1601-01-01 UTC) to calendar fields.
#include <atomic>
#include <stdexcept>

#include "sim_internal.h"

namespace {

// KUSER_SHARED_DATA.SystemTime: the clock interrupt stores it and readers take it without a lock, even
// at bug check.
std::atomic<LONG64> SharedSystemTime{0};

constexpr LONG64 TicksPerMillisecond = 10000;
constexpr LONG64 TicksPerSecond = 1000 * TicksPerMillisecond;
constexpr LONG64 TicksPerMinute = 60 * TicksPerSecond;
constexpr LONG64 TicksPerHour = 60 * TicksPerMinute;
constexpr LONG64 TicksPerDay = 24 * TicksPerHour;

constexpr LONG64 DaysPerYear = 365;
constexpr LONG64 DaysPer4Years = 4 * DaysPerYear + 1;
constexpr LONG64 DaysPer100Years = 25 * DaysPer4Years - 1;
constexpr LONG64 DaysPer400Years = 4 * DaysPer100Years + 1;

constexpr int FirstYear = 1601;
constexpr int LastWholeYear = 30827;  // the last year a LONG64 system time covers completely
constexpr int FirstDayWeekday = 1;   // 1601-01-01 was a Monday; Sunday is 0

// Cumulative days before each month, for common and leap years.
constexpr int DaysBeforeMonth[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

struct CalendarDate {
    LONG64 Year;
    int Month;  // 1-12
    int Day;    // 1-31
};

bool IsLeapYear(LONG64 Year) {
    return (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
}

// Division rounding toward minus infinity, so that times before 1601 continue the same calendar backwards.
LONG64 FloorDivide(LONG64 Value, LONG64 Divisor) {
    const LONG64 Quotient = Value / Divisor;
    return (Value % Divisor != 0 && Value < 0) ? Quotient - 1 : Quotient;
}

LONG64 FloorModulo(LONG64 Value, LONG64 Divisor) {
    return Value - FloorDivide(Value, Divisor) * Divisor;
}

// 1601 opens a 400-year Gregorian cycle: within it, each century and each 4-year block ends with its
// longest year, so the last day of a block divides to one past the end and is pulled back.
CalendarDate DateFromDayNumber(LONG64 DayNumber) {
    const LONG64 Cycles = FloorDivide(DayNumber, DaysPer400Years);
    LONG64 Rest = DayNumber - Cycles * DaysPer400Years;
    LONG64 Centuries = Rest / DaysPer100Years;
    if (Centuries == 4) {
        Centuries = 3;
    }
    Rest -= Centuries * DaysPer100Years;
    const LONG64 Blocks = Rest / DaysPer4Years;
    Rest -= Blocks * DaysPer4Years;
    LONG64 Years = Rest / DaysPerYear;
    if (Years == 4) {
        Years = 3;
    }
    const LONG64 DayOfYear = Rest - Years * DaysPerYear;

    CalendarDate Date;
    Date.Year = FirstYear + 400 * Cycles + 100 * Centuries + 4 * Blocks + Years;
    const int* MonthStarts = DaysBeforeMonth[IsLeapYear(Date.Year) ? 1 : 0];
    Date.Month = 1;
    while (DayOfYear >= MonthStarts[Date.Month]) {
        Date.Month++;
    }
    Date.Day = (int)(DayOfYear - MonthStarts[Date.Month - 1]) + 1;
    return Date;
}

LONG64 LeapYearsBefore(LONG64 Year) {
    const LONG64 Previous = Year - 1;
    return FloorDivide(Previous, 4) - FloorDivide(Previous, 100) + FloorDivide(Previous, 400);
}

LONG64 DayNumberFromDate(int Year, int Month, int Day) {
    const LONG64 WholeYears = (LONG64)Year - FirstYear;
    const LONG64 LeapDays = LeapYearsBefore(Year) - LeapYearsBefore(FirstYear);
    return WholeYears * DaysPerYear + LeapDays + DaysBeforeMonth[IsLeapYear(Year) ? 1 : 0][Month - 1] + Day - 1;
}

void RequireField(bool InRange, const char* Field) {
    if (!InRange) {
        throw std::invalid_argument(std::string("SystemTimeFromFields: ") + Field + " out of range");
    }
}

}  // namespace

extern "C" void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = SharedSystemTime.load(std::memory_order_relaxed);
}

extern "C" void RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields) {
    const LONG64 DayNumber = FloorDivide(Time->QuadPart, TicksPerDay);
    const LONG64 TimeOfDay = FloorModulo(Time->QuadPart, TicksPerDay);
    const CalendarDate Date = DateFromDayNumber(DayNumber);

    TimeFields->Year = (CSHORT)Date.Year;
    TimeFields->Month = (CSHORT)Date.Month;
    TimeFields->Day = (CSHORT)Date.Day;
    TimeFields->Hour = (CSHORT)(TimeOfDay / TicksPerHour);
    TimeFields->Minute = (CSHORT)(TimeOfDay % TicksPerHour / TicksPerMinute);
    TimeFields->Second = (CSHORT)(TimeOfDay % TicksPerMinute / TicksPerSecond);
    TimeFields->Milliseconds = (CSHORT)(TimeOfDay % TicksPerSecond / TicksPerMillisecond);
    TimeFields->Weekday = (CSHORT)FloorModulo(DayNumber + FirstDayWeekday, 7);
}

namespace sim {

void SetSystemTime(LONG64 SystemTime) {
    SharedSystemTime.store(SystemTime, std::memory_order_relaxed);
}

// A test helper: a date that does not exist is a mistake in the test, reported as an exception rather
// than quietly carried into the next month.
LONG64 SystemTimeFromFields(int Year, int Month, int Day, int Hour, int Minute, int Second, int Milliseconds) {
    RequireField(Year >= FirstYear && Year <= LastWholeYear, "year");
    RequireField(Month >= 1 && Month <= 12, "month");
    const int* MonthStarts = DaysBeforeMonth[IsLeapYear(Year) ? 1 : 0];
    RequireField(Day >= 1 && Day <= MonthStarts[Month] - MonthStarts[Month - 1], "day");
    RequireField(Hour >= 0 && Hour < 24, "hour");
    RequireField(Minute >= 0 && Minute < 60, "minute");
    RequireField(Second >= 0 && Second < 60, "second");
    RequireField(Milliseconds >= 0 && Milliseconds < 1000, "milliseconds");

    return DayNumberFromDate(Year, Month, Day) * TicksPerDay + Hour * TicksPerHour + Minute * TicksPerMinute +
           Second * TicksPerSecond + Milliseconds * TicksPerMillisecond;
}

void ResetTime() {
    SharedSystemTime.store(0, std::memory_order_relaxed);
}

}  // namespace sim
