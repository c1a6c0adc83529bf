// The interactive mode: the uninstall window.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace tavrio::uninstall {

// Registers the class, creates and shows the window for the install directory that the mode
// dispatch resolved, and runs the message loop until it ends. Returns the exit code: 0, or with
// `first_process_waits` (--wait) what the wait for the cleanup copy's report gave once the
// window has closed, and 1 when no cleanup copy was started.
int run_uninstall_window(const std::wstring& install_dir, bool first_process_waits = false);

// How the worker thread is started: CreateThread (start_thread) for the program. A test gives one
// that fails, to see the window treat the missing worker as a failed start of the cleanup program.
using ThreadStarter = HANDLE (*)(LPTHREAD_START_ROUTINE routine, void* input);
HANDLE start_thread(LPTHREAD_START_ROUTINE routine, void* input);

// What one window owns: the install directory it shows and acts on, the font, the busy flag and
// the worker. The window procedure finds it through the creation parameter.
struct WindowState;

// The window without its message loop, for in-process checks of what WM_CREATE built (fonts
// cannot be read across processes). The window is created hidden; the state lives as long as
// this object, which destroys the window first.
class UninstallWindow {
 public:
  explicit UninstallWindow(std::wstring install_dir, bool first_process_waits = false,
                           ThreadStarter starter = start_thread);
  ~UninstallWindow();
  UninstallWindow(const UninstallWindow&) = delete;
  UninstallWindow& operator=(const UninstallWindow&) = delete;

  // Registers the class (once per process) and creates the window; nullptr on failure.
  HWND create(HINSTANCE instance);
  // Shows the window and dispatches messages until the window is gone. Besides the messages it
  // watches the worker: a worker that ends without its completion message reaching the window
  // still lets the window close.
  void show_and_run();
  // Once the window has closed: the exit code of run_uninstall_window.
  int exit_code() const;

 private:
  std::unique_ptr<WindowState> state_;
};

inline constexpr wchar_t kWindowClass[] = L"TavrioUninstallWindow";
inline constexpr UINT kCompletionMessage = WM_APP + 1;

}  // namespace tavrio::uninstall
