// The updater's runs that wait for real: an application that exits late or never, the backup's
// pauses, and the handle the wait holds on the application.
#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>

#include "common/handles.h"
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
  // Nothing of the installation moves while the application runs.
  while (!app.ended_within(20)) {
    ASSERT_EQ(read_file(s.in_install(L"_internal\\python312.dll")), kOldRuntime);
    ASSERT_FALSE(path_exists(s.in_install(L"_internal_old")));
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
  // Sampling starts once the wait holds its handle.
  wait_until(
      [&] {
        std::optional<std::vector<HandleEntry>> table = system_handles();
        return table && !handles_on(*table, owner.get(), app_id).empty();
      },
      10000);

  std::vector<std::vector<AppHandle>> samples;
  bool owner_listed = false;
  for (int i = 0; i < 10 && !app.ended_within(0); ++i) {
    std::optional<std::vector<HandleEntry>> table = system_handles();
    ASSERT_TRUE(table.has_value());
    for (const HandleEntry& e : *table) owner_listed |= e.process_id == ::GetProcessId(owner.get());
    samples.push_back(handles_on(*table, owner.get(), app_id));
    ::Sleep(150);
  }
  if (!owner_listed) GTEST_SKIP() << "the system's handle table does not list other processes";
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

}  // namespace
}  // namespace tavrio::test
