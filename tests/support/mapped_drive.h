// A drive letter mapped onto a folder for the length of a test, the way "subst" does, so that a
// test can name one folder through two drive letters.
#pragma once

#include <string>

namespace tavrio::test {

class MappedDrive {
 public:
  // Maps `letter` onto `folder`: DefineDosDeviceW where the system honours it, otherwise (Wine
  // 8 accepts the call and ignores it) a symbolic link in the prefix's dosdevices folder. Each
  // test executable uses a letter of its own, since they run side by side.
  MappedDrive(wchar_t letter, const std::wstring& folder);
  ~MappedDrive();
  MappedDrive(const MappedDrive&) = delete;
  MappedDrive& operator=(const MappedDrive&) = delete;

  bool mapped() const { return !root_.empty(); }
  const std::wstring& root() const { return root_; }  // "Q:\" once mapped
  const std::string& why_not() const { return why_not_; }

 private:
  std::wstring device_;  // "Q:"
  std::wstring folder_;
  std::wstring root_;
  std::string why_not_;
  bool defined_ = false;
  std::string link_;  // the Linux path of the dosdevices link, when one was made
};

}  // namespace tavrio::test
