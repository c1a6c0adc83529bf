#include "common/command_line.h"

#include <windows.h>

namespace tavrio {
namespace {

bool is_blank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

}  // namespace

std::vector<std::wstring> split_command_line(std::wstring_view line) {
  std::vector<std::wstring> args;
  size_t i = 0;
  const size_t n = line.size();
  if (n == 0) return args;

  // The program path: quotes toggle and are dropped, no escapes.
  std::wstring current;
  bool in_quotes = false;
  for (; i < n; ++i) {
    wchar_t c = line[i];
    if (c == L'"') {
      in_quotes = !in_quotes;
    } else if (is_blank(c) && !in_quotes) {
      break;
    } else {
      current += c;
    }
  }
  args.push_back(std::move(current));
  while (i < n && is_blank(line[i])) ++i;

  current.clear();
  in_quotes = false;
  bool started = false;
  while (i < n) {
    wchar_t c = line[i];
    if (is_blank(c) && !in_quotes) {
      args.push_back(std::move(current));
      current.clear();
      started = false;
      while (i < n && is_blank(line[i])) ++i;
      continue;
    }
    started = true;
    if (c == L'\\') {
      size_t run = 0;
      while (i < n && line[i] == L'\\') ++run, ++i;
      if (i < n && line[i] == L'"') {
        current.append(run / 2, L'\\');
        if (run % 2 == 1) {
          current += L'"';
          ++i;
        }
      } else {
        current.append(run, L'\\');
      }
      continue;
    }
    if (c == L'"') {
      if (in_quotes && i + 1 < n && line[i + 1] == L'"') {
        current += L'"';
        i += 2;
      } else {
        in_quotes = !in_quotes;
        ++i;
      }
      continue;
    }
    current += c;
    ++i;
  }
  if (started) args.push_back(std::move(current));
  return args;
}

std::vector<std::wstring> own_arguments() {
  return split_command_line(::GetCommandLineW());
}

std::optional<std::uint32_t> read_process_id(std::wstring_view text) {
  if (!text.empty() && text.front() == L'+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - L'0');
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::wstring build_command_line(const std::wstring& program,
                                const std::vector<std::wstring>& arguments) {
  std::wstring line = L"\"" + program + L"\"";
  for (const std::wstring& arg : arguments) {
    line += L' ';
    bool quote = arg.empty() || arg.find_first_of(L" \t") != std::wstring::npos;
    if (quote) line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
      if (c == L'\\') {
        ++backslashes;
        continue;
      }
      if (c == L'"') {
        // Backslashes before a quote are doubled, and the quote itself is escaped.
        line.append(backslashes * 2 + 1, L'\\');
      } else {
        line.append(backslashes, L'\\');
      }
      backslashes = 0;
      line += c;
    }
    // Trailing backslashes are doubled only when a closing quote follows them.
    line.append(quote ? backslashes * 2 : backslashes, L'\\');
    if (quote) line += L'"';
  }
  return line;
}

}  // namespace tavrio
