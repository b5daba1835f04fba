// Wall time of a whole upgrade against the emulated boot loader over a
// pseudo-terminal, with the download paced to a serial line rate.
//
//   bench_upgrade [KiB] [baud]        (defaults: 1024 KiB at 115200 baud)
//
// The image is made of the programs found under /usr/bin; it is sent once
// plain (CRC) and once compressed, and the loader checks what arrived.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/boot_loader.h"
#include "session/host.h"
#include "session/status_dialog.h"
#include "session/device_session.h"
#include "link/link_error.h"
#include "upgrade/upgrade_system.h"

namespace fs = std::filesystem;
using namespace corvane;

namespace {

class Host final : public SessionHost {
 public:
  std::string lastBox;
  bool AskAddress(std::string&) override { return false; }
  bool MessageBox(const std::string& text, const std::string&, Buttons) override {
    std::lock_guard lock(m_mutex);
    lastBox = text;
    return true;
  }
  void TransferDialogChanged(StatusDialog&) override {}

 private:
  std::mutex m_mutex;
};

std::vector<uint8_t> Image(size_t size) {
  std::vector<uint8_t> out;
  std::error_code ec;
  for (fs::directory_iterator it("/usr/bin", ec), end; it != end && out.size() < size; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    data.resize(std::min<size_t>(data.size(), 128 * 1024));
    out.insert(out.end(), data.begin(), data.end());
  }
  out.resize(size);
  return out;
}

size_t CompressedSize(LogModel& log) {
  size_t total = 0;
  for (const auto& e : log.Entries())
    if (e.rfind("compress block ", 0) == 0) total += std::stoul(e.substr(15));
  return total;
}

bool RunOnce(const std::vector<uint8_t>& image, const std::string& path, emu::LoaderHandshake handshake,
             uint32_t baud, const char* name) {
  emu::BootLoaderOptions options;
  options.handshake = handshake;
  options.expect = image;
  options.hasExpect = true;
  options.lineRate = baud;
  emu::BootLoader loader(options);
  loader.Start();
  Host host;
  LogModel log;
  bool ok = false;
  double seconds = 0;
  {
    DeviceSession session(host, log);
    session.IsQuillon = true;
    session.CommPort = OpenSerialPort(loader.SlavePath(), 115200, true);
    const auto start = std::chrono::steady_clock::now();
    try {
      UpgradeSystem(session, path);
      ok = true;
    } catch (const DeviceError&) {
      ok = false;
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  const auto result = loader.Download();
  const size_t compressed = CompressedSize(log);
  std::printf("%-10s %7zu bytes  %6.1f s  %s%s", name, image.size(), seconds,
              ok && result.matches ? "image received whole" : "FAILED: ", ok && result.matches ? "" : host.lastBox.c_str());
  if (compressed > 0)
    std::printf("  stream %zu bytes, ratio %.2f", compressed, static_cast<double>(image.size()) / static_cast<double>(compressed));
  std::printf("\n");
  return ok && result.matches;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t size = (argc > 1 ? std::stoul(argv[1]) : 1024) * 1024;
  const uint32_t baud = argc > 2 ? static_cast<uint32_t>(std::stoul(argv[2])) : 115200;
  const auto image = Image(size);
  char name[] = "/tmp/corvane_bench_rom_XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) return 1;
  ::close(fd);
  std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  std::printf("upgrade of %zu KiB at %u baud\n", size / 1024, baud);
  bool ok = RunOnce(image, name, emu::LoaderHandshake::kCrc, baud, "plain");
  ok = RunOnce(image, name, emu::LoaderHandshake::kCompressed, baud, "compressed") && ok;
  std::remove(name);
  return ok ? 0 : 1;
}
