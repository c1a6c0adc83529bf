// One move-only owner per Win32 handle kind, closed when the owner goes out of scope.
#pragma once

#include <windows.h>

#include <utility>

namespace tavrio {

// What a handle kind is, what its "no handle" value is and how it is closed. Kernel objects
// that CreateFileW and FindFirstFileExW open say "none" with INVALID_HANDLE_VALUE (-1), the rest
// with null.
template <typename Handle, LONG_PTR kInvalid, auto kClose>
struct HandleTraits {
  using type = Handle;
  static Handle invalid() { return reinterpret_cast<Handle>(kInvalid); }
  static void close(Handle h) { kClose(h); }
};

using InvalidIsNull = HandleTraits<HANDLE, 0, &::CloseHandle>;
using InvalidIsMinusOne = HandleTraits<HANDLE, -1, &::CloseHandle>;
using FindHandleTraits = HandleTraits<HANDLE, -1, &::FindClose>;
using FontTraits = HandleTraits<HFONT, 0, &::DeleteObject>;

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
struct MutexTraits : InvalidIsNull {};
struct EventTraits : InvalidIsNull {};

using UniqueFile = UniqueHandle<InvalidIsMinusOne>;  // CreateFileW
using UniqueProcess = UniqueHandle<ProcessTraits>;   // OpenProcess, CreateProcessW
using UniqueThread = UniqueHandle<ThreadTraits>;     // CreateThread, CreateProcessW
using UniquePipe = UniqueHandle<PipeTraits>;         // CreatePipe
using UniqueTimer = UniqueHandle<TimerTraits>;       // CreateWaitableTimerExW
using UniqueMutex = UniqueHandle<MutexTraits>;       // CreateMutexW
using UniqueEvent = UniqueHandle<EventTraits>;       // CreateEventW, OpenEventW
using UniqueFind = UniqueHandle<FindHandleTraits>;   // FindFirstFileExW
using UniqueFont = UniqueHandle<FontTraits>;         // CreateFontW

// The two handles that starting a process gives.
struct ProcessHandles {
  UniqueProcess process;
  UniqueThread thread;
};

}  // namespace tavrio
