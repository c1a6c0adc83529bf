// The package manifest: its parser on texts, the check on scratch staging folders, and the real
// updater refusing a damaged stage before anything of the installation is touched.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <optional>

#include "common/handles.h"
#include "package_manifest.h"
#include "updater_fixture.h"

namespace tavrio::test {
namespace {

using updater::ManifestVerdict;

const std::string kHeader = "tavrio-package 1\n";
const std::string kAnyHash(64, 'a');

// Staged files with their SHA-256 as sha256sum computes it.
struct StagedFile {
  std::wstring path;
  std::string bytes;
  std::string sha256;
};
const StagedFile kExe = {L"Tavrio.exe", "exe 2.0\n",
                         "9dcb154d99f45b048ecde19c58acf065971350bc4683f60277be3588eb614427"};
const StagedFile kRuntime = {L"_internal\\python312.dll", kNewRuntime,
                             "89e314136d84c7322c9fd64709a80a1089a6792c3ccbf524aedb150ae5f72f20"};
const StagedFile kStdlib = {L"_internal\\base_library.zip", kNewStdlib,
                            "d56e7e77a13d0a2e9cdb36d2fa29e7157814fc893a1b7f829f895d547a8dc0b3"};
const StagedFile kModule = {L"_internal\\lib\\new_only.pyd", "new module\n",
                            "dae0d8c46de9bb12490b63086fa3c8cf8cc46a25d7441f34ee8b347ac9abcf1b"};

std::string line_of(const std::string& path, std::uint64_t size, const std::string& sha256) {
  return path + "\t" + std::to_string(size) + "\t" + sha256 + "\n";
}
std::string line_of(const StagedFile& f) {
  return line_of(narrow(f.path), f.bytes.size(), f.sha256);
}

std::string error_of(const std::string& text) {
  return updater::parse_manifest(text).error;
}

TEST(ManifestParse, AcceptsTheFormatAndNamesTheFirstFault) {
  const std::string entry = line_of("a", 1, kAnyHash);
  const std::string malformed_3 = "第 3 行格式错误", not_the_format = "不是 tavrio-package 1 格式";
  struct Case {
    const char* name;
    std::string text;
    std::string error;  // "" when valid
  };
  const Case cases[] = {
      {"LF line ends", kHeader + entry, ""},
      {"CRLF line ends, none after the last",
       "tavrio-package 1\r\na\t1\t" + kAnyHash + "\r\nb\t2\t" + kAnyHash, ""},
      {"a byte-order mark before the header", "\xEF\xBB\xBF" + kHeader + entry, ""},
      {"largest size", kHeader + line_of("a", 18446744073709551615ull, kAnyHash), ""},
      {"empty", "", not_the_format},
      {"another version", "tavrio-package 2\n" + entry, not_the_format},
      {"header with a space", "tavrio-package 1 \n" + entry, not_the_format},
      {"header only", kHeader, "没有列出任何文件"},
      {"blank line", kHeader + entry + "\n" + line_of("b", 1, kAnyHash), malformed_3},
      {"lone CR inside a line", kHeader + entry + "b\t1\t" + kAnyHash + "\rc\t1\t" + kAnyHash,
       malformed_3},
      {"upper-case hex", kHeader + entry + line_of("b", 1, std::string(64, 'A')), malformed_3},
      {"63 hex digits", kHeader + entry + line_of("b", 1, std::string(63, 'a')), malformed_3},
      {"not hex", kHeader + entry + line_of("b", 1, std::string(63, 'a') + "g"), malformed_3},
      {"size overflows", kHeader + entry + "b\t18446744073709551616\t" + kAnyHash, malformed_3},
      {"signed size", kHeader + entry + "b\t+1\t" + kAnyHash, malformed_3},
      {"two fields", kHeader + entry + "b\t" + kAnyHash, malformed_3},
      {"four fields", kHeader + entry + "b\t1\t" + kAnyHash + "\tx", malformed_3},
      {"empty path", kHeader + entry + line_of("", 1, kAnyHash), malformed_3},
      {"invalid UTF-8", kHeader + entry + line_of("a\xC3(", 1, kAnyHash), malformed_3},
      {"same path in other case",
       kHeader + line_of("_internal\\Lib\\A.pyd", 1, kAnyHash) + entry +
           line_of("_INTERNAL\\lib\\a.PYD", 1, kAnyHash) + line_of("a", 1, kAnyHash),
       "第 4 行的路径重复"},
      // 1,000,000 lines are within the limit (the blank second line is then the fault).
      {"1,000,000 lines", kHeader + std::string(999'999, '\n'), "第 2 行格式错误"},
      {"1,000,001 lines", kHeader + std::string(1'000'000, '\n'), "超过 1000000 行"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(c.text), c.error) << c.name;

  // Paths that could name something outside the staging folder, and names Win32 would alter.
  for (const char* path :
       {"..\\x", "_internal\\..\\..\\x", ".\\x", "C:\\x", "C:x", "\\x", "\\\\server\\share\\x",
        "_internal/x", "_internal\\\\x", "_internal\\", "_internal\\NUL.txt", "_internal\\com1",
        "_internal\\x.", "_internal\\x ", "x:stream", "a\x01"}) {
    EXPECT_EQ(error_of(kHeader + entry + line_of(path, 1, kAnyHash)), "第 3 行的路径不在暂存目录内")
        << path;
  }
}

// A staging folder with the four files and their manifest; an unlisted uninstaller beside them
// and an empty folder in "_internal", which the manifest need not list.
std::wstring make_stage() {
  const std::wstring stage = scratch_dir() + L"\\staging";
  std::string manifest = kHeader;
  for (const StagedFile& f : {kExe, kRuntime, kStdlib, kModule}) {
    write_file(stage + L"\\" + f.path, f.bytes);
    manifest += line_of(f);
  }
  write_file(stage + L"\\package.manifest", manifest);
  write_file(stage + L"\\卸载.exe", "uninstaller\n");
  make_dirs(stage + L"\\_internal\\empty");
  return stage;
}

// A link at `link` to `target`: a junction as Windows makes one, or under Wine (which cannot) a
// Unix symbolic link, which Wine shows as a folder with the reparse-point attribute. Returns why
// neither could be made, or "".
std::string make_link(const std::wstring& link, const std::wstring& target) {
  if (!running_under_wine()) return make_junction(link, target);
  const int status = run_linux("ln -s '" + linux_path(target) + "' '" + linux_path(link) + "'");
  return status == 0 ? "" : "ln -s failed with " + std::to_string(status);
}

TEST(ManifestCheck, PassesOnlyAStageThatMatchesItsManifest) {
  const std::wstring manifest = L"package.manifest";
  struct Case {
    const char* name;
    std::wstring file;                 // in the stage, written with `bytes` or deleted
    std::optional<std::string> bytes;  // nothing: deleted
    ManifestVerdict verdict;
    std::wstring damaged;  // relative to the stage
    std::string error;
  };
  const Case cases[] = {
      {"matches; an unlisted file outside _internal", L"readme.txt", "x", ManifestVerdict::kMatches,
       L"", ""},
      {"paths in another case", manifest,
       kHeader + line_of("_INTERNAL\\Python312.DLL", kNewRuntime.size(), kRuntime.sha256) +
           line_of(kStdlib) + line_of(kModule),
       ManifestVerdict::kMatches, L"", ""},
      {"no manifest", manifest, {}, ManifestVerdict::kNoManifest, L"", ""},
      {"truncated file", kRuntime.path, "python runtime 2.", ManifestVerdict::kDamaged,
       kRuntime.path, ""},
      {"one byte changed", kRuntime.path, "python runtime 2.1\n", ManifestVerdict::kDamaged,
       kRuntime.path, ""},
      {"emptied executable", L"Tavrio.exe", "", ManifestVerdict::kDamaged, L"Tavrio.exe", ""},
      {"missing file", kModule.path, {}, ManifestVerdict::kDamaged, kModule.path, ""},
      {"extra file deep in _internal", L"_internal\\lib\\a\\x.pyc", "", ManifestVerdict::kDamaged,
       L"_internal\\lib\\a\\x.pyc", ""},
      {"a bad line", manifest, kHeader + "python312.dll 19\n", ManifestVerdict::kInvalid, L"",
       "第 2 行格式错误"},
      // The path names the staged executable itself, which would match if it were opened.
      {"a path with ..", manifest,
       kHeader + line_of("..\\staging\\Tavrio.exe", kExe.bytes.size(), kExe.sha256),
       ManifestVerdict::kInvalid, L"", "第 2 行的路径不在暂存目录内"},
      {"an empty manifest", manifest, "", ManifestVerdict::kInvalid, L"",
       "不是 tavrio-package 1 格式"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring stage = make_stage();
    if (c.bytes) write_file(stage + L"\\" + c.file, *c.bytes);
    if (!c.bytes) ::DeleteFileW((stage + L"\\" + c.file).c_str());
    const updater::ManifestCheck check = updater::check_package_manifest(stage);
    EXPECT_EQ(check.verdict, c.verdict);
    EXPECT_EQ(check.damaged_path, c.damaged.empty() ? L"" : stage + L"\\" + c.damaged);
    EXPECT_EQ(check.error, c.error);
  }

  // A manifest over 64 MB is refused unread; one that cannot be opened, with the OS error.
  const std::wstring path = make_stage() + L"\\" + manifest;
  UniqueFile file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(::SetFilePointerEx(file.get(), {.QuadPart = 64ll << 20 | 1}, nullptr, FILE_BEGIN) &&
              ::SetEndOfFile(file.get()));
  const std::wstring stage = path.substr(0, path.rfind(L'\\'));
  EXPECT_EQ(updater::check_package_manifest(stage).error, error_text_of(ERROR_SHARING_VIOLATION));
  file.reset();
  EXPECT_EQ(updater::check_package_manifest(stage).error, "超过 64 MB");
}

TEST(ManifestCheck, AnUnlistedLinkIsAnExtraEntryAndNotEntered) {
  // A link inside the program folder, and the program folder itself a link to the listed files.
  for (const bool whole_folder : {false, true}) {
    SCOPED_TRACE(whole_folder ? "_internal a link" : "a link in _internal");
    const std::wstring stage = make_stage();
    const std::wstring target = stage + L"\\..\\elsewhere";
    const std::wstring link = stage + (whole_folder ? L"\\_internal" : L"\\_internal\\lib\\linked");
    if (whole_folder) {
      ASSERT_TRUE(::MoveFileW(link.c_str(), target.c_str()));
    } else {
      write_file(target + L"\\x.pyd", "x");
    }
    if (std::string why = make_link(link, target); !why.empty()) GTEST_SKIP() << why;
    const updater::ManifestCheck check = updater::check_package_manifest(stage);
    if (running_under_wine()) run_linux("rm '" + linux_path(link) + "'");
    EXPECT_EQ(check.verdict, ManifestVerdict::kDamaged);
    EXPECT_EQ(check.damaged_path, link);
  }
}

// The real updater: a damaged stage and an invalid manifest end the update like a missing file.
TEST(ManifestUpdate, ADamagedStageIsRefusedBeforeAnythingIsTouched) {
  struct Case {
    const char* name;
    std::function<std::string(const ScratchInstall&)> arrange;  // gives the expected reason
  };
  // The fixture's staged runtime; its executable is a built stand-in and need not be listed.
  const std::string manifest = kHeader + line_of(kRuntime) + line_of(kStdlib) + line_of(kModule);
  const Case cases[] = {
      {"a truncated runtime",
       [&](const ScratchInstall& s) {
         write_file(s.in_stage(L"package.manifest"), manifest);
         write_file(s.in_stage(kRuntime.path), "python");
         return "准备好的文件已损坏：" + narrow(s.in_stage(kRuntime.path));
       }},
      {"a path leaving the stage",
       [&](const ScratchInstall& s) {
         write_file(s.in_stage(L"package.manifest"), manifest + line_of("..\\x", 1, kAnyHash));
         return std::string("准备好的文件清单无效：第 5 行的路径不在暂存目录内");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScratchInstall s = make_scratch_install();
    const std::string reason = c.arrange(s);
    ASSERT_TRUE(run_updater(s, updater_arguments(s)).finished);
    EXPECT_EQ(log_messages(s.log),
              (std::vector<std::string>{kBanner, kExited, "更新失败：" + reason}));
    EXPECT_EQ(read_report(s).reason, reason);
    EXPECT_EQ(install_tree(s), with_report(tree_before_update()));
    EXPECT_TRUE(read_file(s.in_install(L"Tavrio.exe")) == s.old_exe);
    EXPECT_FALSE(path_exists(s.stage));
    ASSERT_TRUE(wait_for_records(s, 1)) << "the application was not started again";
    EXPECT_EQ(standin_records(s).back().at(1), "cwd " + narrow(s.install));
  }
}

}  // namespace
}  // namespace tavrio::test
