#include "common/path.h"

#include "common/grow_buffer.h"

#include <windows.h>

namespace tavrio {
namespace {

bool is_drive_letter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool has_drive(const std::wstring& p) {
  return p.size() >= 2 && is_drive_letter(p[0]) && p[1] == L':';
}

bool starts_with(const std::wstring& s, std::wstring_view prefix) {
  return s.size() >= prefix.size() && std::wstring_view(s).substr(0, prefix.size()) == prefix;
}

// Paths from this length on get the "\\?\" form, as the system's own file APIs do.
constexpr size_t kLongPathThreshold = 247;

}  // namespace

std::wstring join(const std::wstring& path, const std::wstring& name) {
  if (has_drive(name)) return name;
  if (path.empty() || path.back() == L'\\' || path.back() == L'/' ||
      (path.size() == 2 && has_drive(path))) {
    return path + name;
  }
  return path + L"\\" + name;
}

std::wstring full_path(const std::wstring& path) {
  std::wstring full;
  Status made = read_growing(&full, [&](wchar_t* buffer, DWORD size) {
    return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr);
  });
  return made.ok() ? full : path;
}

std::wstring absolute_path(const std::wstring& path) {
  if (starts_with(path, L"\\\\?\\") || starts_with(path, L"\\??\\")) return path;
  return full_path(path);
}

bool is_full_path(const std::wstring& path) {
  auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (has_drive(path)) return path.size() > 2 && separator(path[2]);
  if (starts_with(path, L"\\??\\")) return true;
  return path.size() > 2 && separator(path[0]) && separator(path[1]) && !separator(path[2]);
}

std::wstring win32_path(const std::wstring& path) {
  if (starts_with(path, L"\\\\?\\") || starts_with(path, L"\\??\\") ||
      starts_with(path, L"\\\\.\\") || path.size() < kLongPathThreshold) {
    return path;
  }
  std::wstring full = full_path(path);
  if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) return full;
  if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::wstring text_before_last_separator(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring last_component(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

int compare_names(std::wstring_view a, std::wstring_view b) {
  // CSTR_LESS_THAN, CSTR_EQUAL and CSTR_GREATER_THAN are 1, 2 and 3.
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) -
         CSTR_EQUAL;
}

bool same_name(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && compare_names(a, b) == 0;
}

bool starts_with_name(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && same_name(text.substr(0, prefix.size()), prefix);
}

std::wstring without_device_prefix(const std::wstring& path) {
  std::wstring_view rest = path;
  if (rest.starts_with(L"\\\\?\\UNC\\") || rest.starts_with(L"\\??\\UNC\\")) {
    return L"\\\\" + std::wstring(rest.substr(8));
  }
  if (rest.starts_with(L"\\\\?\\") || rest.starts_with(L"\\??\\")) rest.remove_prefix(4);
  return std::wstring(rest);
}

Status own_executable_path(std::wstring* path) {
  return read_growing(path, [](wchar_t* buffer, DWORD size) {
    return ::GetModuleFileNameW(nullptr, buffer, size);
  });
}

}  // namespace tavrio
