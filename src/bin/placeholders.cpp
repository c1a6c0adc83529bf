// Placeholders until the uninstaller's modules are built; they do nothing.
#include "bin/cleanup_copy.h"
#include "bin/locations.h"
#include "bin/message.h"
#include "bin/modes.h"
#include "bin/removal.h"

namespace tavrio::uninstall {

std::optional<std::wstring> process_environment(const wchar_t*) {
  return std::nullopt;
}
Status own_executable(std::wstring*) {
  return OsError{ERROR_CALL_NOT_IMPLEMENTED};
}
std::wstring install_dir_from(const std::vector<std::wstring>&, const std::optional<std::wstring>&,
                              const EnvLookup&) {
  return {};
}
std::wstring resolve_install_dir(const std::vector<std::wstring>&) {
  return {};
}
std::wstring local_base_folder(const EnvLookup&) {
  return {};
}
std::wstring local_data_folder(const EnvLookup&) {
  return {};
}
std::wstring desktop_folder(const EnvLookup&) {
  return {};
}
std::wstring start_menu_folder(const EnvLookup&) {
  return {};
}
std::optional<std::wstring> temp_folder() {
  return std::nullopt;
}
void append_setup_log(std::string_view) {}
void stop_main_program() {}
void remove_shortcuts() {}
void remove_registration() {}
void run_preparatory_steps() {}
int run_cleanup(const std::vector<std::wstring>&) {
  return 2;
}
std::optional<std::string> start_cleanup_copy(const std::wstring&, bool) {
  return "not built";
}
void show_message(HWND, std::string_view) {}
CleanupRequest find_cleanup(const std::vector<std::wstring>&) {
  return {};
}
NormalOptions read_options(const std::vector<std::wstring>&) {
  return {};
}
int run_uninstaller(const std::vector<std::wstring>&) {
  return 0;
}

}  // namespace tavrio::uninstall
