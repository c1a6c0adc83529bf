// The one routine every message box of the uninstaller goes through.
#pragma once

#include <windows.h>

#include <string_view>

namespace tavrio::uninstall {

// MessageBoxW with MB_OK | MB_ICONINFORMATION and the caption "Tavrio" unless another is given;
// returns when dismissed.
void show_message(HWND owner, std::string_view text, const wchar_t* caption = nullptr);

}  // namespace tavrio::uninstall
