// The manifest of a backup folder: its JSON text, written and read, and the
// journal of a run folded into it.
#include "desktop/backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "desktop/backup_entry.h"
#include "desktop/json_text.h"
#include "desktop/local_files.h"
#include "desktop/tree_copy.h"
#include "link/clock.h"
#include "link/link_error.h"
#include "protocol/listing.h"
#include "protocol/local_file.h"
#include "session/device_session.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// ---- a small JSON reader and writer, enough for the manifest ----

struct JsonValue {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<JsonValue> items;
  std::map<std::string, JsonValue> members;

  const JsonValue* Member(const std::string& key) const {
    const auto it = members.find(key);
    return it == members.end() ? nullptr : &it->second;
  }
};

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : m_text(text) {}

  bool Parse(JsonValue& out) {
    if (!Value(out, 0)) return false;
    Blanks();
    return m_pos == m_text.size();
  }

 private:
  static constexpr int kMaxDepth = 16;

  void Blanks() {
    while (m_pos < m_text.size() && std::strchr(" \t\r\n", m_text[m_pos]) != nullptr) ++m_pos;
  }
  bool Take(char c) {
    Blanks();
    if (m_pos < m_text.size() && m_text[m_pos] == c) {
      ++m_pos;
      return true;
    }
    return false;
  }
  bool Word(const char* word) {
    const size_t n = std::strlen(word);
    if (m_text.compare(m_pos, n, word) != 0) return false;
    m_pos += n;
    return true;
  }

  bool Value(JsonValue& v, int depth) {
    if (depth > kMaxDepth) return false;
    Blanks();
    if (m_pos >= m_text.size()) return false;
    const char c = m_text[m_pos];
    if (c == '{') return Object(v, depth);
    if (c == '[') return Array(v, depth);
    if (c == '"') {
      v.type = JsonValue::kString;
      return String(v.text);
    }
    if (Word("true")) {
      v.type = JsonValue::kBool;
      v.boolean = true;
      return true;
    }
    if (Word("false")) {
      v.type = JsonValue::kBool;
      return true;
    }
    if (Word("null")) return true;
    return Number(v);
  }

  bool Object(JsonValue& v, int depth) {
    v.type = JsonValue::kObject;
    ++m_pos;
    if (Take('}')) return true;
    do {
      std::string key;
      Blanks();
      if (m_pos >= m_text.size() || m_text[m_pos] != '"' || !String(key) || !Take(':')) return false;
      if (!Value(v.members[key], depth + 1)) return false;
    } while (Take(','));
    return Take('}');
  }

  bool Array(JsonValue& v, int depth) {
    v.type = JsonValue::kArray;
    ++m_pos;
    if (Take(']')) return true;
    do {
      v.items.emplace_back();
      if (!Value(v.items.back(), depth + 1)) return false;
    } while (Take(','));
    return Take(']');
  }

  bool Number(JsonValue& v) {
    const size_t start = m_pos;
    while (m_pos < m_text.size() && std::strchr("+-0123456789.eE", m_text[m_pos]) != nullptr) ++m_pos;
    if (m_pos == start) return false;
    try {
      size_t used = 0;
      v.number = std::stod(m_text.substr(start, m_pos - start), &used);
      v.type = JsonValue::kNumber;
      return used == m_pos - start;
    } catch (const std::exception&) {
      return false;
    }
  }

  static void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool String(std::string& out) {
    ++m_pos;  // the opening quote
    while (m_pos < m_text.size()) {
      const char c = m_text[m_pos++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (m_pos >= m_text.size()) return false;
      const char e = m_text[m_pos++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (m_pos + 4 > m_text.size()) return false;
          uint32_t code = 0;
          for (int i = 0; i < 4; ++i) {
            const char h = m_text[m_pos++];
            code <<= 4;
            if (h >= '0' && h <= '9') code |= static_cast<uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f') code |= static_cast<uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') code |= static_cast<uint32_t>(h - 'A' + 10);
            else return false;
          }
          if (code >= 0xD800 && code <= 0xDFFF) return false;  // the manifest never writes these
          AppendUtf8(out, code);
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  const std::string& m_text;
  size_t m_pos = 0;
};

const char* KindName(int kind) {
  switch (kind) {
    case kKindDirectory: return "dir";
    case kKindTallisObject: return "object";
    default: return "file";
  }
}

bool KindOfName(const std::string& word, int& kind) {
  if (word == "dir") kind = kKindDirectory;
  else if (word == "file") kind = kKindFile;
  else if (word == "object") kind = kKindTallisObject;
  else return false;
  return true;
}

// A relative local path that stays inside the folder.
bool InsideFolder(const std::string& local) {
  if (local.empty() || local.front() == '/') return false;
  std::istringstream parts(local);
  std::string part;
  while (std::getline(parts, part, '/'))
    if (part.empty() || part == "." || part == "..") return false;
  return local.back() != '/';
}

bool ParseEntry(const JsonValue& item, ManifestEntry& e, std::string& why) {
  const JsonValue* path = item.Member("path");
  const JsonValue* k = item.Member("kind");
  const JsonValue* size = item.Member("size");
  const JsonValue* local = item.Member("local");
  if (item.type != JsonValue::kObject || path == nullptr || path->type != JsonValue::kString || k == nullptr ||
      k->type != JsonValue::kString || !KindOfName(k->text, e.kind) || size == nullptr ||
      size->type != JsonValue::kNumber || size->number < 0 || size->number > 4294967295.0 || local == nullptr ||
      local->type != JsonValue::kString) {
    why = "an entry lacks its path, kind, size or local name";
    return false;
  }
  if (!Utf8ToLatin1(path->text, e.path) || e.path.empty() || e.path.front() != '\\') {
    why = "the device path \"" + path->text + "\" is not one";
    return false;
  }
  if (!InsideFolder(local->text)) {
    why = "the local path \"" + local->text + "\" leaves the backup folder";
    return false;
  }
  e.size = static_cast<int64_t>(size->number);
  e.local = local->text;
  return true;
}

// Whether `e`'s file (or folder) is in `dest` as a journal line of `bytes` says.
bool JournalLineHolds(const std::string& dest, const ManifestEntry& e, int64_t bytes) {
  struct stat st {};
  if (::lstat(JoinLocalPath(dest, e.local).c_str(), &st) != 0) return false;
  if (e.kind == kKindDirectory) return S_ISDIR(st.st_mode);
  return S_ISREG(st.st_mode) && st.st_size == bytes;
}


}  // namespace

// One entry as the manifest writes it, without the braces.
std::string ManifestEntryFields(const ManifestEntry& e) {
  return "\"path\": " + JsonString(Latin1ToUtf8(e.path)) + ", \"kind\": \"" + KindName(e.kind) +
         "\", \"size\": " + std::to_string(e.size) + ", \"local\": " + JsonString(e.local);
}

int FoldJournal(const std::string& dest, Manifest& m) {
  const std::string path = JoinLocalPath(dest, kJournalName);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return 0;
  std::ostringstream read;
  read << in.rdbuf();
  const std::string text = read.str();
  std::map<Bytes, size_t> at;
  for (size_t i = 0; i < m.entries.size(); ++i) at[m.entries[i].path] = i;
  int folded = 0;
  // Only lines that end in a newline: the last may have been cut short.
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    JsonValue item;
    ManifestEntry e;
    std::string why;
    if (!JsonReader(text.substr(start, end - start)).Parse(item) || !ParseEntry(item, e, why)) continue;
    const JsonValue* bytes = item.Member("bytes");
    if (bytes == nullptr || bytes->type != JsonValue::kNumber || bytes->number < 0 ||
        !JournalLineHolds(dest, e, static_cast<int64_t>(bytes->number)))
      continue;
    if (const auto it = at.find(e.path); it != at.end()) {
      m.entries[it->second] = std::move(e);
    } else {
      at[e.path] = m.entries.size();
      m.entries.push_back(std::move(e));
    }
    ++folded;
  }
  return folded;
}

