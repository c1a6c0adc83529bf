// The updater's runs that wait for real: an application that exits late or never, the backup's
// pauses, the handle the wait holds on the application, and two updaters started together.
#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <optional>

#include "common/handles.h"
#include "support/mapped_drive.h"
#include "updater_fixture.h"

namespace tavrio::test {
namespace {

using Lines = std::vector<std::string>;

TEST(UpdaterWait, TheUpdateWaitsForAnApplicationThatExitsByItself) {
  const ScratchInstall s = make_scratch_install();
  StartedProcess app(spawn_application(s, s.in_install(L"Tavrio.exe"), 3));
  ASSERT_TRUE(app.valid());
  StartedProcess updater(spawn_updater(s, updater_arguments(s, app.pid())));
  ASSERT_TRUE(updater.valid());
  // Nothing of the installation moves while the application runs: whatever moved was seen after
  // the application had ended, however short the wait for its end that came before.
  for (bool ended = false; !ended; ended = app.ended_within(20)) {
    const bool moved = read_file(s.in_install(L"_internal\\python312.dll")) != kOldRuntime ||
                       path_exists(s.in_install(L"_internal_old"));
    if (moved) {
      ASSERT_TRUE(app.ended_within(0)) << "the installation changed while the application ran";
      break;
    }
  }
  ASSERT_TRUE(updater.ends_within(30000));
  EXPECT_EQ(app.exit_code(), 0u) << "ended by force instead of waited for";
  EXPECT_EQ(log_messages(s.log), kSuccessLines);
  EXPECT_EQ(install_tree(s), tree_after_success());
  ASSERT_TRUE(wait_for_records(s, 2));
  EXPECT_EQ(standin_records(s)[1][2], "argc 0");
}

TEST(UpdaterWait, AnApplicationThatNeverExitsIsEndedAfterFortySeconds) {
  const ScratchInstall s = make_scratch_install();
  StartedProcess app(spawn_application(s, s.in_install(L"Tavrio.exe"), -1));
  ASSERT_TRUE(app.valid());
  const std::uint64_t start = now_ms();
  RunResult result = run_updater(s, updater_arguments(s, app.pid()), 90000);
  const std::uint64_t elapsed = now_ms() - start;
  ASSERT_TRUE(result.finished);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_GE(elapsed, 40000u) << "the application was not given its forty seconds";
  ASSERT_TRUE(app.ended_within(0));
  EXPECT_EQ(app.exit_code(), 1u);
  Lines expected = kSuccessLines;
  expected.insert(expected.begin() + 1, "主程序没有按时退出，强制结束");
  EXPECT_EQ(log_messages(s.log), expected);
  EXPECT_EQ(install_tree(s), tree_after_success());
}

TEST(UpdaterBackup, WithoutAProgramFolderSixAttemptsFailTwoSecondsApart) {
  const ScratchInstall s = make_scratch_install();
  remove_all(s.in_install(L"_internal"));
  const std::uint64_t start = now_ms();
  ASSERT_TRUE(run_updater(s, updater_arguments(s)).finished);
  EXPECT_GE(now_ms() - start, 12000u);
  const std::string missing = error_text_of(ERROR_FILE_NOT_FOUND);
  Lines expected = {kBanner, kExited, "校验通过"};
  for (int n = 1; n <= 6; ++n) {
    expected.push_back("备份旧目录第 " + std::to_string(n) + " 次失败：" + missing);
  }
  expected.push_back("更新失败：备份旧目录失败：" + missing);
  EXPECT_EQ(log_messages(s.log), expected);
  const Report report = read_report(s);
  EXPECT_TRUE(report.well_formed);
  EXPECT_EQ(std::pair(report.reason, report.log),
            std::pair("备份旧目录失败：" + missing, narrow(s.log)));
  EXPECT_EQ(install_tree(s),
            (std::vector<std::wstring>{L"Tavrio.exe", L"update_failed.txt", L"卸载.exe"}));
  EXPECT_FALSE(path_exists(s.stage));
}

TEST(UpdaterBackup, AFolderHeldThroughTwoAttemptsIsBackedUpAtTheThird) {
  const ScratchInstall s = make_scratch_install();
  // Under Wine a file held open inside the folder does not stop its rename; a process whose
  // current folder it is does, on Windows as well. It lets go once the second attempt has
  // failed, about 3 s in, so the third attempt 2 s later finds the folder free.
  const std::wstring marker = s.root + L"\\held";
  StartedProcess holder(
      spawn(built_exe(L"hold_open.exe"), {L"cwd", s.in_install(L"_internal"), L"60000", marker}));
  ASSERT_TRUE(holder.valid());
  ASSERT_TRUE(wait_until([&] { return path_exists(marker); }, 10000));
  StartedProcess updater(spawn_updater(s, updater_arguments(s)));
  ASSERT_TRUE(updater.valid());
  const bool second_failed = wait_until(
      [&] { return read_file(s.log).find("第 2 次失败") != std::string::npos; }, 20000, 10);
  holder.end_now();
  ASSERT_TRUE(second_failed);
  ASSERT_TRUE(updater.ends_within(30000));
  const std::string in_use = error_text_of(ERROR_SHARING_VIOLATION);
  Lines expected = kSuccessLines;
  expected.insert(expected.begin() + 3,
                  {"备份旧目录第 1 次失败：" + in_use, "备份旧目录第 2 次失败：" + in_use});
  EXPECT_EQ(log_messages(s.log), expected);
  EXPECT_EQ(install_tree(s), tree_after_success());
}

struct HandleEntry {
  PVOID object;
  ULONG_PTR process_id;
  ULONG_PTR handle;
  ULONG granted_access;
  USHORT creator_back_trace_index;
  USHORT object_type_index;
  ULONG attributes;
  ULONG reserved;
};
struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};
constexpr auto kSystemExtendedHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(64);
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

// The system's handle table, or nothing when the system does not offer it.
std::optional<std::vector<HandleEntry>> system_handles() {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    ULONG needed = 0;
    NTSTATUS status = ::NtQuerySystemInformation(kSystemExtendedHandleInformation, buffer.data(),
                                                 static_cast<ULONG>(buffer.size()), &needed);
    if (status == kInfoLengthMismatch) {
      buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
      continue;
    }
    if (status < 0) return std::nullopt;
    auto* table = reinterpret_cast<HandleTable*>(buffer.data());
    return std::vector<HandleEntry>(table->entries, table->entries + table->count);
  }
}

