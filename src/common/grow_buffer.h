// The one loop around the Win32 calls that fill a caller's buffer with a text of unknown length
// (GetFullPathNameW, GetModuleFileNameW, GetEnvironmentVariableW, GetTempPathW, ...).
#pragma once

#include <windows.h>

#include <string>

#include "common/os_error.h"

namespace tavrio {

inline constexpr DWORD kMaxGrownBuffer = 65536;  // longer than any path or variable can be

// `call(buffer, size)` is the Win32 call: it returns the length written when the text fits (less
// than `size`), 0 on failure, and otherwise the size it needs, or `size` itself when it only cut
// the text short (GetModuleFileNameW). The buffer grows until the text fits. A call that gives
// nothing and no reason fails with ERROR_PATH_NOT_FOUND, never with code 0.
template <typename Call>
Status read_growing(std::wstring* text, Call call) {
  std::wstring buffer(MAX_PATH + 1, L'\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) {
      const DWORD error = ::GetLastError();
      return OsError{error == ERROR_SUCCESS ? ERROR_PATH_NOT_FOUND : error};
    }
    if (n < buffer.size()) {
      buffer.resize(n);
      *text = std::move(buffer);
      return {};
    }
    if (buffer.size() >= kMaxGrownBuffer) return OsError{ERROR_INSUFFICIENT_BUFFER};
    buffer.resize(n > buffer.size() ? n : buffer.size() * 2);
  }
}

}  // namespace tavrio
