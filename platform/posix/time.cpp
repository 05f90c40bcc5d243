// The multimedia timer and the local time.
#include <time.h>

#include <chrono>

#include "platform/win32.h"

DWORD WINAPI timeGetTime() {
  // CLOCK_MONOTONIC counts from boot, as the Windows counter does, and wraps the same way.
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);  // cannot fail for this clock
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);
}

DWORD WINAPI GetTickCount() { return timeGetTime(); }

// The system timer here is already fine-grained: the resolution calls only check their input.
MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS ptc, UINT cbtc) {
  if (ptc == nullptr || cbtc < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
  ptc->wPeriodMin = 1;
  ptc->wPeriodMax = 1000000;
  return TIMERR_NOERROR;
}

MMRESULT WINAPI timeBeginPeriod(UINT uPeriod) { return uPeriod == 0 ? TIMERR_NOCANDO : TIMERR_NOERROR; }
MMRESULT WINAPI timeEndPeriod(UINT uPeriod) { return uPeriod == 0 ? TIMERR_NOCANDO : TIMERR_NOERROR; }

void WINAPI GetLocalTime(LPSYSTEMTIME st) {
  if (st == nullptr) return;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  st->wYear = static_cast<WORD>(local.tm_year + 1900);
  st->wMonth = static_cast<WORD>(local.tm_mon + 1);
  st->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  st->wDay = static_cast<WORD>(local.tm_mday);
  st->wHour = static_cast<WORD>(local.tm_hour);
  st->wMinute = static_cast<WORD>(local.tm_min);
  st->wSecond = static_cast<WORD>(local.tm_sec);
  st->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}
