// Simulated kernel: the system clock (KeQuerySystemTime) and RtlTimeToTimeFields' calendar. Expected
// system times were worked out from Unix times (GNU date) plus 116444736000000000, the 1970 epoch in
// 100 ns units since 1601.
#include <cstring>
#include <stdexcept>

#include "kernel_test.h"

namespace {

struct ExpectedFields {
    CSHORT Year, Month, Day, Hour, Minute, Second, Milliseconds, Weekday;
};

constexpr CSHORT Sunday = 0, Monday = 1, Tuesday = 2, Thursday = 4, Friday = 5;

TIME_FIELDS FieldsOf(LONG64 SystemTime) {
    LARGE_INTEGER Time;
    Time.QuadPart = SystemTime;
    TIME_FIELDS Fields;
    memset(&Fields, 0xCC, sizeof(Fields));
    RtlTimeToTimeFields(&Time, &Fields);
    return Fields;
}

void ExpectFields(const TIME_FIELDS& Actual, const ExpectedFields& Expected) {
    EXPECT_EQ(Actual.Year, Expected.Year);
    EXPECT_EQ(Actual.Month, Expected.Month);
    EXPECT_EQ(Actual.Day, Expected.Day);
    EXPECT_EQ(Actual.Hour, Expected.Hour);
    EXPECT_EQ(Actual.Minute, Expected.Minute);
    EXPECT_EQ(Actual.Second, Expected.Second);
    EXPECT_EQ(Actual.Milliseconds, Expected.Milliseconds);
    EXPECT_EQ(Actual.Weekday, Expected.Weekday);
}

class KernelClock : public KernelTest {};

TEST_F(KernelClock, BootsAtTimeZero) {
    LARGE_INTEGER Now;
    Now.QuadPart = -1;
    KeQuerySystemTime(&Now);
    EXPECT_EQ(Now.QuadPart, 0);
}

TEST_F(KernelClock, QueryReadsTheSharedSystemTime) {
    sim::SetSystemTime(134411778151230000);
    LARGE_INTEGER Now;
    KeQuerySystemTime(&Now);
    EXPECT_EQ(Now.QuadPart, 134411778151230000);
}

TEST_F(KernelClock, ResetStopsTheClockAtZero) {
    sim::SetSystemTime(134411778151230000);
    sim::Reset();
    LARGE_INTEGER Now;
    KeQuerySystemTime(&Now);
    EXPECT_EQ(Now.QuadPart, 0);
}

class KernelTimeFields : public KernelTest {};

TEST_F(KernelTimeFields, TimeZeroIsMondayJanuaryFirst1601) {
    ExpectFields(FieldsOf(0), {1601, 1, 1, 0, 0, 0, 0, Monday});
}

TEST_F(KernelTimeFields, EveryFieldOfAnOrdinaryMoment) {
    ExpectFields(FieldsOf(134411778151230000), {2026, 12, 8, 4, 30, 15, 123, Tuesday});
}

TEST_F(KernelTimeFields, UnixEpoch) {
    ExpectFields(FieldsOf(116444736000000000), {1970, 1, 1, 0, 0, 0, 0, Thursday});
}

TEST_F(KernelTimeFields, LeapDay) {
    ExpectFields(FieldsOf(133536816000000000), {2024, 2, 29, 12, 0, 0, 0, Thursday});
}

TEST_F(KernelTimeFields, DayAfterLeapDayIsMarchFirst) {
    ExpectFields(FieldsOf(133537248000000000), {2024, 3, 1, 0, 0, 0, 0, Friday});
}

TEST_F(KernelTimeFields, DecemberThirtyFirstIsDay366OfALeapYear) {
    ExpectFields(FieldsOf(126227807990000000), {2000, 12, 31, 23, 59, 59, 0, Sunday});
    ExpectFields(FieldsOf(126227808000000000), {2001, 1, 1, 0, 0, 0, 0, Monday});
}

TEST_F(KernelTimeFields, LastMillisecondOfAYear) {
    ExpectFields(FieldsOf(133485407999999999), {2023, 12, 31, 23, 59, 59, 999, Sunday});
    ExpectFields(FieldsOf(133485408000000000), {2024, 1, 1, 0, 0, 0, 0, Monday});
}

TEST_F(KernelTimeFields, CenturyNotDivisibleBy400HasNoLeapDay) {
    ExpectFields(FieldsOf(157519296000000000), {2100, 2, 28, 0, 0, 0, 0, Sunday});
    ExpectFields(FieldsOf(157520160000000000), {2100, 3, 1, 0, 0, 0, 0, Monday});
}

TEST_F(KernelTimeFields, LargestSystemTime) {
    ExpectFields(FieldsOf(0x7FFFFFFFFFFFFFFF), {30828, 9, 14, 2, 48, 5, 477, Thursday});
}

TEST_F(KernelTimeFields, SystemTimeFromFieldsCountsFrom1601) {
    EXPECT_EQ(sim::SystemTimeFromFields(1601, 1, 1, 0, 0, 0, 0), 0);
    EXPECT_EQ(sim::SystemTimeFromFields(1970, 1, 1, 0, 0, 0, 0), 116444736000000000);
    EXPECT_EQ(sim::SystemTimeFromFields(2026, 12, 8, 4, 30, 15, 123), 134411778151230000);
    EXPECT_EQ(sim::SystemTimeFromFields(2000, 12, 31, 23, 59, 59, 0), 126227807990000000);
    EXPECT_EQ(sim::SystemTimeFromFields(2100, 3, 1, 0, 0, 0, 0), 157520160000000000);
}

TEST_F(KernelTimeFields, SystemTimeFromFieldsRejectsDatesThatDoNotExist) {
    EXPECT_THROW(sim::SystemTimeFromFields(2023, 2, 29, 0, 0, 0, 0), std::invalid_argument);
    EXPECT_THROW(sim::SystemTimeFromFields(2024, 13, 1, 0, 0, 0, 0), std::invalid_argument);
    EXPECT_THROW(sim::SystemTimeFromFields(2024, 1, 1, 24, 0, 0, 0), std::invalid_argument);
    EXPECT_THROW(sim::SystemTimeFromFields(1600, 12, 31, 0, 0, 0, 0), std::invalid_argument);
}

// Walks every day of the first two 400-year cycles: each converts back to the date it came from, and
// the weekday moves on by one each day.
TEST_F(KernelTimeFields, EveryDayRoundTripsAndAdvancesTheWeekday) {
    const int DaysInMonth[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    CSHORT ExpectedWeekday = Monday;
    for (int Year = 1601; Year <= 2400; Year++) {
        const bool Leap = (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
        for (int Month = 1; Month <= 12; Month++) {
            const int Days = DaysInMonth[Month] + (Month == 2 && Leap ? 1 : 0);
            for (int Day = 1; Day <= Days; Day++) {
                const TIME_FIELDS Fields = FieldsOf(sim::SystemTimeFromFields(Year, Month, Day, 13, 14, 15, 16));
                ASSERT_EQ(Fields.Year, Year);
                ASSERT_EQ(Fields.Month, Month);
                ASSERT_EQ(Fields.Day, Day);
                ASSERT_EQ(Fields.Hour, 13);
                ASSERT_EQ(Fields.Minute, 14);
                ASSERT_EQ(Fields.Second, 15);
                ASSERT_EQ(Fields.Milliseconds, 16);
                ASSERT_EQ(Fields.Weekday, ExpectedWeekday) << Year << "-" << Month << "-" << Day;
                ExpectedWeekday = (CSHORT)((ExpectedWeekday + 1) % 7);
            }
        }
    }
}

}  // namespace
