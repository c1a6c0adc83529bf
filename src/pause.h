// The updater's only way of waiting, passed in so that tests of the retries need not sleep.
#pragma once

#include <functional>

namespace tavrio::updater {

using Pause = std::function<void(unsigned milliseconds)>;

// The real pause of the common operations.
Pause real_pause();

}  // namespace tavrio::updater
