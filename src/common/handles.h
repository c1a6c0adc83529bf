// One move-only owner per Win32 handle kind, closed when the owner goes out of scope.
#pragma once

#include <windows.h>

#include <utility>

namespace tavrio {

struct InvalidIsNull {
  static HANDLE invalid() { return nullptr; }
  static void close(HANDLE h) { ::CloseHandle(h); }
};

struct InvalidIsMinusOne {
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { ::CloseHandle(h); }
};

struct FindHandleTraits {
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { ::FindClose(h); }
};

template <typename Traits>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE h) : handle_(h) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != Traits::invalid() && handle_ != nullptr; }
  explicit operator bool() const { return valid(); }

  void reset(HANDLE h = Traits::invalid()) {
    if (valid()) Traits::close(handle_);
    handle_ = h;
  }
  HANDLE release() { return std::exchange(handle_, Traits::invalid()); }

 private:
  HANDLE handle_ = Traits::invalid();
};

using UniqueFile = UniqueHandle<InvalidIsMinusOne>;  // CreateFileW
using UniqueHandleOrNull = UniqueHandle<InvalidIsNull>;
using UniqueProcess = UniqueHandle<InvalidIsNull>;  // OpenProcess, CreateProcessW
using UniqueThread = UniqueHandle<InvalidIsNull>;
using UniqueFind = UniqueHandle<FindHandleTraits>;  // FindFirstFileExW

}  // namespace tavrio
