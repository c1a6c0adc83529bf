#include "common/file_name.h"

#include "common/path.h"

namespace tavrio {
namespace {

// Names that Win32 takes for a device in any folder, also with an extension ("NUL.exe").
constexpr std::wstring_view kDeviceNames[] = {
    L"CON",  L"PRN",       L"AUX",       L"NUL",       L"CONIN$",    L"CONOUT$", L"COM0",
    L"COM1", L"COM2",      L"COM3",      L"COM4",      L"COM5",      L"COM6",    L"COM7",
    L"COM8", L"COM9",      L"COM\u00B9", L"COM\u00B2", L"COM\u00B3", L"LPT0",    L"LPT1",
    L"LPT2", L"LPT3",      L"LPT4",      L"LPT5",      L"LPT6",      L"LPT7",    L"LPT8",
    L"LPT9", L"LPT\u00B9", L"LPT\u00B2", L"LPT\u00B3",
};

bool is_device_name(std::wstring_view name) {
  std::wstring_view stem = name.substr(0, name.find(L'.'));
  while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
  for (std::wstring_view device : kDeviceNames) {
    if (same_name(stem, device)) return true;
  }
  return false;
}

}  // namespace

bool is_plain_file_name(std::wstring_view name) {
  if (name.empty() || name.size() > kMaxFileNameLength || name == L"." || name == L"..") {
    return false;
  }
  if (name.back() == L'.' || name.back() == L' ') return false;
  for (wchar_t c : name) {
    if (c < 0x20 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos) {
      return false;
    }
  }
  return !is_device_name(name);
}

}  // namespace tavrio
