#include "pause.h"

#include "common/clock.h"
#include "common/file_ops.h"

namespace tavrio::updater {

Pause real_pause() {
  return [](unsigned milliseconds) { pause_ms(milliseconds); };
}

}  // namespace tavrio::updater
