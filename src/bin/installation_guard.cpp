#include "bin/installation_guard.h"

#include "common/bundle.h"
#include "common/file_ops.h"
#include "common/identity.h"
#include "common/path.h"

namespace tavrio::uninstall {

bool is_install_directory(const std::wstring& install_dir) {
  return !is_volume_root(install_dir) && exists(join(install_dir, bundle::kMainProgram));
}

}  // namespace tavrio::uninstall
