// The port helpers over any SerialPort.
#include <libserialport.h>

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
  {
    std::lock_guard lock(g_extraMutex);
    for (const auto& extra : g_extraPorts) append(extra);
  }
  std::string text;
  for (const auto& n : names) {
    if (!text.empty()) text += '\n';
    text += n;
  }
  return text;
}

}  // namespace corvane
