// The uninstall window. The real exe runs on a scratch installation with its temporary, local
// data and profile folders inside the scratch folder, and the test drives it through Win32 the
// way a user would: finding it, reading its controls, clicking, closing. What cannot be read
// across processes (fonts, class data) is checked in-process through the code the exe uses.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bin/locations.h"
#include "bin/window.h"
#include "common/command_line.h"
#include "common/handles.h"
#include "common/os_error.h"
#include "common/text.h"
#include "uninstall_e2e.h"

namespace tavrio::test {
namespace {

namespace un = tavrio::uninstall;
using Lines = std::vector<std::string>;

constexpr DWORD kStartTimeoutMs = 20000;
constexpr DWORD kRemovalTimeoutMs = 40000;

// The uninstall window of one process, once it is shown with its controls: other tests may have
// their own open at the same time.
HWND wait_for_uninstall_window(const StartedProcess& running) {
  return wait_for_window({un::kWindowClass, running.pid(), nullptr, {1, 2, 3, 4, 5}},
                         kStartTimeoutMs);
}

// A message box (dialog class "#32770") owned by the window.
HWND find_owned_box(HWND owner) {
  return find_window({L"#32770", 0, owner, {0xFFFF}});
}

std::string box_text(HWND box) {
  return text_of(::GetDlgItem(box, 0xFFFF));  // the message's static control
}

// The box once it is filled in: the dialog exists a moment before its text does.
HWND wait_for_owned_box(HWND owner, DWORD timeout_ms) {
  HWND box = nullptr;
  auto filled_in = [&] {
    return (box = find_owned_box(owner)) != nullptr && !box_text(box).empty();
  };
  return wait_until(filled_in, timeout_ms) ? box : nullptr;
}

bool checked(HWND window, int id) {
  return ::SendMessageW(::GetDlgItem(window, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// The two ways a user closes a window: the close box (WM_CLOSE) and Alt+F4 (SC_CLOSE, which
// the default handling turns into WM_CLOSE).
enum class CloseBy { kCloseBox, kAltF4 };

void ask_to_close(HWND window, CloseBy how) {
  if (how == CloseBy::kCloseBox) ::PostMessageW(window, WM_CLOSE, 0, 0);
  if (how == CloseBy::kAltF4) ::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

// "<prefix><system message> (os error N)": the wording is the system's, the form is ours.
::testing::AssertionResult is_failure_text(const std::string& text, const std::string& prefix) {
  if (text.rfind(prefix, 0) != 0) return ::testing::AssertionFailure() << "prefix of: " << text;
  size_t os = text.rfind(" (os error ");
  if (os == std::string::npos || os <= prefix.size() || text.back() != ')') {
    return ::testing::AssertionFailure() << "no error text in: " << text;
  }
  for (size_t i = os + 11; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return ::testing::AssertionFailure() << "code: " << text;
  }
  return ::testing::AssertionSuccess();
}

// After a failed start: 卸载 and 取消 stay disabled and the status line says it is cleaning up.
void expect_busy(HWND window) {
  EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(window, 3)));
  EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(window, 4)));
  EXPECT_EQ(text_of(::GetDlgItem(window, 5)), "正在清理…");
}

// Drops the WM_QUIT that an in-process window posts when destroyed.
void drain_messages() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
}

// Drains them however the test ends; declared before the window's owner, so it runs after the
// owner destroyed the window. A WM_QUIT left behind would close the next test's message box.
struct DrainedAtEnd {
  ~DrainedAtEnd() { drain_messages(); }
};

// Sends a message across processes and returns once the window has handled it, so that what
// the window did with it can be read right away.
bool handled(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  DWORD_PTR result = 0;
  return ::SendMessageTimeoutW(window, message, wparam, lparam, SMTO_ABORTIFHUNG, 10000, &result) !=
         0;
}

// The same two ways to close, handled before this returns.
bool close_handled(HWND window, CloseBy how) {
  return how == CloseBy::kCloseBox ? handled(window, WM_CLOSE, 0, 0)
                                   : handled(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

// What the window shows.

struct ExpectedControl {
  const wchar_t* window_class;
  std::string text;
  DWORD style;
  int id;
  RECT position;  // left, top, right, bottom in client pixels
};

std::vector<HWND> children_of(HWND window) {
  std::vector<HWND> children;
  for (HWND child = ::GetWindow(window, GW_CHILD); child != nullptr;
       child = ::GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
  }
  return children;
}

TEST(Window, ShowsTitleLayoutAndKeepChoiceEvenWithDeleteDataOnTheCommandLine) {
  Uninstall s = make_shipped_uninstall();
  StartedProcess app = spawn(s.uninstaller(), {L"--delete-data"}, s.options());
  ASSERT_TRUE(app);
  HWND window = wait_for_uninstall_window(app);
  ASSERT_NE(window, nullptr) << "the uninstall window did not open";

  EXPECT_EQ(text_of(window), "卸载 Tavrio");
  // The system adds WS_VISIBLE when shown and WS_CLIPSIBLINGS to every top-level window.
  DWORD style = ::GetWindowLongW(window, GWL_STYLE) & ~(WS_VISIBLE | WS_CLIPSIBLINGS);
  EXPECT_EQ(style, 0x00CA0000u) << std::hex << style;
  EXPECT_EQ(::GetWindowLongW(window, GWL_EXSTYLE) & ~WS_EX_WINDOWEDGE, 0);
  RECT outer{};
  ::GetWindowRect(window, &outer);
  EXPECT_EQ(std::pair(outer.right - outer.left, outer.bottom - outer.top), std::pair(430L, 215L));

  const ExpectedControl expected[] = {
      {L"Static", "安装位置", 0x50000000, 0, {18, 14, 398, 30}},
      {L"Static", narrow(s.install), 0x50000000, 0, {18, 32, 398, 50}},
      {L"Button", "只卸载程序，保留本地资料（账号、题库、配置）", 0x50020009, 1, {18, 62, 398, 82}},
      {L"Button", "同时删除本地资料，无法恢复", 0x50000009, 2, {18, 86, 398, 106}},
      {L"Static", "", 0x50000000, 5, {18, 112, 398, 130}},
      {L"Button", "卸载", 0x50000001, 3, {222, 138, 304, 168}},
      {L"Button", "取消", 0x50000000, 4, {312, 138, 394, 168}},
  };
  std::vector<HWND> children = children_of(window);
  ASSERT_EQ(children.size(), std::size(expected));
  for (size_t i = 0; i < children.size(); ++i) {
    SCOPED_TRACE("control " + std::to_string(i + 1) + ": " + expected[i].text);
    HWND control = children[i];  // the order of creation
    EXPECT_EQ(
        ::CompareStringOrdinal(class_of(control).c_str(), -1, expected[i].window_class, -1, TRUE),
        CSTR_EQUAL)
        << narrow(class_of(control));
    EXPECT_EQ(text_of(control), expected[i].text);
    EXPECT_EQ(::GetDlgCtrlID(control), expected[i].id);
    // Checking a radio button gives it WS_TABSTOP (system behaviour of BM_SETCHECK).
    DWORD control_style = ::GetWindowLongW(control, GWL_STYLE) & ~WS_TABSTOP;
    EXPECT_EQ(control_style, expected[i].style) << std::hex << control_style;
    EXPECT_EQ(::GetWindowLongW(control, GWL_EXSTYLE) & ~WS_EX_NOPARENTNOTIFY, 0);
    RECT r{};  // in the window's client pixels
    ::GetWindowRect(control, &r);
    ::MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&r), 2);
    const RECT& e = expected[i].position;
    EXPECT_EQ(std::tie(r.left, r.top, r.right, r.bottom),
              std::tie(e.left, e.top, e.right, e.bottom));
    EXPECT_TRUE(::IsWindowEnabled(control));
  }
  EXPECT_TRUE(checked(window, 1));
  EXPECT_FALSE(checked(window, 2));

  ::PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(app.ends_within(10000));
  EXPECT_EQ(app.exit_code(), 0u);
}

TEST(Window, ClosingBeforeTheRemovalDeletesNothing) {
  struct Case {
    const char* name;
    std::function<void(HWND)> close;
  };
  const Case cases[] = {
      {"取消", [](HWND w) { EXPECT_TRUE(press(w, 4)); }},
      {"close box", [](HWND w) { ask_to_close(w, CloseBy::kCloseBox); }},
      {"Alt+F4", [](HWND w) { ask_to_close(w, CloseBy::kAltF4); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Uninstall s = make_shipped_uninstall();
    std::vector<std::wstring> before = list_tree(s.root);
    StartedProcess app = spawn(s.uninstaller(), {}, s.options());
    HWND window = wait_for_uninstall_window(app);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(press(window, 2));  // a choice alone starts nothing
    c.close(window);
    ASSERT_TRUE(app.ends_within(10000)) << "the window stayed open";
    EXPECT_EQ(app.exit_code(), 0u);
    ASSERT_TRUE(app.family_ended_within(10000));
    EXPECT_EQ(app.processes_started(), 1u) << "something was started";
    EXPECT_EQ(list_tree(s.root), before);  // no log, no cleanup copy, shortcuts in place
  }
}

TEST(Window, UninstallStartsTheCleanupCopyInTheChosenModeAndCloses) {
  struct Case {
    bool delete_data;
    const char* start_line_mode;
    const char* outcome;
    bool wait;  // --wait: the process ends once the copy reported, with everything but the
                // uninstaller and the main program gone
  };
  // The user's "notes.txt" keeps the install folder in both modes.
  const Case cases[] = {
      {false, "（保留本地资料）", "程序文件已删除，本地资料保留", false},
      {true, "（同时删除本地资料）", "程序与本地资料已删除，安装目录里的其他文件已保留：", false},
      {true, "（同时删除本地资料）", "程序与本地资料已删除，安装目录里的其他文件已保留：", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.outcome) + (c.wait ? " --wait" : ""));
    Uninstall s = make_shipped_uninstall();
    const std::string outcome = c.outcome + (c.delete_data ? narrow(s.install) : "");
    std::vector<std::wstring> args;
    if (c.wait) args.push_back(L"--wait");
    StartedProcess app = spawn(s.uninstaller(), args, s.options());
    HWND window = wait_for_uninstall_window(app);
    ASSERT_NE(window, nullptr);
    if (c.delete_data) {
      ASSERT_TRUE(press(window, 2));
      ASSERT_TRUE(wait_until([&] { return checked(window, 2); }, kStartTimeoutMs));
      EXPECT_FALSE(checked(window, 1));
    }
    ASSERT_TRUE(press(window, 3));
    HWND box = nullptr;
    wait_until([&] { return (box = find_owned_box(window)) != nullptr || app.ended_within(0); },
               kRemovalTimeoutMs);
    if (box != nullptr) {
      ADD_FAILURE() << "message box after a successful start: " << box_text(box);
      ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    ASSERT_TRUE(app.ends_within(0)) << "the window did not close";
    EXPECT_EQ(app.exit_code(), 0u);
    if (c.wait) {
      for (const std::wstring& name : names_in(s.install)) {
        EXPECT_TRUE(name == L"notes.txt" || name == L"Tavrio.exe" || name == L"卸载.exe")
            << "still there when the first process ended: " << narrow(name);
      }
      EXPECT_FALSE(path_exists(s.local + L"\\Tavrio"));
    }

    // The cleanup copy writes its outcome once the first process has gone, and then ends.
    ASSERT_TRUE(app.family_ended_within(kRemovalTimeoutMs)) << "the cleanup copy still runs";
    EXPECT_EQ(log_messages(s.setup_log()),
              (Lines{"开始卸载 " + narrow(s.install) + c.start_line_mode, outcome}));
    EXPECT_TRUE(files_equal(s.cleanup_copy(), built_exe(L"uninstall.exe")));
    EXPECT_FALSE(path_exists(s.desktop_shortcut()));
    EXPECT_FALSE(path_exists(s.start_menu_shortcut()));
    EXPECT_EQ(list_tree(s.install), std::vector<std::wstring>{L"notes.txt"});
    EXPECT_EQ(path_exists(s.local + L"\\Tavrio"), !c.delete_data);
  }
}

TEST(Window, FailedCleanupCopyIsReportedAndTheWindowClosesOnlyAfterwards) {
  for (CloseBy how : {CloseBy::kCloseBox, CloseBy::kAltF4}) {
    SCOPED_TRACE(how == CloseBy::kCloseBox ? "close box" : "Alt+F4");
    Uninstall s = make_shipped_uninstall();
    // A cleanup copy of an earlier uninstall that is still running cannot be overwritten.
    ASSERT_TRUE(
        ::CopyFileW(built_exe(L"standin_app.exe").c_str(), s.cleanup_copy().c_str(), FALSE));
    StartedProcess earlier = spawn(s.cleanup_copy(), {L"--run-seconds", L"120"}, {});
    ASSERT_TRUE(
        wait_until([&] { return path_exists(s.temp + L"\\standin-record.txt"); }, kStartTimeoutMs));
    std::vector<std::wstring> install_before = list_tree(s.install);

    StartedProcess app = spawn(s.uninstaller(), {}, s.options());
    HWND window = wait_for_uninstall_window(app);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(press(window, 3));
    // Queued behind the press, so handled while busy: a second press and both ways to close.
    ::PostMessageW(window, WM_COMMAND, 3, 0);
    ask_to_close(window, CloseBy::kCloseBox);
    ask_to_close(window, CloseBy::kAltF4);

    HWND box = wait_for_owned_box(window, kRemovalTimeoutMs);
    ASSERT_NE(box, nullptr) << "no failure message box";
    std::string text = box_text(box);
    size_t hint = text.find("\n\n可以手动删除安装目录：");
    ASSERT_NE(hint, std::string::npos) << text;
    std::string failure = text.substr(0, hint);
    EXPECT_TRUE(is_failure_text(failure, "复制清理程序失败："));
    EXPECT_EQ(text, failure + "\n\n可以手动删除安装目录：" + narrow(s.install));
    EXPECT_EQ(text_of(box), "Tavrio");

    // Still busy while the box is up: presses and closing, once handled, changed nothing.
    ASSERT_TRUE(handled(window, WM_COMMAND, 3, 0));
    ASSERT_TRUE(close_handled(window, how));
    EXPECT_TRUE(::IsWindow(window));
    EXPECT_FALSE(app.ended_within(0));
    EXPECT_EQ(find_owned_box(window), box);

    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return !::IsWindow(box); }, 10000));
    EXPECT_EQ(find_owned_box(window), nullptr) << "a second removal was started";
    expect_busy(window);
    EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(window, 1)));
    EXPECT_EQ(
        log_messages(s.setup_log()),
        (Lines{"开始卸载 " + narrow(s.install) + "（保留本地资料）", "卸载失败：" + failure}));

    // The worker clears the busy flag just after its box goes, so a close handled in between is
    // still refused: the window must close once a handled close finds the flag cleared.
    ASSERT_TRUE(
        wait_until([&] { return !close_handled(window, how) || !::IsWindow(window); }, 10000))
        << "the window refused every close after the failure";
    ASSERT_TRUE(app.ends_within(10000)) << "the window did not close after the failure";
    EXPECT_EQ(app.exit_code(), 0u);
    EXPECT_EQ(list_tree(s.install), install_before);
  }
}

