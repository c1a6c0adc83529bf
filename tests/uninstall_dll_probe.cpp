// Loads "uxtheme.dll" by its bare name with the default search order, as the system does when
// a program opens its first window; the control for the planted-DLL test.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  HMODULE module = ::LoadLibraryW(L"uxtheme.dll");
  if (module != nullptr) ::FreeLibrary(module);
  return 0;
}