struct AppHandle {
  ULONG_PTR value;
  ULONG access;
};

// The handles that `owner` holds on the process `target`, told apart by duplicating each with
// the right to ask for its process id.
std::vector<AppHandle> handles_on(const std::vector<HandleEntry>& table, HANDLE owner,
                                  DWORD target) {
  std::vector<AppHandle> found;
  const DWORD owner_id = ::GetProcessId(owner);
  for (const HandleEntry& entry : table) {
    if (entry.process_id != owner_id) continue;
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(owner, reinterpret_cast<HANDLE>(entry.handle), ::GetCurrentProcess(),
                           &copy, PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
      continue;
    }
    UniqueProcess owned(copy);
    if (::GetProcessId(copy) == target) found.push_back({entry.handle, entry.granted_access});
  }
  return found;
}

TEST(UpdaterWait, OneHandleWithBothRightsServesTheWholeWait) {
  if (!system_handles())
    GTEST_SKIP() << "NtQuerySystemInformation(SystemExtendedHandleInformation) fails here";
  const ScratchInstall s = make_scratch_install();
  StartedProcess app(spawn_application(s, s.in_install(L"Tavrio.exe"), 8));
  ASSERT_TRUE(app.valid());
  const DWORD app_id = app.pid();
  StartedProcess updater(spawn_updater(s, updater_arguments(s, app_id)));
  ASSERT_TRUE(updater.valid());
  UniqueProcess owner(
      ::OpenProcess(PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, updater.pid()));
  ASSERT_TRUE(owner.valid());
  bool owner_listed = false;
  auto table_now = [&] {
    std::optional<std::vector<HandleEntry>> table = system_handles();
    for (const HandleEntry& e : table.value_or(std::vector<HandleEntry>{})) {
      owner_listed |= e.process_id == ::GetProcessId(owner.get());
    }
    return table;
  };
  // Sampling starts once the wait holds its handle.
  const bool holding = wait_until(
      [&] {
        std::optional<std::vector<HandleEntry>> table = table_now();
        return table && !handles_on(*table, owner.get(), app_id).empty();
      },
      10000);
  if (!owner_listed) GTEST_SKIP() << "the system's handle table does not list other processes";
  ASSERT_TRUE(holding) << "the updater never held a handle on the application";

  std::vector<std::vector<AppHandle>> samples;
  for (int i = 0; i < 10; ++i) {
    std::optional<std::vector<HandleEntry>> table = table_now();
    ASSERT_TRUE(table.has_value());
    // A table read after the application's end may rightly lack the handle: not a sample.
    if (app.ended_within(0)) break;
    samples.push_back(handles_on(*table, owner.get(), app_id));
    ::Sleep(150);
  }
  ASSERT_GE(samples.size(), 5u);
  for (const std::vector<AppHandle>& sample : samples) {
    ASSERT_EQ(sample.size(), 1u) << "handles of the updater on the application";
    EXPECT_EQ(sample[0].value, samples[0][0].value) << "the same handle throughout the wait";
    EXPECT_EQ(sample[0].access & (SYNCHRONIZE | PROCESS_TERMINATE),
              static_cast<ULONG>(SYNCHRONIZE | PROCESS_TERMINATE));
  }
  ASSERT_TRUE(updater.ends_within(30000));
  EXPECT_EQ(log_messages(s.log), kSuccessLines);
}