// A message box of no owner whose text holds `needle`: the cleanup copy's, for one test's
// install folder (other tests may show boxes at the same time).
HWND find_unowned_box_about(const std::string& needle) {
  struct Search {
    std::string needle;
    HWND found = nullptr;
  } search{needle};
  ::EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        if (class_of(window) != L"#32770" || ::GetWindow(window, GW_OWNER) != nullptr ||
            !::IsWindowVisible(window) || box_text(window).find(s->needle) == std::string::npos) {
          return TRUE;
        }
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// A file of the program held open by another program: the window's user learns in a box of
// the cleanup copy what stayed and how to finish the job, also when the first process waited
// (it then ends with 1 while the box is up); a silent run shows no box.
TEST(Window, WhatStaysIsShownInABoxAfterAWindowStartedUninstall) {
  struct Case {
    const char* name;
    bool window;
    bool wait;
    DWORD exit_code;
  };
  const Case cases[] = {
      {"window", true, false, 0},
      {"window --wait", true, true, 1},
      {"--silent", false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Uninstall s = make_shipped_uninstall();
    const std::wstring held = s.install + L"\\_internal\\python312.dll";
    StartedProcess holder =
        spawn(built_exe(L"hold_open.exe"), {L"file", held, L"120000", s.root + L"\\held"});
    ASSERT_TRUE(wait_until([&] { return path_exists(s.root + L"\\held"); }, kStartTimeoutMs));
    const std::string line = "卸载未完成，残留：" + narrow(s.install + L"\\_internal") + "：" +
                             error_text(OsError{ERROR_SHARING_VIOLATION});

    std::vector<std::wstring> args = {L"--delete-data"};
    if (!c.window) args.push_back(L"--silent");
    if (c.wait) args.push_back(L"--wait");
    StartedProcess app = spawn(s.uninstaller(), args, s.options());
    if (c.window) {
      HWND window = wait_for_uninstall_window(app);
      ASSERT_NE(window, nullptr);
      ASSERT_TRUE(press(window, 2));
      ASSERT_TRUE(wait_until([&] { return checked(window, 2); }, kStartTimeoutMs));
      ASSERT_TRUE(press(window, 3));
    }
    ASSERT_TRUE(app.ends_within(kRemovalTimeoutMs));
    EXPECT_EQ(app.exit_code(), c.exit_code);

    if (c.window) {
      HWND box = nullptr;
      auto shown = [&] { return (box = find_unowned_box_about(narrow(s.install))) != nullptr; };
      ASSERT_TRUE(wait_until(shown, kRemovalTimeoutMs)) << "no box about what stayed";
      EXPECT_EQ(box_text(box),
                line + "\n\n可以再次运行卸载程序完成卸载：" + narrow(s.uninstaller()));
      EXPECT_EQ(text_of(box), "卸载 Tavrio");
      EXPECT_FALSE(app.family_ended_within(0)) << "the copy did not wait for the box";
      ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    // A box would hold the copy until someone dismissed it.
    ASSERT_TRUE(app.family_ended_within(kRemovalTimeoutMs)) << "the cleanup copy still runs";
    EXPECT_EQ(find_unowned_box_about(narrow(s.install)), nullptr);
    Lines log = log_messages(s.setup_log());
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), line);
    EXPECT_EQ(names_in(s.install),
              (std::vector<std::wstring>{L"Tavrio.exe", L"_internal", L"notes.txt", L"卸载.exe"}));
    EXPECT_FALSE(path_exists(s.local + L"\\Tavrio"));
  }
}

// In-process: what another process cannot read.

TEST(WindowInProcess, ClassAndFontOfEveryControl) {
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  const DrainedAtEnd drained;
  un::UninstallWindow owner(L"C:\\Tavrio");
  HWND window = owner.create(instance);
  ASSERT_NE(window, nullptr);

  WNDCLASSW window_class{};
  ASSERT_TRUE(::GetClassInfoW(instance, un::kWindowClass, &window_class));
  const WNDCLASSW& c = window_class;
  EXPECT_EQ(
      std::tie(c.style, c.cbClsExtra, c.cbWndExtra, c.hIcon, c.hCursor, c.hbrBackground),
      std::tuple(static_cast<UINT>(CS_HREDRAW | CS_VREDRAW), 0, 0, HICON{nullptr},
                 ::LoadCursorW(nullptr, IDC_ARROW), reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1)));
  EXPECT_FALSE(::IsWindowVisible(window)) << "shown before the caller asked";

  HFONT shared = nullptr;
  const std::vector<HWND> controls = children_of(window);
  EXPECT_EQ(controls.size(), 7u);
  for (HWND control : controls) {
    SCOPED_TRACE(text_of(control));
    auto font = reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    if (shared == nullptr) shared = font;
    EXPECT_EQ(font, shared) << "one font for every control";
    LOGFONTW f{};
    ASSERT_EQ(::GetObjectW(font, sizeof f, &f), static_cast<int>(sizeof f));
    EXPECT_EQ(std::tuple(f.lfHeight, f.lfWidth, f.lfEscapement, f.lfOrientation, f.lfWeight,
                         f.lfItalic + f.lfUnderline + f.lfStrikeOut, int{f.lfCharSet},
                         int{f.lfOutPrecision}, int{f.lfClipPrecision}, int{f.lfQuality},
                         int{f.lfPitchAndFamily}, narrow(f.lfFaceName)),
              std::tuple(-14L, 0L, 0L, 0L, 400L, 0, 1, 0, 0, 5, 0, std::string("Microsoft YaHei")));
  }
  ::DestroyWindow(window);
  drain_messages();
}

