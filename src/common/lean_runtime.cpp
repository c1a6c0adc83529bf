// Linked into the shipped programs only. The programs are built without exceptions, but
// libstdc++'s containers still name its throwing helpers and the throwing operator new, which
// would drag in the whole exception runtime and the demangler (over 100 KB). Out of memory or
// a length error cannot be handled meaningfully here, so they end the process.
#include <windows.h>

#include <cstdlib>
#include <new>

namespace {
[[noreturn]] void fatal() {
  ::ExitProcess(3);
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  fatal();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace std {
[[noreturn]] void __throw_length_error(const char*) {
  fatal();
}
[[noreturn]] void __throw_logic_error(const char*) {
  fatal();
}
[[noreturn]] void __throw_out_of_range(const char*) {
  fatal();
}
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) {
  fatal();
}
[[noreturn]] void __throw_invalid_argument(const char*) {
  fatal();
}
[[noreturn]] void __throw_bad_alloc() {
  fatal();
}
[[noreturn]] void __throw_bad_array_new_length() {
  fatal();
}
[[noreturn]] void __throw_bad_function_call() {
  fatal();
}
[[noreturn]] void __throw_system_error(int) {
  fatal();
}
}  // namespace std
