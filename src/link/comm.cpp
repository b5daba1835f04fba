// The port helpers over any SerialPort.
#include <dirent.h>
#include <libserialport.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "link/link_error.h"
#include "link/serial_port.h"

namespace corvane {
namespace {

SerialPort& Need(SerialPort* handle) {
  if (handle == nullptr) ConnectionError();
  return *handle;
}

std::mutex g_extraMutex;
std::vector<std::string> g_extraPorts;
std::vector<std::string> g_portFolders;  // guarded by g_extraMutex

}  // namespace

void SetReadTimeout(SerialPort* handle, ReadTimeout timeout) { Need(handle).SetReadTimeout(timeout); }

size_t ReadInto(SerialPort* handle, Bytes& buf) {
  if (buf.empty()) {
    Need(handle);
    return 0;
  }
  const size_t got = Need(handle).Read(reinterpret_cast<uint8_t*>(buf.data()), buf.size());
  std::fill(buf.begin() + static_cast<std::ptrdiff_t>(got), buf.end(), '\0');
  return got;
}

std::optional<uint8_t> ReadByte(SerialPort* handle) {
  uint8_t b = 0;
  if (Need(handle).Read(&b, 1) == 0) return std::nullopt;
  return b;
}

void WriteAll(SerialPort* handle, const uint8_t* data, size_t n) { Need(handle).Write(data, n); }

void WriteAll(SerialPort* handle, const Bytes& data) {
  WriteAll(handle, reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

void DiscardInput(SerialPort* handle) { Need(handle).Purge(); }

void DrainInput(SerialPort* handle) {
  SerialPort& port = Need(handle);
  Clock& clock = port.GetClock();
  const ScopedReadTimeout quiet(port, {kDrainQuietMs, 0});
  const uint64_t start = clock.NowMs();
  Bytes buf(10, '\0');
  for (;;) {
    std::fill(buf.begin(), buf.end(), '\0');
    port.Purge();
    ReadInto(handle, buf);
    if (std::all_of(buf.begin(), buf.end(), [](char c) { return c == '\0'; })) break;
    if (clock.NowMs() - start >= kDrainLimitMs) ConnectionError();
  }
}

void AddExtraSerialPort(const std::string& path) {
  std::lock_guard lock(g_extraMutex);
  if (std::find(g_extraPorts.begin(), g_extraPorts.end(), path) == g_extraPorts.end()) g_extraPorts.push_back(path);
}

void ClearExtraSerialPorts() {
  std::lock_guard lock(g_extraMutex);
  g_extraPorts.clear();
  g_portFolders.clear();
}

void AddSerialPortFolder(const std::string& folder) {
  std::lock_guard lock(g_extraMutex);
  if (std::find(g_portFolders.begin(), g_portFolders.end(), folder) == g_portFolders.end())
    g_portFolders.push_back(folder);
}

std::vector<std::string> SerialPortFolders() {
  std::lock_guard lock(g_extraMutex);
  return g_portFolders;
}

std::vector<std::string> ListPortsInFolder(const std::string& folder) {
  std::vector<std::string> out;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return out;
  const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    // stat follows a link to its device; a link whose device has gone fails.
    const std::string path = prefix + e->d_name;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) out.push_back(path);
  }
  ::closedir(dir);
  std::sort(out.begin(), out.end());
  return out;
}

std::string ListSerialPorts() {
  // The kernel console may be a serial port: never offer it, detection would write to it.
  std::set<std::string> console;
  {
    std::ifstream in("/sys/class/tty/console/active");
    std::string word;
    while (in >> word) console.insert("/dev/" + word);
  }
  std::vector<std::string> names;
  auto append = [&](const std::string& name) {
    if (name.empty() || console.count(name)) return;
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  };
  sp_port** list = nullptr;
  if (sp_list_ports(&list) == SP_OK && list != nullptr) {
    for (sp_port** p = list; *p != nullptr; ++p) {
      if (const char* n = sp_get_port_name(*p)) append(n);
    }
    sp_free_port_list(list);
  }
  std::vector<std::string> folders;
  {
    std::lock_guard lock(g_extraMutex);
    for (const auto& extra : g_extraPorts) append(extra);
    folders = g_portFolders;
  }
  for (const auto& folder : folders)
    for (const auto& port : ListPortsInFolder(folder)) append(port);
  std::string text;
  for (const auto& n : names) {
    if (!text.empty()) text += '\n';
    text += n;
  }
  return text;
}

}  // namespace corvane
