// The one routine every message box of the uninstaller goes through.
#pragma once

#include <windows.h>

#include <string_view>

namespace tavrio::uninstall {

// MessageBoxW with the caption "Tavrio" and MB_OK | MB_ICONINFORMATION; returns when dismissed.
void show_message(HWND owner, std::string_view text);

}  // namespace tavrio::uninstall
