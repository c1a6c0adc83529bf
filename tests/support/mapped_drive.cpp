#include "support/mapped_drive.h"

#include <windows.h>

#include "common/handles.h"
#include "support/test_support.h"

namespace tavrio::test {
namespace {

// The folder's file index, read without the code under test: equal for both names once the
// letter really leads to the folder.
bool same_folder(const std::wstring& a, const std::wstring& b) {
  auto index = [](const std::wstring& path, ULONGLONG* out) {
    UniqueFile folder(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!folder || !::GetFileInformationByHandle(folder.get(), &info)) return false;
    *out = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
  };
  ULONGLONG x = 0, y = 0;
  return index(a, &x) && index(b, &y) && x == y;
}

// The dosdevices link of a drive letter in this Wine prefix; empty when not under Wine.
std::string dosdevices_link(wchar_t letter) {
  const std::string drive_c = linux_path(L"C:\\");
  const std::string suffix = "/c:/";
  if (!running_under_wine() || !drive_c.ends_with(suffix)) return {};
  return drive_c.substr(0, drive_c.size() - suffix.size()) + "/" +
         static_cast<char>(::towlower(letter)) + ":";
}

// Wine reads the prefix's drive letters again at most once a second, and takes a folder's volume
// serial from the letter it finds the folder under: after a link comes or goes, the serials (and
// every name made from them) settle once that second is over.
void let_the_drive_list_refresh() {
  ::Sleep(1100);
}

}  // namespace

MappedDrive::MappedDrive(wchar_t letter, const std::wstring& folder)
    : device_{letter, L':'}, folder_(folder) {
  const std::wstring root = device_ + L"\\";
  const std::string link = dosdevices_link(letter);
  // A test that was killed leaves its link behind; one into the scratch folders is ours.
  if (!link.empty()) {
    run_linux("case \"$(readlink '" + link + "')\" in */scratch/*) rm -f '" + link + "';; esac");
  }
  if (::GetDriveTypeW(root.c_str()) != DRIVE_NO_ROOT_DIR) {
    why_not_ = "drive " + narrow(device_) + " is already in use";
    return;
  }
  defined_ = ::DefineDosDeviceW(0, device_.c_str(), folder.c_str()) != 0;
  if (defined_ && same_folder(root, folder)) {
    root_ = root;
    return;
  }
  if (defined_) {
    ::DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, device_.c_str(),
                       folder.c_str());
    defined_ = false;
  }
  if (link.empty()) {
    why_not_ = "DefineDosDeviceW does not map a drive letter here";
    return;
  }
  link_ = link;
  if (run_linux("ln -s '" + linux_path(folder) + "' '" + link_ + "'") != 0 ||
      !same_folder(root, folder)) {
    why_not_ = "neither DefineDosDeviceW nor a link in Wine's dosdevices maps a drive letter here";
    run_linux("rm -f '" + link_ + "'");
    link_.clear();
    return;
  }
  let_the_drive_list_refresh();
  root_ = root;
}

MappedDrive::~MappedDrive() {
  if (defined_) {
    ::DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, device_.c_str(),
                       folder_.c_str());
  }
  if (!link_.empty()) {
    run_linux("rm -f '" + link_ + "'");
    let_the_drive_list_refresh();
  }
}

}  // namespace tavrio::test
