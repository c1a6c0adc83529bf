// The interactive mode: the uninstall window.
#pragma once

#include <windows.h>

namespace tavrio::uninstall {

// Registers the class, creates and shows the window and runs the message loop until it ends.
void run_uninstall_window();

// Registers the class and creates the window without showing it or running a loop, for
// in-process checks of what WM_CREATE built (fonts cannot be read across processes). nullptr
// when registration or creation failed.
HWND create_uninstall_window(HINSTANCE instance);

// How the detached worker thread is started: CreateThread unless replaced. A test replaces it
// with one that fails, to see the window treat the missing worker as a failed start of the
// cleanup program. nullptr restores CreateThread; returns the starter it replaced.
using ThreadStarter = HANDLE (*)(LPTHREAD_START_ROUTINE routine, void* input);
ThreadStarter replace_thread_starter(ThreadStarter starter);

inline constexpr wchar_t kWindowClass[] = L"TavrioUninstallWindow";
inline constexpr UINT kCompletionMessage = WM_APP + 1;

}  // namespace tavrio::uninstall
