// The interactive mode: a plain Win32 window that shows the install directory, lets the user
// keep or delete the local data and hands the removal to a worker thread, so that the window
// keeps painting while taskkill runs and the cleanup copy is made.
#include "bin/window.h"

#include <atomic>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "bin/cleanup_copy.h"
#include "bin/cleanup_report.h"
#include "bin/locations.h"
#include "bin/message_box.h"
#include "bin/messages.h"
#include "bin/preparatory_steps.h"
#include "bin/setup_log.h"
#include "common/handles.h"
#include "common/os_error.h"
#include "common/text.h"

namespace tavrio::uninstall {
namespace {

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int kWindowWidth = 430;
constexpr int kWindowHeight = 215;
constexpr wchar_t kFontFace[] = L"Microsoft YaHei";

constexpr DWORD kWorkerEndWaitMs = 5000;

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

// What the window and its worker share. It lives in the window's state, which outlives the
// worker's last use of it: the worker's final act is one of the two stores below, the window
// only closes after them, and the state waits for a worker that is still running.
struct WorkerLink {
  // True from the press of "卸载" until the worker reports a failure; while it is true the
  // window refuses to close, so the first process cannot end before the cleanup copy has been
  // started.
  std::atomic<bool> busy{false};
  // The cleanup copy runs and waits for this process to end: the window must close.
  std::atomic<bool> cleanup_started{false};
  // With --wait: the report the copy sets and the copy itself, written by the worker before it
  // sets `cleanup_started`, read by the main thread once the window has closed.
  bool first_process_waits = false;
  std::optional<CleanupReport> report;
  UniqueProcess copy;
};

struct WorkerInput {
  std::wstring install_dir;
  HWND window;
  bool delete_data;
  WorkerLink* link;
};

// Logs the failure and tells the user where the files are left; the box is owned by the window,
// which stays disabled while it is up. Afterwards the window may be closed again.
void report_failure(HWND window, const std::wstring& install_dir, const CleanupCopyResult& failure,
                    WorkerLink& link) {
  append_setup_log(uninstall_failed_line(failure));
  show_message(window, failure_box_text(failure, install_dir));
  link.busy.store(false);
}

// Runs on the worker thread. It never touches a control: it only posts to the window and owns
// the failure message box.
DWORD WINAPI run_worker(void* parameter) {
  std::unique_ptr<WorkerInput> input(static_cast<WorkerInput*>(parameter));
  append_setup_log(starting_line(input->install_dir, input->delete_data));
  run_preparatory_steps();
  WorkerLink& link = *input->link;
  // Made before the copy starts, so that the copy finds it.
  if (link.first_process_waits) link.report.emplace();
  const CleanupCopyResult started =
      start_cleanup_copy(input->install_dir,
                         {.keep_local_data = !input->delete_data,
                          .from_window = true,
                          .first_process_waits = link.report && link.report->ok()},
                         &link.copy);
  if (started.ok()) {
    // The window closes on this message and the first process ends, which is what the
    // cleanup copy waits for. Should the message be lost, the message loop sees this thread
    // end with the flag set and closes the window all the same.
    link.cleanup_started.store(true);
    ::PostMessageW(input->window, kCompletionMessage, 0, 0);
  } else {
    report_failure(input->window, input->install_dir, started, link);
  }
  return 0;
}

}  // namespace

struct WindowState {
  std::wstring install_dir;
  HWND window = nullptr;
  UniqueFont font;  // the one font of every control, kept as long as the window
  WorkerLink link;
  UniqueThread worker;  // watched by the message loop
  ThreadStarter start_worker = start_thread;
};

namespace {

WindowState* state_of(HWND window) {
  return reinterpret_cast<WindowState*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

void set_control_text(HWND window, int id, const char* text) {
  if (HWND control = ::GetDlgItem(window, id)) ::SetWindowTextW(control, widen(text).c_str());
}

void build_contents(WindowState& state, HINSTANCE instance) {
  const std::wstring install_dir = widen(display_form(state.install_dir));
  state.font.reset(::CreateFontW(-14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                 OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, 0,
                                 kFontFace));
  HWND controls[std::size(kControls)] = {};
  for (size_t i = 0; i < std::size(kControls); ++i) {
    const ControlRow& row = kControls[i];
    std::wstring text = row.source == ControlText::kInstallDir ? install_dir : widen(row.text);
    controls[i] =
        ::CreateWindowExW(0, row.window_class, text.c_str(), WS_CHILD | row.styles, row.x, row.y,
                          row.width, row.height, state.window,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), instance, nullptr);
  }
  for (HWND control : controls) {
    if (control != nullptr) {
      ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(state.font.get()), 1);
    }
  }
  if (HWND keep = ::GetDlgItem(state.window, kKeepDataId)) {
    ::SendMessageW(keep, BM_SETCHECK, BST_CHECKED, 0);
  }
}

void start_removal(WindowState& state) {
  if (state.link.busy.exchange(true)) return;  // a second press while the first still runs
  HWND window = state.window;
  HWND delete_choice = ::GetDlgItem(window, kDeleteDataId);
  bool delete_data =
      delete_choice != nullptr && ::SendMessageW(delete_choice, BM_GETCHECK, 0, 0) == BST_CHECKED;
  set_control_text(window, kStatusId, kCleaningUpStatus);
  // The radio buttons stay enabled; the choice has been read and changing it does nothing now.
  ::EnableWindow(::GetDlgItem(window, kUninstallId), FALSE);
  ::EnableWindow(::GetDlgItem(window, kCancelId), FALSE);

  auto input = std::make_unique<WorkerInput>(
      WorkerInput{state.install_dir, window, delete_data, &state.link});
  UniqueThread thread(state.start_worker(run_worker, input.get()));
  if (!thread) {
    OsError error = last_error();
    // Without a worker the cleanup program is never started: the user learns it as a failed
    // start of the cleanup program, with the same hint and the same way out as any failure.
    report_failure(window, state.install_dir, CleanupCopyResult::failed(CopyStage::kStart, error),
                   state.link);
    return;
  }
  input.release();  // the worker owns it now
  state.worker = std::move(thread);
}

// The worker has ended. After a successful start the window closes even if the completion
// message never arrived; a worker that ended without reporting anything leaves the window free
// to close, as after a failure.
void worker_ended(WindowState& state) {
  state.worker.reset();
  if (state.link.cleanup_started.load()) {
    if (state.window != nullptr) ::DestroyWindow(state.window);
  } else {
    state.link.busy.store(false);
  }
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* state =
        static_cast<WindowState*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    state->window = window;
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
  }
  WindowState* state = state_of(window);
  if (state == nullptr) return ::DefWindowProcW(window, message, wparam, lparam);
  switch (message) {
    case WM_CREATE:
      build_contents(*state, reinterpret_cast<CREATESTRUCTW*>(lparam)->hInstance);
      return 0;
    case WM_COMMAND:
      // The notification code is not examined: any command from the buttons counts as a press.
      switch (LOWORD(wparam)) {
        case kUninstallId:
          start_removal(*state);
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
      if (!state->link.busy.load()) ::DestroyWindow(window);
      return 0;
    case kCompletionMessage:
      ::DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      state->window = nullptr;
      ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      return ::DefWindowProcW(window, message, wparam, lparam);
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
  // A test process builds the window several times; the class then already exists.
  return ::RegisterClassW(&window_class) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

UninstallWindow::UninstallWindow(std::wstring install_dir, bool first_process_waits,
                                 ThreadStarter starter)
    : state_(std::make_unique<WindowState>()) {
  state_->start_worker = starter;
  state_->install_dir = std::move(install_dir);
  state_->link.first_process_waits = first_process_waits;
}

UninstallWindow::~UninstallWindow() {
  if (state_->window != nullptr) ::DestroyWindow(state_->window);
  // A worker that posted its completion is about to return; it must not outlive the state.
  if (state_->worker) ::WaitForSingleObject(state_->worker.get(), kWorkerEndWaitMs);
}

HWND UninstallWindow::create(HINSTANCE instance) {
  if (!register_window_class(instance)) return nullptr;
  return ::CreateWindowExW(0, kWindowClass, kWindowTitle, kWindowStyle, CW_USEDEFAULT,
                           CW_USEDEFAULT, kWindowWidth, kWindowHeight, nullptr, nullptr, instance,
                           state_.get());
}

void UninstallWindow::show_and_run() {
  if (state_->window == nullptr) return;
  ::ShowWindow(state_->window, SW_SHOW);
  ::UpdateWindow(state_->window);
  // No IsDialogMessageW: Tab and Enter keep their plain window meaning.
  for (;;) {
    HANDLE worker = state_->worker.get();
    const DWORD watched = worker != nullptr ? 1 : 0;
    const DWORD woke =
        ::MsgWaitForMultipleObjectsEx(watched, &worker, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (watched == 1 && woke == WAIT_OBJECT_0) {
      worker_ended(*state_);
      continue;
    }
    MSG message;
    if (woke == WAIT_FAILED) {
      // Nothing to wait on but the queue: block in it as a plain message loop would.
      if (::GetMessageW(&message, nullptr, 0, 0) <= 0) return;
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
      continue;
    }
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return;
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
}

int UninstallWindow::exit_code() const {
  const WorkerLink& link = state_->link;
  if (!link.first_process_waits) return 0;
  // Cancelled, closed after a failure, or never shown: nothing was removed.
  if (!link.cleanup_started.load()) return 1;
  return exit_code_after(link.report->wait(link.copy.get()), *link.report);
}

int run_uninstall_window(const std::wstring& install_dir, bool first_process_waits) {
  UninstallWindow window(install_dir, first_process_waits);
  // Without the class or the window there is nothing to show; the process simply ends.
  if (window.create(::GetModuleHandleW(nullptr)) != nullptr) window.show_and_run();
  return window.exit_code();
}

HANDLE start_thread(LPTHREAD_START_ROUTINE routine, void* input) {
  return ::CreateThread(nullptr, 0, routine, input, 0, nullptr);
}

}  // namespace tavrio::uninstall
