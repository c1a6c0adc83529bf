// Writes the arguments its C runtime parsed, one per line as UTF-8, to the file named by the
// environment variable ARGV_ECHO_OUT, so a test can compare them with what it sent.
#include <windows.h>

#include <string>

#include "common/text.h"

int wmain(int argc, wchar_t** argv) {
  wchar_t out[1024];
  DWORD n = ::GetEnvironmentVariableW(L"ARGV_ECHO_OUT", out, 1024);
  if (n == 0 || n >= 1024) return 1;
  std::string text;
  for (int i = 0; i < argc; ++i) {
    text += tavrio::display_form(argv[i]);
    text += '\n';
  }
  HANDLE file = ::CreateFileW(out, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  DWORD written = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
  return 0;
}
