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

}  // namespace

std::wstring trash_name(const std::wstring& folder, unsigned long process_id,
                        unsigned long long tick) {
  return folder + L"." + widen(decimal(process_id)) + L"." + widen(decimal(tick)) +
         std::wstring(kTrashSuffix);
}

bool is_trash_of(std::wstring_view name, std::wstring_view original_name) {
  // "<original>.<digits>.<digits>.trash" and nothing else.
  if (!name.starts_with(original_name) || !name.ends_with(kTrashSuffix)) return false;
  name.remove_prefix(original_name.size());
  name.remove_suffix(kTrashSuffix.size());
  if (name.size() < 4 || name.front() != L'.') return false;
  name.remove_prefix(1);
  const size_t dot = name.find(L'.');
  return dot != std::wstring_view::npos && all_digits(name.substr(0, dot)) &&
         all_digits(name.substr(dot + 1));
}

}  // namespace tavrio::bundle
