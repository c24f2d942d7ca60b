// Time sources: a 32-bit millisecond tick and the local wall clock.
#pragma once

#include <poshark/KeyRecords.h>

#include <cstdint>
#include <functional>

namespace poshark::platform {

// Milliseconds from CLOCK_MONOTONIC, wrapping at 2^32; compare with unsigned
// differences.
uint32_t GetTickCount();
// The same from CLOCK_MONOTONIC_COARSE: the kernel's last tick, a few
// milliseconds behind at most and far cheaper to read, for stamps taken
// for every record.
uint32_t GetCoarseTickCount();

// Local time now, from clock_gettime and localtime_r (or the test source).
void GetLocalTime(SYSTEMTIME* pTime);

// 0 = Sunday. Valid for every Gregorian date.
uint16_t DayOfWeek(int nYear, int nMonth, int nDay);

// Test hook: replaces the source of GetLocalTime; an empty function restores
// the real clock. Not for production use.
void SetLocalTimeSourceForTesting(std::function<SYSTEMTIME()> source);

}  // namespace poshark::platform
