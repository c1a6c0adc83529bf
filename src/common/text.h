// Conversions between the UTF-16 that Windows gives and the UTF-8 of messages.
#pragma once

#include <string>
#include <string_view>

namespace tavrio {

// UTF-16 to UTF-8; every unpaired surrogate becomes U+FFFD. This is the display form of a
// path: the only way a path enters a message, a log line or a failure text.
std::string display_form(std::wstring_view text);

// UTF-8 to UTF-16 for a Win32 call. Invalid UTF-8 sequences become U+FFFD.
std::wstring widen(std::string_view utf8);

// Decimal digits of an unsigned number.
std::string decimal(unsigned long long value);

}  // namespace tavrio
