#include "support/scene.h"

#include <bcrypt.h>

#include "common/entry_handles.h"
#include "common/file_ops.h"
#include "common/path.h"
#include "common/text.h"

namespace tavrio::test {
namespace {

bool is_folder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(win32_path(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool write_one(const std::wstring& path, const std::string& bytes, bool synced) {
  make_dirs(text_before_last_separator(path));
  UniqueFile file = open_path(path, GENERIC_WRITE, 0, {kShareNone, CREATE_ALWAYS});
  if (!file || !write_all(file.get(), bytes)) return false;
  return !synced || ::FlushFileBuffers(file.get());
}

bool copy_one(const std::wstring& from, const std::wstring& to, bool synced) {
  make_dirs(text_before_last_separator(to));
  if (!::CopyFileW(from.c_str(), to.c_str(), FALSE)) return false;
  return !synced || flush_file(to).ok();
}

// The generated runtime below dir\_internal; the first path that could not be written, or "".
std::wstring write_generated(const std::wstring& dir, const GeneratedRuntime& g, bool synced) {
  const std::string small(g.small_size, 's'), large(g.large_size, 'l');
  for (int i = 0; i < g.files(); ++i) {
    const bool is_small = i < g.small;
    const std::wstring path = dir + L"\\_internal\\pkg" + std::to_wstring(i % g.folders) +
                              L"\\mod" + std::to_wstring(i) + (is_small ? L".pyc" : L".pyd");
    if (!write_one(path, is_small ? small : large, synced)) return path;
  }
  return {};
}

std::string sha256_hex(const std::string& bytes) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  unsigned char digest[32] = {};
  if (BCRYPT_SUCCESS(
          ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    ::BCryptHash(algorithm, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                 static_cast<ULONG>(bytes.size()), digest, sizeof digest);
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char b : digest) (hex += kHex[b >> 4]) += kHex[b & 15];
  return hex;
}

// Appends "<path>\t<size>\t<sha256>" for every file below stage\relative.
void list_files(const std::wstring& stage, const std::wstring& relative, std::string* manifest) {
  WIN32_FIND_DATAW found;
  const std::wstring folder = relative.empty() ? stage : stage + L"\\" + relative;
  UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!find) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = relative.empty() ? name : relative + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      list_files(stage, path, manifest);
    } else if (path != L"package.manifest") {
      const std::string bytes = read_file(stage + L"\\" + path);
      *manifest += display_form(path) + "\t" + std::to_string(bytes.size()) + "\t" +
                   sha256_hex(bytes) + "\n";
    }
  } while (::FindNextFileW(find.get(), &found));
}

}  // namespace

void make_dirs(const std::wstring& path) {
  if (path.empty() || is_folder(path)) return;
  const std::wstring parent = text_before_last_separator(path);
  if (!parent.empty() && parent != path && parent.back() != L':') make_dirs(parent);
  ::CreateDirectoryW(win32_path(path).c_str(), nullptr);
}

std::string read_file(const std::wstring& path) {
  UniqueFile file = open_path(path, GENERIC_READ, 0);
  std::string bytes;
  char buffer[65536];
  DWORD read = 0;
  while (file && ::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    bytes.append(buffer, read);
  }
  return bytes;
}

double GeneratedRuntime::megabytes() const {
  return (small * double(small_size) + large * double(large_size)) / 1048576.0;
}

std::wstring write_bundle(const std::wstring& dir, const std::vector<SceneFile>& files,
                          bool synced) {
  make_dirs(dir);
  for (const SceneFile& f : files) {
    const std::wstring path = join(dir, f.path);
    const bool written =
        f.copy_of.empty() ? write_one(path, f.bytes, synced) : copy_one(f.copy_of, path, synced);
    if (!written) return path;
  }
  return {};
}

bool write_package_manifest(const std::wstring& stage, bool synced) {
  std::string manifest = "tavrio-package 1\n";
  list_files(stage, L"", &manifest);
  return write_one(join(stage, L"package.manifest"), manifest, synced);
}

std::vector<SceneFile> bundle_files(const BundleVersion& version) {
  std::vector<SceneFile> files = {
      {L"Tavrio.exe", version.main_program.bytes, version.main_program.copy_of},
      {L"_internal\\python312.dll", version.runtime, {}},
      {L"_internal\\base_library.zip", version.stdlib, {}}};
  if (version.with_uninstaller) {
    files.push_back({L"卸载.exe", version.uninstaller.bytes, version.uninstaller.copy_of});
  }
  return files;
}

std::vector<SceneFile> sample_stage(const std::wstring& bin, const std::string& version) {
  return bundle_files({.main_program = {.copy_of = join(bin, L"standin_app.exe")},
                       .runtime = "python runtime " + version + "\n",
                       .stdlib = "stdlib " + version + "\n",
                       .uninstaller = {.copy_of = join(bin, L"uninstall.exe")}});
}

std::vector<SceneFile> sample_bundle(const std::wstring& bin, const std::string& version) {
  std::vector<SceneFile> files = sample_stage(bin, version);
  files.push_back({L"version.txt", version + "\n", {}});
  files.push_back({L"tavrio-updater.exe", {}, join(bin, L"tavrio-updater.exe")});
  return files;
}

Scene make_scene(const std::wstring& root, const SceneOptions& options) {
  Scene s;
  s.root = root;
  s.install = join(root, options.install_name);
  make_dirs(root);
  auto note = [&](const std::wstring& failed) {
    if (s.failed.empty()) s.failed = failed;
  };
  note(write_bundle(s.install, options.installed, options.synced));
  note(write_generated(s.install, options.generated, options.synced));
  if (!options.staged.empty()) {
    s.stage = join(root, options.stage_name);
    note(write_bundle(s.stage, options.staged, options.synced));
    note(write_generated(s.stage, options.generated, options.synced));
    if (options.manifest && !write_package_manifest(s.stage, options.synced)) {
      note(join(s.stage, L"package.manifest"));
    }
  }
  if (options.user_folders) {
    s.temp = join(root, L"temp");
    s.local = join(root, L"local");
    s.profile = join(root, L"profile");
    s.roaming = join(root, L"roaming");
    for (const std::wstring& folder : {s.temp, s.local, s.profile, s.roaming}) {
      make_dirs(folder);
    }
    std::vector<SceneFile> files = {{L"local\\Tavrio\\config.json", "{}", {}}};
    if (options.shortcuts) {
      files.push_back({L"profile\\Desktop\\Tavrio.lnk", "link", {}});
      files.push_back(
          {L"roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Tavrio.lnk", "link", {}});
    }
    note(write_bundle(root, files));
  }
  return s;
}

}  // namespace tavrio::test
