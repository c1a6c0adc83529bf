// A DLL planted beside a program under a system DLL's name: when it is loaded, it leaves
// "planted-dll-loaded.txt" beside itself and refuses to stay, so the system's own is used.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(instance, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return FALSE;
  while (n > 0 && path[n - 1] != L'\\') --n;
  const wchar_t marker[] = L"planted-dll-loaded.txt";
  if (n + sizeof marker / sizeof marker[0] > MAX_PATH) return FALSE;
  for (size_t i = 0; i < sizeof marker / sizeof marker[0]; ++i) path[n + i] = marker[i];
  HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  return FALSE;
}