std::string ManifestJson(const Manifest& m) {
  std::string out = "{\n";
  out += "  \"format\": 1,\n";
  out += "  \"kind\": " + JsonString(m.kind) + ",\n";
  out += "  \"version\": " + JsonString(m.version) + ",\n";
  out += "  \"taken\": " + JsonString(m.taken) + ",\n";
  out += std::string("  \"complete\": ") + (m.complete ? "true" : "false") + ",\n";
  out += "  \"entries\": [";
  for (size_t i = 0; i < m.entries.size(); ++i) {
    const ManifestEntry& e = m.entries[i];
    out += i == 0 ? "\n" : ",\n";
    out += "    {" + ManifestEntryFields(e) + "}";
  }
  out += m.entries.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

bool ParseManifest(const std::string& json, Manifest& out, std::string& why) {
  JsonValue root;
  if (!JsonReader(json).Parse(root) || root.type != JsonValue::kObject) {
    why = "it is not JSON";
    return false;
  }
  const JsonValue* kind = root.Member("kind");
  const JsonValue* entries = root.Member("entries");
  if (kind == nullptr || kind->type != JsonValue::kString || (kind->text != "quillon" && kind->text != "tallis") ||
      entries == nullptr || entries->type != JsonValue::kArray) {
    why = "it has no device kind or no entries";
    return false;
  }
  Manifest m;
  m.kind = kind->text;
  if (const JsonValue* v = root.Member("version"); v != nullptr && v->type == JsonValue::kString) m.version = v->text;
  if (const JsonValue* v = root.Member("taken"); v != nullptr && v->type == JsonValue::kString) m.taken = v->text;
  if (const JsonValue* v = root.Member("complete"); v != nullptr && v->type == JsonValue::kBool) m.complete = v->boolean;
  for (const JsonValue& item : entries->items) {
    ManifestEntry e;
    if (!ParseEntry(item, e, why)) return false;
    m.entries.push_back(std::move(e));
  }
  out = std::move(m);
  return true;
}

Manifest ReadManifest(const std::string& dest) {
  const std::string path = JoinLocalPath(dest, kManifestName);
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw DeviceError(ErrorKind::kLocalFile, "There is no backup in " + dest + ": " + kManifestName + " is missing.",
                      "Give the folder that 'corvane backup' wrote.");
  std::ostringstream text;
  text << in.rdbuf();
  Manifest m;
  std::string why;
  if (!ParseManifest(text.str(), m, why))
    throw DeviceError(ErrorKind::kLocalFile, "Cannot read the backup in " + dest + ": " + kManifestName + " is damaged (" +
                                                 why + ").");
  FoldJournal(dest, m);
  return m;
}

}  // namespace corvane
