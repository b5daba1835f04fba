#include "desktop/file_lists.h"

#include <stdexcept>

namespace corvane {

namespace {

void PutLe32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint32_t GetLe32(std::string_view b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<std::uint8_t>(b[at + static_cast<std::size_t>(i)]);
  return v;
}

void PutLe16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

constexpr char32_t kReplacement = 0xFFFD;

// Decodes UTF-8; malformed sequences become U+FFFD, one per bad byte.
std::u32string DecodeUtf8(std::string_view s) {
  std::u32string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<std::uint8_t>(s[i]);
    int extra = 0;
    char32_t cp = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    bool ok = i + static_cast<std::size_t>(extra) < s.size();
    for (int k = 1; ok && k <= extra; ++k) {
      const auto d = static_cast<std::uint8_t>(s[i + static_cast<std::size_t>(k)]);
      if ((d & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (d & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (ok && (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

void AppendUtf16Le(Bytes& out, std::string_view utf8) {
  for (char32_t c : DecodeUtf8(utf8)) {
    if (c >= 0x10000) {
      c -= 0x10000;
      PutLe16(out, static_cast<std::uint16_t>(0xD800 + (c >> 10)));
      PutLe16(out, static_cast<std::uint16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      PutLe16(out, static_cast<std::uint16_t>(c));
    }
  }
}

void CheckName(const std::string& name) {
  if (name.empty()) throw std::invalid_argument("an empty file name cannot be put in a file list");
  if (name.find('\0') != std::string::npos)
    throw std::invalid_argument("a file name with a NUL byte cannot be put in a file list");
}

// Reads NUL-terminated 8-bit names from 'at' until an empty one, the end of
// the block, or a name without its terminator (dropped).
std::size_t ReadNames8(std::string_view b, std::size_t at, std::vector<std::string>& out) {
  std::size_t count = 0;
  while (at < b.size()) {
    const std::size_t end = b.find('\0', at);
    if (end == std::string_view::npos || end == at) break;
    out.emplace_back(b.substr(at, end - at));
    ++count;
    at = end + 1;
  }
  return count;
}

// The same for UTF-16LE names, converted to UTF-8. A name ends at a 16-bit
// zero unit, not at a zero byte; unpaired surrogates become U+FFFD.
std::size_t ReadNames16(std::string_view b, std::size_t at, std::vector<std::string>& out) {
  std::size_t count = 0;
  auto unit = [&b](std::size_t p) {
    return static_cast<char16_t>(static_cast<std::uint8_t>(b[p]) |
                                 (static_cast<std::uint8_t>(b[p + 1]) << 8));
  };
  while (at + 1 < b.size()) {
    std::string name;
    std::size_t p = at;
    bool terminated = false;
    while (p + 1 < b.size()) {
      const char16_t u = unit(p);
      p += 2;
      if (u == 0) {
        terminated = true;
        break;
      }
      if (u >= 0xD800 && u <= 0xDBFF && p + 1 < b.size()) {
        const char16_t lo = unit(p);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          p += 2;
          AppendUtf8(name, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                               (static_cast<char32_t>(lo) - 0xDC00));
          continue;
        }
      }
      AppendUtf8(name, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : static_cast<char32_t>(u));
    }
    if (!terminated || name.empty()) break;
    out.push_back(std::move(name));
    ++count;
    at = p;
  }
  return count;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsUnreservedOrSlash(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (end == text.size()) break;
    start = end + 1;
  }
  return lines;
}

}  // namespace

// ------------------------------------------------------------ name maps --

Bytes BuildFileNameMap(const std::vector<std::string>& names) {
  Bytes out;
  for (const auto& n : names) {
    CheckName(n);
    out += n;
    out.push_back('\0');
  }
  out.push_back('\0');
  return out;
}

Bytes BuildFileNameMapW(const std::vector<std::string>& utf8Names) {
  Bytes out;
  for (const auto& n : utf8Names) {
    CheckName(n);
    AppendUtf16Le(out, n);
    PutLe16(out, 0);
  }
  PutLe16(out, 0);
  return out;
}

std::vector<std::string> ReadFileNameMap(std::string_view block) {
  std::vector<std::string> names;
  ReadNames8(block, 0, names);
  return names;
}

std::vector<std::string> ReadFileNameMapW(std::string_view block) {
  std::vector<std::string> names;
  ReadNames16(block, 0, names);
  return names;
}

// --------------------------------------------------- Preferred DropEffect --

Bytes BuildPreferredDropEffect(std::uint32_t effect) {
  Bytes out;
  PutLe32(out, effect);
  return out;
}

std::optional<std::uint32_t> ReadPreferredDropEffect(std::string_view block) {
  if (block.size() < 4) return std::nullopt;
  return GetLe32(block, 0);
}

std::uint32_t PasteEffect(const std::optional<std::string_view>& preferredBlock) {
  if (!preferredBlock) return kDropEffectCopy;
  const auto value = ReadPreferredDropEffect(*preferredBlock);
  return (value && *value != 0) ? *value : kDropEffectCopy;
}

// ------------------------------------------- uri lists and copy markers --

std::string FileUrl(const std::string& absolutePath) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : absolutePath) {
    if (IsUnreservedOrSlash(c)) {
      url.push_back(static_cast<char>(c));
    } else {
      url.push_back('%');
      url.push_back(kHex[c >> 4]);
      url.push_back(kHex[c & 0x0F]);
    }
  }
  return url;
}

std::optional<std::string> LocalPathOfUrl(std::string_view url) {
  constexpr std::string_view kScheme = "file:";
  if (url.size() < kScheme.size()) return std::nullopt;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    const char c = url[i];
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != kScheme[i]) return std::nullopt;
  }
  std::string_view rest = url.substr(kScheme.size());
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view host = rest.substr(0, slash);
    if (!host.empty() && host != "localhost") return std::nullopt;  // another machine
    rest.remove_prefix(slash);
  }
  if (rest.empty() || rest.front() != '/') return std::nullopt;
  // Query and fragment are not part of a file path.
  rest = rest.substr(0, rest.find_first_of("?#"));
  std::string path;
  path.reserve(rest.size());
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%') {
      if (i + 2 >= rest.size()) return std::nullopt;
      const int hi = HexValue(rest[i + 1]);
      const int lo = HexValue(rest[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      const char c = static_cast<char>(hi * 16 + lo);
      if (c == '\0') return std::nullopt;
      path.push_back(c);
      i += 2;
    } else {
      path.push_back(rest[i]);
    }
  }
  return path;
}

std::string BuildUriList(const std::vector<std::string>& absolutePaths) {
  std::string out;
  for (const auto& p : absolutePaths) out += FileUrl(p) + "\r\n";
  return out;
}

std::vector<std::string> ParseUriList(std::string_view text) {
  std::vector<std::string> paths;
  for (std::string_view line : SplitLines(text)) {
    if (line.empty() || line.front() == '#') continue;
    if (auto path = LocalPathOfUrl(line)) paths.push_back(std::move(*path));
  }
  return paths;
}

std::string BuildGnomeCopiedFiles(const std::vector<std::string>& absolutePaths, bool cut) {
  std::string out = cut ? "cut" : "copy";
  for (const auto& p : absolutePaths) out += "\n" + FileUrl(p);
  return out;
}

std::optional<std::vector<std::string>> ParseGnomeCopiedFiles(std::string_view text,
                                                               bool& cut) {
  const std::vector<std::string_view> lines = SplitLines(text);
  if (lines.empty()) return std::nullopt;
  if (lines.front() == "copy") cut = false;
  else if (lines.front() == "cut") cut = true;
  else return std::nullopt;
  std::vector<std::string> paths;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (auto path = LocalPathOfUrl(lines[i])) paths.push_back(std::move(*path));
  }
  return paths;
}

std::string BuildKdeCutSelection(bool cut) { return cut ? "1" : "0"; }

bool ReadKdeCutSelection(std::string_view data) { return !data.empty() && data.front() == '1'; }

}  // namespace corvane
