// One move-only owner per Win32 handle kind, closed when the owner goes out of scope.
#pragma once

#include <windows.h>

#include <utility>

namespace tavrio {

struct InvalidIsNull {
  using type = HANDLE;
  static HANDLE invalid() { return nullptr; }
  static void close(HANDLE h) { ::CloseHandle(h); }
};

struct InvalidIsMinusOne {
  using type = HANDLE;
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { ::CloseHandle(h); }
};

struct FindHandleTraits {
  using type = HANDLE;
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { ::FindClose(h); }
};

struct FontTraits {
  using type = HFONT;
  static HFONT invalid() { return nullptr; }
  static void close(HFONT f) { ::DeleteObject(f); }
};

template <typename Traits>
class UniqueHandle {
  using Handle = typename Traits::type;

 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle h) : handle_(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  Handle get() const { return handle_; }
  bool valid() const { return handle_ != Traits::invalid() && handle_ != nullptr; }
  explicit operator bool() const { return valid(); }

  void reset(Handle h = Traits::invalid()) {
    if (valid()) Traits::close(handle_);
    handle_ = h;
  }
  Handle release() { return std::exchange(handle_, Traits::invalid()); }

 private:
  Handle handle_ = Traits::invalid();
};

// Kinds that close the same way are still distinct types, so that a thread handle cannot be
// passed where a process handle is expected.
struct ProcessTraits : InvalidIsNull {};
struct ThreadTraits : InvalidIsNull {};
struct PipeTraits : InvalidIsNull {};
struct TimerTraits : InvalidIsNull {};

using UniqueFile = UniqueHandle<InvalidIsMinusOne>;  // CreateFileW
using UniqueProcess = UniqueHandle<ProcessTraits>;   // OpenProcess, CreateProcessW
using UniqueThread = UniqueHandle<ThreadTraits>;     // CreateThread, CreateProcessW
using UniquePipe = UniqueHandle<PipeTraits>;         // CreatePipe
using UniqueTimer = UniqueHandle<TimerTraits>;       // CreateWaitableTimerExW
using UniqueFind = UniqueHandle<FindHandleTraits>;   // FindFirstFileExW
using UniqueFont = UniqueHandle<FontTraits>;         // CreateFontW

// The two handles that starting a process gives.
struct ProcessHandles {
  UniqueProcess process;
  UniqueThread thread;
};

}  // namespace tavrio
