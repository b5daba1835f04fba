#include "session/device_path.h"

namespace corvane {

DevicePath DevicePath::FromText(const Bytes& text, bool slashToo) {
  Bytes out = "\\";
  out.reserve(text.size() + 1);
  for (char c : text) {
    if (c == '\\' || (slashToo && c == '/')) {
      if (out.back() != '\\') out += '\\';
      continue;
    }
    out += c;
  }
  if (out.size() > 1 && out.back() == '\\') out.pop_back();
  return DevicePath(std::move(out));
}

DevicePath DevicePath::Parse(const Bytes& path) { return FromText(path, false); }

DevicePath DevicePath::ParseUserText(const Bytes& latin1) { return FromText(latin1, true); }

std::string DevicePath::Shown() const {
  // Device names are 8-bit Latin-1: every byte is one character.
  std::string out;
  out.reserve(m_path.size());
  for (unsigned char c : m_path) {
    if (c == '\\') {
      out += '/';
    } else if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::vector<Bytes> DevicePath::Names() const {
  std::vector<Bytes> names;
  size_t pos = 1;
  while (pos < m_path.size()) {
    size_t end = m_path.find('\\', pos);
    if (end == Bytes::npos) end = m_path.size();
    names.push_back(m_path.substr(pos, end - pos));
    pos = end + 1;
  }
  return names;
}

Bytes DevicePath::Name() const { return m_path.substr(m_path.rfind('\\') + 1); }

DevicePath DevicePath::Parent() const {
  const size_t slash = m_path.rfind('\\');
  return slash == 0 ? DevicePath() : DevicePath(m_path.substr(0, slash));
}

DevicePath DevicePath::Join(const Bytes& name) const { return Parse(m_path + "\\" + name); }

std::string ShownName(const Bytes& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c >= 0x20 && c != 0x7F && (c < 0x80 || c > 0x9F)) {
      out += static_cast<char>(c);
      continue;
    }
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 0x0F];
  }
  return out;
}

std::string RefusedNameMessage(const Bytes& name, bool quillon) {
  std::string reason;
  if (quillon) {
    if (name.find('\0') == Bytes::npos) return {};
    return "The Quillon cannot take the name \"" + ShownName(name) +
           "\": it contains a NUL byte, which would end the name on the device. Nothing was sent to the "
           "device; choose another name";
  }
  if (name.empty()) {
    reason = "it is empty";
  } else if (name.size() > kMaxTallisNameLength) {
    reason = "it is longer than " + std::to_string(kMaxTallisNameLength) + " characters";
  } else {
    for (unsigned char c : name) {
      if (c == '\'') reason = "it contains a quote (')";
      else if (c == ' ') reason = "it contains a blank";
      else if (c < 0x20 || c == 0x7F) reason = "it contains a control character";
      if (!reason.empty()) break;
    }
  }
  if (reason.empty()) return {};
  return "The Tallis cannot take the name \"" + ShownName(name) + "\": " + reason +
         ". Names go to the Tallis inside its command lines, so a name must have 1 to " +
         std::to_string(kMaxTallisNameLength) +
         " characters and no quote, blank or control character. Nothing was sent to the device; choose another name";
}

std::string RefusedFolderMessage(const Bytes& path, bool quillon) {
  if (quillon) return RefusedNameMessage(path, true);
  // Each folder name between the backslashes goes into the "HOME" line.
  for (const Bytes& name : DevicePath::Parse(path).Names())
    if (std::string message = RefusedNameMessage(name, false); !message.empty()) return message;
  return {};
}

}  // namespace corvane
