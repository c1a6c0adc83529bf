#include "common/os_error.h"

#include "common/text.h"

namespace tavrio {
namespace {

constexpr DWORD kNtStatusBit = 0x10000000;

bool is_valid_utf16(const wchar_t* text, DWORD length) {
  for (DWORD i = 0; i < length; ++i) {
    wchar_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= length || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

}  // namespace

OsError last_error() {
  DWORD code = ::GetLastError();
  return {code == 0 ? static_cast<DWORD>(ERROR_GEN_FAILURE) : code};
}

std::string error_text(OsError e) {
  DWORD code = e.code;
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  HMODULE module = nullptr;
  DWORD lookup = code;
  if ((code & kNtStatusBit) != 0) {
    module = ::GetModuleHandleW(L"NTDLL.DLL");
    if (module != nullptr) {
      flags |= FORMAT_MESSAGE_FROM_HMODULE;
      lookup = code & ~kNtStatusBit;
    }
  }
  wchar_t buffer[2048];
  DWORD length = ::FormatMessageW(flags, module, lookup, 0, buffer, 2048, nullptr);
  std::string message;
  if (length == 0) {
    DWORD format_error = ::GetLastError();
    message = "OS Error " + decimal(code) + " (FormatMessageW() returned error " +
              decimal(format_error) + ")";
  } else if (!is_valid_utf16(buffer, length)) {
    message = "OS Error " + decimal(code) + " (FormatMessageW() returned invalid UTF-16)";
  } else {
    while (length > 0 && (buffer[length - 1] == L' ' || buffer[length - 1] == L'\t' ||
                          buffer[length - 1] == L'\r' || buffer[length - 1] == L'\n')) {
      --length;
    }
    message = display_form(std::wstring_view(buffer, length));
  }
  return message + " (os error " + decimal(code) + ")";
}

}  // namespace tavrio
