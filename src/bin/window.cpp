// The interactive mode: a plain Win32 window that shows the install directory, lets the user
// keep or delete the local data and hands the removal to a worker thread, so that the window
// keeps painting while taskkill runs and the cleanup copy is made.
#include "bin/window.h"

#include <atomic>
#include <iterator>
#include <memory>
#include <string>

#include "bin/cleanup_copy.h"
#include "bin/locations.h"
#include "bin/message.h"
#include "bin/removal.h"
#include "common/command_line.h"
#include "common/handles.h"
#include "common/os_error.h"
#include "common/text.h"

namespace tavrio::uninstall {
namespace {

constexpr wchar_t kWindowTitle[] = L"卸载 Tavrio";
constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kWindowWidth = 430;
constexpr int kWindowHeight = 215;
constexpr wchar_t kFontFace[] = L"Microsoft YaHei";

constexpr char kInstallLocationLabel[] = "安装位置";
constexpr char kKeepDataChoice[] = "只卸载程序，保留本地资料（账号、题库、配置）";
constexpr char kDeleteDataChoice[] = "同时删除本地资料，无法恢复";
constexpr char kUninstallButton[] = "卸载";
constexpr char kCancelButton[] = "取消";
constexpr char kCleaningUpStatus[] = "正在清理…";

// Setup log and message box texts of the worker.
constexpr char kStartingUninstall[] = "开始卸载 ";
constexpr char kModeDeleteData[] = "同时删除本地资料";
constexpr char kModeKeepData[] = "保留本地资料";
constexpr char kModeOpen[] = "（";
constexpr char kModeClose[] = "）";
constexpr char kUninstallFailed[] = "卸载失败：";
constexpr char kManualDeletionHint[] = "可以手动删除安装目录：";

constexpr int kKeepDataId = 1;
constexpr int kDeleteDataId = 2;
constexpr int kUninstallId = 3;
constexpr int kCancelId = 4;
constexpr int kStatusId = 5;

enum class ControlText { kFixed, kInstallDir };

struct ControlRow {
  const wchar_t* window_class;
  ControlText source;
  const char* text;  // UTF-8, for kFixed
  DWORD styles;      // besides WS_CHILD
  int id;
  int x, y, width, height;
};

// In creation order; the two labels carry id 0 and are never addressed.
constexpr ControlRow kControls[] = {
    {L"STATIC", ControlText::kFixed, kInstallLocationLabel, WS_VISIBLE, 0, 18, 14, 380, 16},
    {L"STATIC", ControlText::kInstallDir, "", WS_VISIBLE, 0, 18, 32, 380, 18},
    {L"BUTTON", ControlText::kFixed, kKeepDataChoice, WS_VISIBLE | WS_GROUP | BS_AUTORADIOBUTTON,
     kKeepDataId, 18, 62, 380, 20},
    {L"BUTTON", ControlText::kFixed, kDeleteDataChoice, WS_VISIBLE | BS_AUTORADIOBUTTON,
     kDeleteDataId, 18, 86, 380, 20},
    {L"STATIC", ControlText::kFixed, "", WS_VISIBLE, kStatusId, 18, 112, 380, 18},
    {L"BUTTON", ControlText::kFixed, kUninstallButton, WS_VISIBLE | BS_DEFPUSHBUTTON, kUninstallId,
     222, 138, 82, 30},
    {L"BUTTON", ControlText::kFixed, kCancelButton, WS_VISIBLE | BS_PUSHBUTTON, kCancelId, 312, 138,
     82, 30},
};

// True from the press of "卸载" until the worker reports a failure; while it is true the window
// refuses to close, so the first process cannot end before the cleanup copy has been started.
std::atomic<bool> g_busy{false};

// The one font of every control. It is never deleted: the controls use it as long as the window
// lives, and the window lives until the process ends.
HFONT g_font = nullptr;

HANDLE create_thread(LPTHREAD_START_ROUTINE routine, void* input) {
  return ::CreateThread(nullptr, 0, routine, input, 0, nullptr);
}
ThreadStarter g_start_thread = create_thread;

std::wstring current_install_dir() {
  return resolve_install_dir(own_arguments());
}

struct WorkerInput {
  std::wstring install_dir;
  HWND window;
  bool delete_data;
};

// Logs the failure and tells the user where the files are left; the box is owned by the window,
// which stays disabled while it is up. Afterwards the window may be closed again.
void report_failure(HWND window, const std::wstring& install_dir, const std::string& failure) {
  append_setup_log(kUninstallFailed + failure);
  show_message(window, failure + "\n\n" + kManualDeletionHint + display_form(install_dir));
  g_busy.store(false);
}

// Runs on the worker thread. It never touches a control: it only posts to the window and owns
// the failure message box.
DWORD WINAPI run_worker(void* parameter) {
  std::unique_ptr<WorkerInput> input(static_cast<WorkerInput*>(parameter));
  append_setup_log(kStartingUninstall + display_form(input->install_dir) + kModeOpen +
                   (input->delete_data ? kModeDeleteData : kModeKeepData) + kModeClose);
  run_preparatory_steps();
  std::optional<std::string> failure =
      start_cleanup_copy(input->install_dir, /*keep_local_data=*/!input->delete_data);
  if (!failure) {
    // The window closes on this message and the first process ends, which is what the
    // cleanup copy waits for.
    ::PostMessageW(input->window, kCompletionMessage, 0, 0);
  } else {
    report_failure(input->window, input->install_dir, *failure);
  }
  return 0;
}

void set_control_text(HWND window, int id, const char* text) {
  if (HWND control = ::GetDlgItem(window, id)) ::SetWindowTextW(control, widen(text).c_str());
}

void build_contents(HWND window, HINSTANCE instance) {
  std::wstring install_dir = widen(display_form(current_install_dir()));
  if (g_font == nullptr) {
    g_font =
        ::CreateFontW(-14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, 0, kFontFace);
  }
  HWND controls[std::size(kControls)] = {};
  for (size_t i = 0; i < std::size(kControls); ++i) {
    const ControlRow& row = kControls[i];
    std::wstring text = row.source == ControlText::kInstallDir ? install_dir : widen(row.text);
    controls[i] =
        ::CreateWindowExW(0, row.window_class, text.c_str(), WS_CHILD | row.styles, row.x, row.y,
                          row.width, row.height, window,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), instance, nullptr);
  }
  for (HWND control : controls) {
    if (control != nullptr) {
      ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), 1);
    }
  }
  if (HWND keep = ::GetDlgItem(window, kKeepDataId)) {
    ::SendMessageW(keep, BM_SETCHECK, BST_CHECKED, 0);
  }
}