// How many times each case of the paired runs is run: ten, or TAVRIO_PAIRED_RUNS for a longer
// soak.
int paired_runs() {
  wchar_t value[16];
  const DWORD n = ::GetEnvironmentVariableW(L"TAVRIO_PAIRED_RUNS", value, 16);
  return n > 0 && n < 16 ? std::max(1, _wtoi(value)) : 10;
}

size_t count_of(const Lines& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// When a process was created and when it ended, in milliseconds after `since` (a creation time).
std::string lifetime_of(HANDLE process, HANDLE since) {
  FILETIME created{}, ended{}, kernel{}, user{}, origin{}, unused{};
  if (!::GetProcessTimes(process, &created, &ended, &kernel, &user) ||
      !::GetProcessTimes(since, &origin, &unused, &kernel, &user)) {
    return "(no times)";
  }
  auto ms = [&](const FILETIME& t) {
    return std::to_string(
        (static_cast<std::int64_t>(ULARGE_INTEGER{{t.dwLowDateTime, t.dwHighDateTime}}.QuadPart) -
         static_cast<std::int64_t>(
             ULARGE_INTEGER{{origin.dwLowDateTime, origin.dwHighDateTime}}.QuadPart)) /
        10000);
  };
  return ms(created) + ".." + ms(ended) + " ms";
}

// Two updaters started together on one installation whose application has already exited: one
// of them swaps and restarts the application, the other finds the lock held, logs that another
// updater is at work and ends at once, changing nothing; it never waits for the first and then
// runs the served request again. The second may name the install folder differently: the lock
// belongs to the folder, not to its spelling. Each run's outcome is printed.
TEST(UpdaterLock, TwoUpdatersStartedTogetherSwapOnceAndRestartOnce) {
  struct Case {
    const char* name;
    // The second updater's spelling of the install folder; empty when this system has none.
    std::function<std::wstring(const ScratchInstall&, std::optional<MappedDrive>&)> spelling;
  };
  const Case cases[] = {
      {"the same spelling", [](const ScratchInstall& s, auto&) { return s.install; }},
      {"its short name",
       [](const ScratchInstall& s, auto&) {
         wchar_t buffer[MAX_PATH];
         const DWORD n = ::GetShortPathNameW(s.install.c_str(), buffer, MAX_PATH);
         const std::wstring short_name(buffer, n < MAX_PATH ? n : 0);
         return short_name == s.install ? std::wstring() : short_name;
       }},
      {"a drive letter mapped onto the folder above",
       [](const ScratchInstall& s, std::optional<MappedDrive>& drive) {
         drive.emplace(L'P', s.root);
         return drive->mapped() ? drive->root() + L"Tavrio 安装" : std::wstring();
       }},
  };
  const int runs = paired_runs();
  for (const Case& c : cases) {
    for (int run = 1; run <= runs; ++run) {
      SCOPED_TRACE(std::string(c.name) + ", run " + std::to_string(run));
      const ScratchInstall s = make_scratch_install();
      std::optional<MappedDrive> drive;
      const std::wstring spelling = c.spelling(s, drive);
      if (spelling.empty()) {
        std::cout << "[  SKIPPED ] " << c.name << ": not a spelling this system has\n";
        break;
      }
      // Nothing to wait for: whichever updater takes the lock runs at once, and the other must
      // find it held rather than wait its turn.
      StartedProcess app(spawn_application(s, s.in_install(L"Tavrio.exe"), 0));
      ASSERT_TRUE(app.valid());
      ASSERT_TRUE(app.ends_within(15000));
      ASSERT_TRUE(wait_for_records(s, 1));
      std::vector<std::wstring> second = updater_arguments(s, app.pid());
      second[3] = spelling;
      StartedProcess one(spawn_updater(s, updater_arguments(s, app.pid())));
      StartedProcess two(spawn_updater(s, second));
      // Started together: the second exists while the first still runs.
      const bool together = !one.ended_within(0);
      ASSERT_TRUE(one.ends_within(30000));
      ASSERT_TRUE(two.ends_within(30000));
      // Whatever they started has ended too.
      ASSERT_TRUE(one.family_ended_within(15000) && two.family_ended_within(15000));
      const Lines log = log_messages(s.log);
      const size_t swaps = count_of(log, "文件已替换");
      const size_t restarts = standin_records(s).size() - 1;
      const size_t busy = count_of(log, kAnotherUpdaterRunning);
      const bool report = path_exists(s.in_install(L"update_failed.txt"));
      std::cout << "[ PAIRED   ] " << c.name << ", run " << run << ": swaps " << swaps
                << ", restarts " << restarts
                << ", second: " << (busy == 1 ? kAnotherUpdaterRunning : "(no such line)")
                << ", report: " << (report ? "yes" : "no")
                << (together ? "" : ", the first had ended before the second started") << "; first "
                << lifetime_of(one.get(), one.get()) << ", second "
                << lifetime_of(two.get(), one.get()) << "\n";
      EXPECT_TRUE(together);
      EXPECT_EQ(swaps, 1u);
      EXPECT_EQ(restarts, 1u);
      EXPECT_EQ(busy, 1u);
      EXPECT_FALSE(report);
      EXPECT_EQ(count_of(log, kBanner), 2u);
      EXPECT_EQ(count_of(log, "更新成功，重新启动"), 1u);
      EXPECT_EQ(log.size(), kSuccessLines.size() + 2) << testing::PrintToString(log);
      EXPECT_EQ(install_tree(s), tree_after_success());
      EXPECT_EQ(app.exit_code(), 0u);
    }
  }
}

}  // namespace
}  // namespace tavrio::test
