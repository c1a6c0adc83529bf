#include "common/bundle.h"

#include "common/text.h"

namespace tavrio::bundle {
namespace {

bool all_digits(std::wstring_view text) {
  if (text.empty()) return false;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
  }
  return true;
}

// The length of the ".<digits>.<digits>.trash" that ends a trash name, 0 when it ends otherwise.
size_t trash_tail(std::wstring_view name) {
  if (!name.ends_with(kTrashSuffix)) return 0;
  std::wstring_view rest = name.substr(0, name.size() - kTrashSuffix.size());
  const size_t tick_dot = rest.rfind(L'.');
  if (tick_dot == std::wstring_view::npos || !all_digits(rest.substr(tick_dot + 1))) return 0;
  const size_t pid_dot = rest.rfind(L'.', tick_dot == 0 ? 0 : tick_dot - 1);
  if (pid_dot == std::wstring_view::npos || pid_dot == tick_dot ||
      !all_digits(rest.substr(pid_dot + 1, tick_dot - pid_dot - 1))) {
    return 0;
  }
  return name.size() - pid_dot;
}

}  // namespace

std::wstring trash_name(const std::wstring& folder, unsigned long process_id,
                        unsigned long long tick) {
  return folder + L"." + widen(decimal(process_id)) + L"." + widen(decimal(tick)) +
         std::wstring(kTrashSuffix);
}

bool is_trash_of(std::wstring_view name, std::wstring_view original_name) {
  const size_t tail = trash_tail(name);
  return tail != 0 && name.size() - tail == original_name.size() && name.starts_with(original_name);
}

bool is_trash_name(std::wstring_view name) {
  const size_t tail = trash_tail(name);
  return tail != 0 && tail < name.size();
}

}  // namespace tavrio::bundle
