// Measures the package manifest check in-process on a generated staging folder of about 3,000
// files and 100 MB laid out as a one-folder bundle (the files just written, so in the system's
// cache as after an extraction):
//   - the whole check: sizes, the walk of "_internal", the SHA-256 of every file;
//   - the same stage with one unlisted file: the check stops after the sizes and the walk, which
//     is what the check costs before hashing;
//   - a stage without a manifest: what the package check pays then.
// Median, minimum and maximum of the runs. Usage: manifest_check_bench [runs]   (default 5)
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "common/tree_removal.h"
#include "package_manifest.h"

namespace {

using Clock = std::chrono::steady_clock;
using tavrio::UniqueFile;
namespace up = tavrio::updater;

constexpr int kSmallFiles = 2900;
constexpr int kLargeFiles = 100;
constexpr DWORD kSmallSize = 12 * 1024;
constexpr DWORD kLargeSize = 660 * 1024;
constexpr int kFolders = 60;

std::wstring folder_of_exe() {
  wchar_t path[4096];
  DWORD n = ::GetModuleFileNameW(nullptr, path, 4096);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L'\\'));
}

std::string sha256_hex(const std::vector<char>& bytes, DWORD size) {
  static BCRYPT_ALG_HANDLE algorithm = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    ::BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    return h;
  }();
  unsigned char digest[32];
  ::BCryptHash(algorithm, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
               size, digest, 32);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : digest) (hex += kHex[b >> 4]) += kHex[b & 15];
  return hex;
}

void write_bytes(const std::wstring& path, const std::vector<char>& bytes, DWORD size) {
  UniqueFile file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (file) ::WriteFile(file.get(), bytes.data(), size, &written, nullptr);
}

// The bundle below <stage>\_internal and its manifest (the executable is left out).
void generate_stage(const std::wstring& stage) {
  std::vector<char> bytes(kLargeSize);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 2654435761u >> 24);
  const std::string small_hash = sha256_hex(bytes, kSmallSize);
  const std::string large_hash = sha256_hex(bytes, kLargeSize);
  const std::wstring internal = stage + L"\\_internal";
  ::CreateDirectoryW(stage.c_str(), nullptr);
  ::CreateDirectoryW(internal.c_str(), nullptr);
  for (int f = 0; f < kFolders; ++f) {
    ::CreateDirectoryW((internal + L"\\pkg" + std::to_wstring(f)).c_str(), nullptr);
  }
  std::string manifest = "tavrio-package 1\n";
  for (int i = 0; i < kSmallFiles + kLargeFiles; ++i) {
    const bool small = i < kSmallFiles;
    const std::wstring relative = L"_internal\\pkg" + std::to_wstring(i % kFolders) + L"\\mod" +
                                  std::to_wstring(i) + (small ? L".pyc" : L".pyd");
    write_bytes(stage + L"\\" + relative, bytes, small ? kSmallSize : kLargeSize);
    manifest += tavrio::display_form(relative) + "\t" +
                std::to_string(small ? kSmallSize : kLargeSize) + "\t" +
                (small ? small_hash : large_hash) + "\n";
  }
  std::vector<char> text(manifest.begin(), manifest.end());
  write_bytes(stage + L"\\package.manifest", text, static_cast<DWORD>(text.size()));
}

struct Stats {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  double median() const {
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    if (v.empty()) return 0;
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }
};

void print(const char* name, const Stats& s) {
  std::printf("  %-44s median %8.1f ms   min %8.1f   max %8.1f\n", name, s.median(),
              *std::min_element(s.values.begin(), s.values.end()),
              *std::max_element(s.values.begin(), s.values.end()));
}

// Times the check `runs` times; false when a run gave another verdict than expected.
bool time_check(const std::wstring& stage, up::ManifestVerdict expected, int runs, Stats* stats) {
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    const up::ManifestCheck check = up::check_package_manifest(stage);
    stats->add(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (check.verdict != expected) {
      std::printf("  unexpected verdict %d: %s%s\n", static_cast<int>(check.verdict),
                  tavrio::display_form(check.damaged_path).c_str(), check.error.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 5;
  const std::wstring bin = folder_of_exe();
  const std::wstring root = bin.substr(0, bin.find_last_of(L'\\')) + L"\\bench-scratch\\manifest";
  ::CreateDirectoryW(root.substr(0, root.find_last_of(L'\\')).c_str(), nullptr);
  (void)tavrio::remove_tree(root);
  ::CreateDirectoryW(root.c_str(), nullptr);
  const std::wstring stage = root + L"\\staging";
  generate_stage(stage);
  std::printf("stage: %d files, %.1f MB in _internal, listed in package.manifest; %d runs\n",
              kSmallFiles + kLargeFiles,
              (kSmallFiles * double(kSmallSize) + kLargeFiles * double(kLargeSize)) / 1048576.0,
              runs);

  Stats whole, before_hashing, without;
  bool ok = time_check(stage, up::ManifestVerdict::kMatches, runs, &whole);
  const std::wstring stray = stage + L"\\_internal\\pkg59\\zz_unlisted.pyc";
  std::vector<char> one(1, 'x');
  write_bytes(stray, one, 1);
  ok = time_check(stage, up::ManifestVerdict::kDamaged, runs, &before_hashing) && ok;
  ::DeleteFileW(stray.c_str());
  ::DeleteFileW((stage + L"\\package.manifest").c_str());
  ok = time_check(stage, up::ManifestVerdict::kNoManifest, runs, &without) && ok;
  (void)tavrio::remove_tree(root);

  print("whole check (sizes, walk, SHA-256)", whole);
  print("sizes and walk only (an unlisted file)", before_hashing);
  print("no manifest", without);
  const double mb = (kSmallFiles * double(kSmallSize) + kLargeFiles * double(kLargeSize)) / 1e6;
  std::printf("  hash pass (opening, reading and hashing every file): %.0f MB/s\n",
              mb / ((whole.median() - before_hashing.median()) / 1000.0));
  return ok ? 0 : 1;
}