void start_removal(HWND window) {
  if (g_busy.exchange(true)) return;  // a second press while the first still runs
  HWND delete_choice = ::GetDlgItem(window, kDeleteDataId);
  bool delete_data =
      delete_choice != nullptr && ::SendMessageW(delete_choice, BM_GETCHECK, 0, 0) == BST_CHECKED;
  set_control_text(window, kStatusId, kCleaningUpStatus);
  // The radio buttons stay enabled; the choice has been read and changing it does nothing now.
  ::EnableWindow(::GetDlgItem(window, kUninstallId), FALSE);
  ::EnableWindow(::GetDlgItem(window, kCancelId), FALSE);

  auto input =
      std::make_unique<WorkerInput>(WorkerInput{current_install_dir(), window, delete_data});
  // Detached: nobody waits for the worker; it reports by posting to the window.
  UniqueThread thread(g_start_thread(run_worker, input.get()));
  if (!thread) {
    OsError error = last_error();
    // Without a worker the cleanup program is never started: the user learns it as a failed
    // start of the cleanup program, with the same hint and the same way out as any failure.
    report_failure(window, input->install_dir, kStartCleanupFailed + error_text(error));
    return;
  }
  input.release();  // the worker owns it now
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      build_contents(window, reinterpret_cast<CREATESTRUCTW*>(lparam)->hInstance);
      return 0;
    case WM_COMMAND:
      // The notification code is not examined: any command from the buttons counts as a press.
      switch (LOWORD(wparam)) {
        case kUninstallId:
          start_removal(window);
          break;
        case kCancelId:
          ::DestroyWindow(window);
          break;
        default:
          break;
      }
      return 0;
    case WM_CLOSE:
      // Never passed on: closing while busy would end the process under the worker's feet.
      if (!g_busy.load()) ::DestroyWindow(window);
      return 0;
    case kCompletionMessage:
      ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wparam, lparam);
  }
}

bool register_window_class(HINSTANCE instance) {
  WNDCLASSW window_class{};
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = instance;
  window_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
  window_class.lpszClassName = kWindowClass;
  return ::RegisterClassW(&window_class) != 0;
}

HWND create_window(HINSTANCE instance) {
  return ::CreateWindowExW(0, kWindowClass, kWindowTitle, kWindowStyle, CW_USEDEFAULT,
                           CW_USEDEFAULT, kWindowWidth, kWindowHeight, nullptr, nullptr, instance,
                           nullptr);
}

}  // namespace

void run_uninstall_window() {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  // Without the class or the window there is nothing to show; the process simply ends.
  if (!register_window_class(instance)) return;
  HWND window = create_window(instance);
  if (window == nullptr) return;
  ::ShowWindow(window, SW_SHOW);
  ::UpdateWindow(window);
  // No IsDialogMessageW: Tab and Enter keep their plain window meaning.
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

HWND create_uninstall_window(HINSTANCE instance) {
  // A test process may build the window several times; the class then already exists.
  if (!register_window_class(instance) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return nullptr;
  }
  return create_window(instance);
}

ThreadStarter replace_thread_starter(ThreadStarter starter) {
  ThreadStarter previous = g_start_thread;
  g_start_thread = starter != nullptr ? starter : create_thread;
  return previous;
}

}  // namespace tavrio::uninstall
