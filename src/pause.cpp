#include "pause.h"

#include "common/clock.h"

namespace tavrio::updater {

Pause real_pause() {
  return [](unsigned milliseconds) { pause_ms(milliseconds); };
}

ProcessWait real_process_wait() {
  return [](HANDLE process, unsigned milliseconds) {
    // Anything but a time-out, a failed wait included, counts as ended.
    return ::WaitForSingleObject(process, milliseconds) != WAIT_TIMEOUT;
  };
}

}  // namespace tavrio::updater
