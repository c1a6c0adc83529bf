// Time: the time of day stamp of log lines ("HH:MM:SS" at UTC+8, whatever the computer's
// zone) and the pause.
#pragma once

#include <cstdint>
#include <string>

namespace tavrio {

// Stamp for a FILETIME value (100 ns ticks since 1601-01-01 UTC); before 1970 counts as 1970.
std::string stamp_from_filetime(std::uint64_t ticks);

// Stamp of the current second.
std::string time_of_day_stamp();

// Sleeps on the calling thread with a high-resolution waitable timer where there is one.
void pause_ms(unsigned milliseconds);

}  // namespace tavrio
