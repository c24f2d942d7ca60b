// Record types shared by the listener and both catchers. They cross the
// exported interface, so their layouts are pinned below.
//
// Widths: the description's unsigned long / DWORD is uint32_t here, int is
// 32-bit and bool is one byte, with natural alignment.
#pragma once

#include <cstddef>
#include <cstdint>

// Local time, eight 16-bit fields in the Win32 order.
struct SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;
  uint16_t wDayOfWeek;  // 0 = Sunday
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16);
static_assert(offsetof(SYSTEMTIME, wDayOfWeek) == 4);
static_assert(offsetof(SYSTEMTIME, wMilliseconds) == 14);
