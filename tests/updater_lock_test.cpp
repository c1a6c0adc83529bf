// One updater per installation: the lock's name and taking it.
#include <gtest/gtest.h>

#include <windows.h>

#include "common/identity.h"
#include "support/mapped_drive.h"
#include "update_lock.h"
#include "updater_test_helpers.h"

namespace tavrio::test {
namespace {

TEST(UpdateLock, IsNamedAfterTheFolderItselfSoEverySpellingMeetsTheSameLock) {
  using Name = std::pair<tavrio::FileIndex, std::wstring>;
  for (const auto& [index, name] :
       {Name{{0x1A2B3C4D, 0x0000000100000005}, L"Local\\tavrio-update-1A2B3C4D-0000000100000005"},
        Name{{0, 0}, L"Local\\tavrio-update-00000000-0000000000000000"},
        Name{{0xFFFFFFFF, ~0ull}, L"Local\\tavrio-update-FFFFFFFF-FFFFFFFFFFFFFFFF"}}) {
    EXPECT_EQ(updater::update_lock_name(index), name);
  }
  const ScratchInstall s = make_scratch_install();
  const updater::LockTry test_once = updater::real_lock_try();
  // Mapped first: Wine takes a folder's volume serial from the drive letter it finds the folder
  // under, so mapping a letter onto a folder above changes the serial of every spelling.
  MappedDrive drive(L'Q', s.root);
  OtherUpdater other(s.install);
  ASSERT_TRUE(other.held());
  std::wstring upper_slashed = s.install + L"\\";
  for (wchar_t& c : upper_slashed) c = c == L'\\' ? L'/' : static_cast<wchar_t>(::towupper(c));
  const std::wstring spellings[] = {
      s.install,
      upper_slashed,
      L"\\\\?\\" + s.install,
      s.in_install(L"_internal\\.."),
      short_name(s.install),
      drive.mapped() ? drive.root() + L"Tavrio 安装" : L"",
  };
  for (const std::wstring& spelling : spellings) {
    if (spelling.empty()) continue;  // a short name or a mapped drive this system lacks
    EXPECT_EQ(updater::take_update_lock(spelling, test_once).state(),
              updater::UpdateLock::State::kBusy)
        << narrow(spelling);
  }
  // Another folder has a lock of its own; a folder that cannot be opened has none.
  EXPECT_TRUE(updater::take_update_lock(s.stage, test_once).held());
  EXPECT_EQ(updater::take_update_lock(s.root + L"\\missing", test_once).state(),
            updater::UpdateLock::State::kNoFolder);
}

TEST(UpdateLock, IsTakenOnceTheOtherUpdaterLetsGoOrWasEnded) {
  for (bool abandon : {false, true}) {
    const ScratchInstall s = make_scratch_install();
    OtherUpdater other(s.install, abandon);
    ASSERT_TRUE(other.held());
    other.let_go();
    EXPECT_TRUE(updater::take_update_lock(s.install).held()) << "abandoned: " << abandon;
  }
}

}  // namespace
}  // namespace tavrio::test
