#include "common/clock.h"

#include <windows.h>

#include "common/handles.h"

namespace tavrio {
namespace {

constexpr std::uint64_t kUnixEpochTicks = 116444736000000000ull;
constexpr std::uint64_t kTicksPerSecond = 10000000ull;
constexpr std::uint64_t kUtcPlus8 = 8 * 3600;
constexpr DWORD kHighResolutionTimer = 0x2;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION

void append_two_digits(std::string& out, std::uint64_t value) {
  out += static_cast<char>('0' + value / 10);
  out += static_cast<char>('0' + value % 10);
}

}  // namespace

std::string stamp_from_filetime(std::uint64_t ticks) {
  std::uint64_t seconds = ticks < kUnixEpochTicks ? 0 : (ticks - kUnixEpochTicks) / kTicksPerSecond;
  seconds += kUtcPlus8;
  std::string stamp;
  append_two_digits(stamp, (seconds / 3600) % 24);
  stamp += ':';
  append_two_digits(stamp, (seconds / 60) % 60);
  stamp += ':';
  append_two_digits(stamp, seconds % 60);
  return stamp;
}

std::string time_of_day_stamp() {
  FILETIME now;
  ::GetSystemTimePreciseAsFileTime(&now);
  return stamp_from_filetime((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                             now.dwLowDateTime);
}

void pause_ms(unsigned milliseconds) {
  UniqueTimer timer(
      ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS));
  if (timer) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    if (::SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE)) {
      ::WaitForSingleObject(timer.get(), INFINITE);
      return;
    }
  }
  ::Sleep(milliseconds);
}

}  // namespace tavrio
