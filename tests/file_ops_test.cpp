// File operations on real scratch folders: existence, rename, copy, file and tree removal,
// including read-only entries, contention, deep trees and paths past 260 characters.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>
#include <winternl.h>

#include <cstddef>
#include <cstdio>
#include <vector>

#include "common/clock.h"
#include "common/file_ops.h"
#include "common/tree_removal.h"
#include "common/handles.h"
#include "common/log_line.h"
#include "support/test_support.h"

namespace tavrio {
namespace {

using test::path_exists;
using test::read_file;
using test::scratch_dir;
using test::write_file;

// A path well past MAX_PATH below the scratch folder, built of 40-character folder names.
std::wstring long_folder(const std::wstring& base) {
  std::wstring path = base;
  for (int i = 0; i < 8; ++i) path += L"\\" + std::wstring(40, static_cast<wchar_t>(L'a' + i));
  test::make_dirs(path);
  return path;
}

TEST(Exists, TellsPresentFromMissing) {
  const std::wstring dir = scratch_dir();
  write_file(dir + L"\\file.txt", "x");
  EXPECT_TRUE(exists(dir));
  EXPECT_TRUE(exists(dir + L"\\file.txt"));
  EXPECT_FALSE(exists(dir + L"\\missing"));
  EXPECT_FALSE(exists(dir + L"\\missing\\deeper"));
  EXPECT_FALSE(exists(L""));
  EXPECT_TRUE(is_directory(dir));
  EXPECT_FALSE(is_directory(dir + L"\\file.txt"));
  EXPECT_FALSE(is_directory(dir + L"\\missing"));
}

TEST(Exists, CountsAFileLockedWithoutSharing) {
  const std::wstring dir = scratch_dir();
  const std::wstring file = dir + L"\\locked.bin";
  write_file(file, "x");
  UniqueFile lock(::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock.valid());
  EXPECT_TRUE(exists(file));
}

TEST(Rename, ReplacesTargetsAndMovesFolders) {
  const std::wstring dir = scratch_dir();
  write_file(dir + L"\\a.txt", "new");
  write_file(dir + L"\\b.txt", "old");
  EXPECT_TRUE(rename_path(dir + L"\\a.txt", dir + L"\\b.txt").ok());
  EXPECT_EQ(read_file(dir + L"\\b.txt"), "new");
  EXPECT_FALSE(path_exists(dir + L"\\a.txt"));

  write_file(dir + L"\\_internal\\python312.dll", "dll");
  EXPECT_TRUE(rename_path(dir + L"\\_internal", dir + L"\\_internal_old").ok());
  EXPECT_EQ(read_file(dir + L"\\_internal_old\\python312.dll"), "dll");

  Status missing = rename_path(dir + L"\\missing", dir + L"\\x");
  EXPECT_EQ(missing.code(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Drive T: of the test prefix lies on another Linux file system (tmpfs).
TEST(Rename, NeverCopiesOntoAnotherVolume) {
  if (!test::is_dir(L"T:\\")) GTEST_SKIP() << "no drive T: on another file system in this prefix";
  const std::wstring dir = scratch_dir();
  const std::wstring other = L"T:\\rename-test";
  test::remove_all(other);
  test::make_dirs(other);
  write_file(dir + L"\\_internal\\python312.dll", "dll");
  Status result = rename_path(dir + L"\\_internal", other + L"\\_internal");
  EXPECT_EQ(result.code(), static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
  EXPECT_EQ(read_file(dir + L"\\_internal\\python312.dll"), "dll");
  EXPECT_FALSE(path_exists(other + L"\\_internal"));
  test::remove_all(other);
}

// A FileRenameInformationEx rename of `from` to `to` with the given flags, asked of the system
// directly (not through the code under test): the NTSTATUS it gives.
NTSTATUS rename_ex(const std::wstring& from, const std::wstring& to, ULONG flags) {
  UniqueFile file(::CreateFileW(from.c_str(), DELETE, 7, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.valid()) return static_cast<NTSTATUS>(0xC0000001);  // STATUS_UNSUCCESSFUL
  const std::wstring nt_to = L"\\??\\" + to;
  std::vector<char> buffer(offsetof(FILE_RENAME_INFO, FileName) + nt_to.size() * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->Flags = flags;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(nt_to.size() * sizeof(wchar_t));
  std::copy(nt_to.begin(), nt_to.end(), info->FileName);
  IO_STATUS_BLOCK io;
  return ::NtSetInformationFile(file.get(), &io, info, static_cast<ULONG>(buffer.size()),
                                static_cast<FILE_INFORMATION_CLASS>(65));
}

std::string status_text(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
  return text;
}

// Why this system has no POSIX-semantics rename, or nothing when it has: a plain rename of a
// scratch file through FileRenameInformationEx.
std::string posix_rename_missing() {
  const std::wstring dir = scratch_dir();
  write_file(dir + L"\\from", "probe");
  const NTSTATUS status = rename_ex(dir + L"\\from", dir + L"\\to", 0);
  if (status >= 0) return {};
  return "FileRenameInformationEx is refused here (" + status_text(status) +
         "): Wine 8 and Windows before 10 1607 have no POSIX-semantics rename";
}

// Why this system does not replace a file that another handle holds open (with delete sharing)
// even with POSIX semantics, or nothing when it does.
std::string posix_replace_of_open_file_missing() {
  const std::wstring dir = scratch_dir();
  write_file(dir + L"\\from", "new");
  write_file(dir + L"\\to", "old");
  UniqueFile held(
      ::CreateFileW((dir + L"\\to").c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr));
  const NTSTATUS status = rename_ex(dir + L"\\from", dir + L"\\to", 0x3);
  if (status >= 0) return {};
  return "a POSIX-semantics rename does not replace a file open elsewhere here (" +
         status_text(status) + "; Wine 10 refuses it, Windows replaces it)";
}

// MoveFileExW refuses to replace a file that another process holds open with delete sharing; the
// fallback replaces it with POSIX semantics, and the holder's handle still reads the old file.
TEST(Rename, ReplacesATargetOthersHoldOpenWithDeleteSharing) {
  if (std::string missing = posix_rename_missing(); !missing.empty()) GTEST_SKIP() << missing;
  if (std::string missing = posix_replace_of_open_file_missing(); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  const std::wstring dir = scratch_dir();
  const std::wstring from = dir + L"\\Tavrio.exe.new", to = dir + L"\\Tavrio.exe";
  write_file(from, "new");
  write_file(to, "old");
  UniqueFile held(::CreateFileW(to.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.valid());
  ASSERT_FALSE(::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
      << "the plain replacement went through: nothing is left for the fallback to do";

  const Status result = rename_path(from, to);
  EXPECT_TRUE(result.ok()) << result.code();
  EXPECT_EQ(read_file(to), "new");
  EXPECT_FALSE(path_exists(from));
  char seen[8] = {};
  DWORD n = 0;
  EXPECT_TRUE(::ReadFile(held.get(), seen, sizeof seen, &n, nullptr));
  EXPECT_EQ(std::string(seen, n), "old") << "the holder's handle must still read its file";
}

// The fallback replaces nothing that MoveFileExW refused for another reason: a read-only target
// (the fallback does not ask to ignore the attribute) or one held open without delete sharing.
// The error is the one MoveFileExW gave, and both files stay as they were.
TEST(Rename, LeavesAReadOnlyTargetAndOneHeldWithoutDeleteSharing) {
  // Wine 8 (as root) replaces a read-only file; where it runs, so does no fallback.
  if (std::string missing = posix_rename_missing(); !missing.empty()) GTEST_SKIP() << missing;
  struct Row {
    const char* name;
    DWORD held_sharing;  // the sharing of a handle held on the target; 0: none held
    bool read_only;
  };
  const Row rows[] = {
      {"held open without delete sharing", FILE_SHARE_READ | FILE_SHARE_WRITE, false},
      {"read-only", 0, true},
      {"read-only and held open with delete sharing", 7, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::wstring dir = scratch_dir();
    const std::wstring from = dir + L"\\Tavrio.exe.new", to = dir + L"\\Tavrio.exe";
    write_file(from, "new");
    write_file(to, "old");
    if (row.read_only) test::set_read_only(to, true);
    UniqueFile held;
    if (row.held_sharing != 0) {
      held.reset(::CreateFileW(to.c_str(), GENERIC_READ, row.held_sharing, nullptr, OPEN_EXISTING,
                               0, nullptr));
      ASSERT_TRUE(held.valid());
    }
    ASSERT_FALSE(::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        << "the plain replacement went through";
    const DWORD plain_error = ::GetLastError();

    EXPECT_EQ(rename_path(from, to).code(), plain_error) << "the error MoveFileExW gave";
    EXPECT_EQ(read_file(to), "old");
    EXPECT_EQ(read_file(from), "new");
    held.reset();
    if (row.read_only) test::set_read_only(to, false);
  }
}

TEST(Copy, OverwritesAnExistingTarget) {
  const std::wstring dir = scratch_dir();
  write_file(dir + L"\\from.exe", std::string(300000, 'n'));
  write_file(dir + L"\\to.exe", "old");
  EXPECT_TRUE(copy_file(dir + L"\\from.exe", dir + L"\\to.exe").ok());
  EXPECT_TRUE(test::files_equal(dir + L"\\from.exe", dir + L"\\to.exe"));
  EXPECT_EQ(copy_file(dir + L"\\missing", dir + L"\\to.exe").code(),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(RemoveFile, RemovesReadOnlyFilesAndReportsOtherErrors) {
  const std::wstring dir = scratch_dir();
  write_file(dir + L"\\Tavrio.exe", "x");
  test::set_read_only(dir + L"\\Tavrio.exe", true);
  EXPECT_TRUE(remove_file(dir + L"\\Tavrio.exe").ok());
  EXPECT_FALSE(path_exists(dir + L"\\Tavrio.exe"));
  EXPECT_EQ(remove_file(dir + L"\\missing").code(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  test::make_dirs(dir + L"\\folder");
  EXPECT_FALSE(remove_file(dir + L"\\folder").ok());
  EXPECT_TRUE(test::is_dir(dir + L"\\folder"));
}

TEST(RemoveTree, RefusesAPlainFileAndAMissingPath) {
  const std::wstring dir = scratch_dir();
  write_file(dir + L"\\_internal_old", "plain file");
  EXPECT_EQ(remove_tree(dir + L"\\_internal_old").code(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_EQ(read_file(dir + L"\\_internal_old"), "plain file");
  DWORD missing = remove_tree(dir + L"\\missing").code();
  EXPECT_TRUE(missing == ERROR_FILE_NOT_FOUND || missing == ERROR_PATH_NOT_FOUND) << missing;
}

TEST(RemoveTree, RemovesAWideTreeWithReadOnlyEntries) {
  const std::wstring dir = scratch_dir();
  const std::wstring root = dir + L"\\Tavrio 安装";
  for (int d = 0; d < 20; ++d) {
    std::wstring sub = root + L"\\folder " + std::to_wstring(d);
    for (int f = 0; f < 15; ++f) {
      std::wstring file = sub + L"\\file" + std::to_wstring(f) + L".pyd";
      write_file(file, "data");
      if (f % 3 == 0) test::set_read_only(file, true);
    }
    if (d % 4 == 0) test::set_read_only(sub, true);
  }
  write_file(root + L"\\只读.txt", "ro");
  test::set_read_only(root + L"\\只读.txt", true);
  test::make_dirs(root + L"\\empty");
  write_file(dir + L"\\beside.txt", "kept");

  EXPECT_TRUE(remove_tree(root).ok());
  EXPECT_FALSE(path_exists(root));
  EXPECT_EQ(read_file(dir + L"\\beside.txt"), "kept");
}

TEST(RemoveTree, RemovesAFolderFiveHundredLevelsDeepWithFlatMemory) {
  const std::wstring dir = scratch_dir();
  std::wstring path = L"\\\\?\\" + dir + L"\\deep";
  ::CreateDirectoryW(path.c_str(), nullptr);
  for (int i = 0; i < 500; ++i) {
    path += L"\\d" + std::to_wstring(i % 10);
    ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr)) << i;
    if (i % 50 == 0) write_file(path + L"\\f.txt", "x");
  }
  PROCESS_MEMORY_COUNTERS before{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &before, sizeof before);
  EXPECT_TRUE(remove_tree(dir + L"\\deep").ok());
  PROCESS_MEMORY_COUNTERS after{};
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &after, sizeof after);
  EXPECT_FALSE(path_exists(dir + L"\\deep"));
  // One open folder and one name per level, one listing buffer: far below 16 MB.
  EXPECT_LT(after.PeakWorkingSetSize, before.PeakWorkingSetSize + 16 * 1024 * 1024);
}

TEST(RemoveTree, StopsAtAnEntryHeldOpenWithoutDeleteSharing) {
  const std::wstring dir = scratch_dir();
  const std::wstring root = dir + L"\\_internal";
  write_file(root + L"\\busy.dll", "busy");
  UniqueFile held(::CreateFileW((root + L"\\busy.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.valid());
  Status result = remove_tree(root);
  EXPECT_EQ(result.code(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(read_file(root + L"\\busy.dll"), "busy");
  held.reset();
  EXPECT_TRUE(remove_tree(root).ok());
}

TEST(LongPaths, EveryOperationWorksPastTwoHundredSixtyCharacters) {
  const std::wstring base = long_folder(scratch_dir());
  ASSERT_GT(base.size(), 300u);
  const std::wstring file = base + L"\\Tavrio.exe";
  write_file(file, "exe");
  EXPECT_TRUE(exists(file));
  EXPECT_TRUE(is_directory(base));
  EXPECT_TRUE(copy_file(file, base + L"\\copy.exe").ok());
  EXPECT_TRUE(rename_path(base + L"\\copy.exe", base + L"\\renamed.exe").ok());
  EXPECT_EQ(read_file(base + L"\\renamed.exe"), "exe");
  append_log_line(base + L"\\update.log", "line");
  EXPECT_EQ(test::read_lines(base + L"\\update.log").size(), 1u);
  test::set_read_only(file, true);
  EXPECT_TRUE(remove_file(file).ok());
  EXPECT_FALSE(exists(file));
  write_file(base + L"\\sub\\x.txt", "x");
  EXPECT_TRUE(remove_tree(base).ok());
  EXPECT_FALSE(exists(base));
}

// Junctions and symbolic links: Wine 8 creates neither (CreateSymbolicLinkW is a stub that
// reports success), so these run where the system really makes links.
bool make_dir_symlink(const std::wstring& link, const std::wstring& target) {
  DWORD flags = SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2;  // allow unprivileged create
  return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) &&
         (::GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) &&
         ::GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(Links, TreeRemovalDeletesALinkButNotItsTarget) {
  const std::wstring dir = scratch_dir();
  write_file(dir + L"\\outside\\keep.txt", "keep");
  test::make_dirs(dir + L"\\tree");
  if (!make_dir_symlink(dir + L"\\tree\\link", dir + L"\\outside")) {
    GTEST_SKIP() << "this system cannot create directory symbolic links (Wine 8's "
                    "CreateSymbolicLinkW creates nothing)";
  }
  EXPECT_TRUE(remove_tree(dir + L"\\tree").ok());
  EXPECT_FALSE(path_exists(dir + L"\\tree"));
  EXPECT_EQ(read_file(dir + L"\\outside\\keep.txt"), "keep");
}

TEST(Links, ADanglingLinkDoesNotExist) {
  const std::wstring dir = scratch_dir();
  test::make_dirs(dir + L"\\target");
  if (!make_dir_symlink(dir + L"\\link", dir + L"\\target")) {
    GTEST_SKIP() << "this system cannot create directory symbolic links (Wine 8's "
                    "CreateSymbolicLinkW creates nothing)";
  }
  ::RemoveDirectoryW((dir + L"\\target").c_str());
  EXPECT_FALSE(exists(dir + L"\\link"));
  EXPECT_FALSE(is_directory(dir + L"\\link"));
}

TEST(Pause, SleepsAtLeastTheGivenTime) {
  std::uint64_t start = test::now_ms();
  pause_ms(60);
  EXPECT_GE(test::now_ms() - start, 50u);
}

}  // namespace
}  // namespace tavrio