HANDLE refuse_thread(LPTHREAD_START_ROUTINE, void*) {
  ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

TEST(WindowInProcess, NoWorkerThreadIsReportedAsAFailedStartOfTheCleanupProgram) {
  std::wstring temp = scratch_dir();
  ScopedEnvironmentVariable tmp(L"TMP", temp);
  ScopedEnvironmentVariable temp_variable(L"TEMP", temp);
  const std::wstring install_dir = temp + L"\\Tavrio 安装";
  const DrainedAtEnd drained;
  un::UninstallWindow owner(install_dir, false, refuse_thread);
  HWND window = owner.create(::GetModuleHandleW(nullptr));
  ASSERT_NE(window, nullptr);

  // The press runs on this thread and waits in the message box, so another thread answers it.
  std::string seen;
  std::atomic<bool> answered{false};
  std::thread user([&] {
    if (HWND box = wait_for_owned_box(window, 20000)) {
      seen = box_text(box);
      ::PostMessageW(box, WM_COMMAND, IDOK, 0);
      answered = true;
    }
  });
  ::SendMessageW(window, WM_COMMAND, 3, 0);
  user.join();

  ASSERT_TRUE(answered) << "no message box for the missing worker";
  std::string failure = "启动清理程序失败：" + error_text(OsError{ERROR_NOT_ENOUGH_MEMORY});
  EXPECT_EQ(seen, failure + "\n\n可以手动删除安装目录：" + narrow(install_dir));
  EXPECT_TRUE(is_failure_text(failure, "启动清理程序失败："));
  EXPECT_EQ(log_messages(temp + L"\\tavrio_setup.log"), Lines{"卸载失败：" + failure});
  expect_busy(window);
  // The failed state: the window closes again.
  ::SendMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_FALSE(::IsWindow(window));
  drain_messages();
}

// A screenshot under a Wine desktop, which draws the window frame and caption.

// Whether the window's font has a glyph for every character of the Chinese texts; without a
// CJK font behind "Microsoft YaHei" they would be drawn as empty boxes.
std::wstring missing_glyphs() {
  HFONT font = ::CreateFontW(-14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, 0, 0,
                             CLEARTYPE_QUALITY, 0, L"Microsoft YaHei");
  HDC dc = ::GetDC(nullptr);
  HGDIOBJ old = ::SelectObject(dc, font);
  std::wstring missing;
  for (const char* text :
       {"卸载 Tavrio", "安装位置", "只卸载程序，保留本地资料（账号、题库、配置）",
        "同时删除本地资料，无法恢复", "卸载", "取消"}) {
    std::wstring wide_text = widen(text);
    std::vector<WORD> glyphs(wide_text.size());
    ::GetGlyphIndicesW(dc, wide_text.c_str(), static_cast<int>(wide_text.size()), glyphs.data(),
                       GGI_MARK_NONEXISTING_GLYPHS);
    for (size_t i = 0; i < glyphs.size(); ++i) {
      if (glyphs[i] == 0xFFFF) missing += wide_text[i];
    }
  }
  ::SelectObject(dc, old);
  ::ReleaseDC(nullptr, dc);
  ::DeleteObject(font);
  return missing;
}

int CALLBACK count_font(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM found) {
  ++*reinterpret_cast<int*>(found);
  return 0;
}

// Window frames draw their caption buttons with Marlett; without it they show letters.
bool have_font(const wchar_t* face) {
  LOGFONTW wanted{};
  wanted.lfCharSet = DEFAULT_CHARSET;
  wcsncpy(wanted.lfFaceName, face, LF_FACESIZE - 1);
  int found = 0;
  HDC dc = ::GetDC(nullptr);
  ::EnumFontFamiliesExW(dc, &wanted, count_font, reinterpret_cast<LPARAM>(&found), 0);
  ::ReleaseDC(nullptr, dc);
  return found > 0;
}

TEST(WindowScreenshot, ShownInAWineDesktopWithReadableChinese) {
  if (!running_under_wine()) GTEST_SKIP() << "the framed desktop is Wine's explorer /desktop";
  if (run_linux("true") != 0) GTEST_SKIP() << "Linux commands cannot be run from here";
  if (run_linux("test x${DISPLAY:-} != x") != 0) GTEST_SKIP() << "no X display to draw on";
  if (run_linux("command -v import >/dev/null") != 0) GTEST_SKIP() << "no ImageMagick import";
  std::wstring missing = missing_glyphs();
  ASSERT_TRUE(missing.empty()) << "no glyph behind \"Microsoft YaHei\" for: " << narrow(missing);
  ASSERT_TRUE(have_font(L"Marlett")) << "no Marlett: the caption buttons would show as letters";

  Uninstall s = make_shipped_uninstall();
  const wchar_t kDesktop[] = L"TavrioWindowShot";
  StartedProcess desktop =
      spawn(L"C:\\windows\\explorer.exe",
            {std::wstring(L"/desktop=") + kDesktop + L",800x600", s.uninstaller()}, s.options());
  ASSERT_TRUE(desktop);
  HWND window = nullptr;
  wait_until(
      [&] {
        HDESK handle = ::OpenDesktopW(kDesktop, 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
        if (handle == nullptr) return false;
        window = find_window({un::kWindowClass, 0, nullptr, {1, 2, 3, 4, 5}, handle});
        ::CloseDesktop(handle);
        return window != nullptr;
      },
      kStartTimeoutMs);
  ASSERT_NE(window, nullptr) << "the window did not appear on the Wine desktop";
  ::Sleep(1500);  // let the desktop and the window finish painting

  std::wstring png =
      bin_dir().substr(0, bin_dir().find_last_of(L'\\')) + L"\\window-screenshot.png";
  ::DeleteFileW(png.c_str());
  std::string command = "import -window root '" + linux_path(png) + "'";
  EXPECT_EQ(run_linux(command), 0) << command;
  EXPECT_GT(read_file(png).size(), 2000u) << "no screenshot at " << narrow(png);

  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  StartedProcess uninstaller(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid), nullptr);
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(uninstaller.ends_within(10000));
  desktop.ended_within(10000);  // the desktop goes with its last window; ended by force if not
}

}  // namespace
}  // namespace tavrio::test
