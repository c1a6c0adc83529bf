#include "bin/message_box.h"

#include "bin/messages.h"
#include "common/text.h"

namespace tavrio::uninstall {

void show_message(HWND owner, std::string_view text, const wchar_t* caption) {
  const std::wstring wide = widen(text);
  ::MessageBoxW(owner, wide.c_str(), caption != nullptr ? caption : kMessageCaption,
                MB_OK | MB_ICONINFORMATION);
}

}  // namespace tavrio::uninstall
