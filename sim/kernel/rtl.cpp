// Run-time library routines that are neither strings nor registry: memory comparison
// and the conversion between 100 ns system time and calendar fields.
#include "nt/rtl.h"

namespace {

constexpr LONGLONG kTicksPerMs = 10000;
constexpr LONGLONG kMsPerDay = 86400000;

// Days from 1601-01-01 to year-month-day of the proleptic Gregorian calendar.
LONGLONG DaysFromCivil(LONGLONG y, unsigned m, unsigned d) {
  y -= m <= 2;
  const LONGLONG era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = (unsigned)(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const LONGLONG daysSince1970 = era * 146097 + (LONGLONG)doe - 719468;
  return daysSince1970 + 134774;  // 1601-01-01 .. 1970-01-01
}

void CivilFromDays(LONGLONG days1601, LONGLONG* year, unsigned* month, unsigned* day) {
  LONGLONG z = days1601 - 134774 + 719468;
  const LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = (unsigned)(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = (LONGLONG)yoe + era * 400 + (*month <= 2);
}

bool IsLeap(LONGLONG y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

extern "C" {

SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
  const UCHAR* a = (const UCHAR*)Source1;
  const UCHAR* b = (const UCHAR*)Source2;
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

void NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields) {
  LONGLONG ms = Time->QuadPart / kTicksPerMs;
  LONGLONG days = ms / kMsPerDay;
  LONGLONG rest = ms % kMsPerDay;
  LONGLONG year;
  unsigned month, day;
  CivilFromDays(days, &year, &month, &day);
  TimeFields->Year = (CSHORT)year;
  TimeFields->Month = (CSHORT)month;
  TimeFields->Day = (CSHORT)day;
  TimeFields->Hour = (CSHORT)(rest / 3600000);
  TimeFields->Minute = (CSHORT)(rest / 60000 % 60);
  TimeFields->Second = (CSHORT)(rest / 1000 % 60);
  TimeFields->Milliseconds = (CSHORT)(rest % 1000);
  TimeFields->Weekday = (CSHORT)((days + 1) % 7);  // 1601-01-01 was a Monday
}

BOOLEAN NTAPI RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time) {
  static const CSHORT kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const TIME_FIELDS& f = *TimeFields;
  if (f.Year < 1601 || f.Month < 1 || f.Month > 12 || f.Day < 1 || f.Hour < 0 || f.Hour > 23 || f.Minute < 0 ||
      f.Minute > 59 || f.Second < 0 || f.Second > 59 || f.Milliseconds < 0 || f.Milliseconds > 999) {
    return FALSE;
  }
  CSHORT limit = kDaysInMonth[f.Month - 1] + ((f.Month == 2 && IsLeap(f.Year)) ? 1 : 0);
  if (f.Day > limit) return FALSE;
  LONGLONG days = DaysFromCivil(f.Year, (unsigned)f.Month, (unsigned)f.Day);
  LONGLONG ms = days * kMsPerDay + f.Hour * 3600000LL + f.Minute * 60000LL + f.Second * 1000LL + f.Milliseconds;
  Time->QuadPart = ms * kTicksPerMs;
  return TRUE;
}

}  // extern "C"
