#include "emulator/boot_loader.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "emulator/image_expander.h"
#include "link/checksum.h"
#include "link/link_error.h"
#include "link/termios_port.h"
#include "protocol/wire.h"

namespace corvane::emu {
namespace {

constexpr size_t kBlock = 1024;
constexpr int kEraseBlocks = 127;
// How long the loader waits for the next block header, and for a block's rest.
constexpr uint32_t kHeaderWaitMs = 15000;
constexpr uint32_t kBlockWaitMs = 3000;

}  // namespace

BootLoader::BootLoader(SerialPort& port, BootLoaderOptions options)
    : m_options(std::move(options)), m_port(&port), m_onLeft(m_options.onLines) {}

BootLoader::BootLoader(BootLoaderOptions options) : m_options(std::move(options)), m_onLeft(m_options.onLines) {
  int master = -1;
  char name[256] = {};
  if (::openpty(&master, &m_slave, name, nullptr, nullptr) != 0)
    throw std::runtime_error(std::string("Cannot create a pseudo-terminal: ") + std::strerror(errno));
  // Raw from the start, so that nothing the PC sends before it opens the port is mangled.
  termios tio{};
  if (::tcgetattr(m_slave, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
  }
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
  m_slavePath = name;
  m_ownPort = std::make_unique<TermiosPort>(master, "boot loader", true);
  m_port = m_ownPort.get();
}

BootLoader::~BootLoader() {
  Stop();
  if (m_slave >= 0) ::close(m_slave);
}

void BootLoader::Start() {
  m_thread = std::thread([this] {
    try {
      Run();
    } catch (const std::exception& e) {
      Log(std::string("link failed: ") + e.what());
    }
  });
}

void BootLoader::Stop() {
  m_stop.store(true);
  if (m_thread.joinable()) m_thread.join();
  std::lock_guard lock(m_mutex);
  m_changed.notify_all();
}

void BootLoader::Log(const std::string& line) {
  {
    std::lock_guard lock(m_mutex);
    m_log.push_back(line);
  }
  m_changed.notify_all();
  if (m_options.onLog) m_options.onLog(line);
}

std::vector<std::string> BootLoader::LogLines() const {
  std::lock_guard lock(m_mutex);
  return m_log;
}

DownloadResult BootLoader::Download() const {
  std::lock_guard lock(m_mutex);
  return m_download;
}

bool BootLoader::WaitForDownload(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] { return m_download.ended; });
}

bool BootLoader::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] {
    return std::any_of(m_log.begin(), m_log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
  });
}

void BootLoader::Say(const std::string& text) { m_port->Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()); }

size_t BootLoader::ReadBytes(uint8_t* buf, size_t n, uint32_t timeoutMs) {
  // Waits in slices so that Stop() ends any wait quickly.
  Clock& clock = m_port->GetClock();
  const uint64_t deadline = clock.NowMs() + timeoutMs;
  size_t got = 0;
  while (got < n && !m_stop.load()) {
    const uint64_t now = clock.NowMs();
    if (now >= deadline) break;
    m_port->SetReadTimeout({static_cast<uint32_t>(std::min<uint64_t>(deadline - now, 50)), 0});
    got += m_port->Read(buf + got, n - got);
  }
  return got;
}

bool BootLoader::ReadByte(uint8_t& b, uint32_t timeoutMs) { return ReadBytes(&b, 1, timeoutMs) == 1; }

void BootLoader::Run() {
  Log("boot loader ready");
  while (!m_stop.load()) {
    uint8_t c = 0;
    if (!ReadByte(c, 200)) continue;
    switch (c) {
      case 'R':
        Log("R: restart");
        break;
      case 'P':
        Log("P: power cycle");
        break;
      case 'V':
        // The reply starts with the command's echo: a session that asks for
        // the version sees the 'V' and knows the device is in its loader.
        if (m_onLeft > 0) {
          --m_onLeft;
          Log("V: ON key held");
          Say("V\r\nRelease the ON key\r\n");
        } else {
          Log("V: prompt");
          Say("V\r\nQuillon boot loader 1.0\r\n>");
        }
        break;
      case 'E':
        Log("E: erase");
        Erase();
        break;
      case 'D':
        Log("D: download");
        ReceiveImage();
        break;
      default:
        Log("ignored byte " + std::to_string(c));
        break;
    }
  }
}

void BootLoader::Erase() {
  Clock& clock = m_port->GetClock();
  for (int n = 1; n <= kEraseBlocks && !m_stop.load(); ++n) {
    if (m_options.eraseStopAfter >= 0 && n > m_options.eraseStopAfter) {
      Log("erase: falls silent");
      return;
    }
    if (m_options.eraseLineMs > 0) clock.SleepMs(m_options.eraseLineMs);
    if (m_options.badEraseLine && n == 5)
      Say("Erasing block five\r\n");
    else
      Say("Erasing block " + std::to_string(n) + "\r\n");
  }
  Say("Erase done\r\n>");
  Log("erase: done");
}

void BootLoader::FinishDownload(DownloadResult result) {
  result.ended = true;
  Log("download: " + (result.complete ? std::string("complete, ") + std::to_string(result.image.size()) + " bytes" +
                                            (result.matches ? ", image as expected" : ", IMAGE DIFFERS")
                                      : "abandoned: " + result.error));
  {
    std::lock_guard lock(m_mutex);
    m_download = std::move(result);
  }
  m_changed.notify_all();
}

void BootLoader::ReceiveImage() {
  {
    std::lock_guard lock(m_mutex);
    m_download = DownloadResult{};
  }
  DownloadResult result;
  const bool compressed = m_options.handshake == LoaderHandshake::kCompressed;
  const bool crc = m_options.handshake == LoaderHandshake::kCrc;
  const uint8_t start = compressed ? 'Y' : crc ? 'C' : kNak;
  Clock& clock = m_port->GetClock();

  // The start byte, repeated until the PC answers with a block.
  uint8_t c = 0;
  bool got = false;
  int wrongLeft = m_options.badHandshakeBytes;
  for (int i = 0; i < m_options.handshakeRepeats && !got && !m_stop.load(); ++i) {
    if (!m_options.silentHandshake) {
      if (wrongLeft != 0) {
        if (wrongLeft > 0) --wrongLeft;
        Say("?");
      } else {
        Say(std::string(1, static_cast<char>(start)));
      }
    }
    got = ReadByte(c, m_options.badHandshakeBytes != 0 && wrongLeft != 0 ? 100 : m_options.handshakeIntervalMs);
  }
  if (!got) {
    result.error = "no block after the handshake";
    FinishDownload(std::move(result));
    return;
  }

  std::vector<uint8_t> raw;       // the data of every accepted block
  ImageExpander expander;
  const size_t frame = 2 + kBlock + (crc ? 2 : 1);
  std::vector<uint8_t> buf(frame);
  uint32_t expected = 1;
  int naksLeft = m_options.nakCount;
  const uint64_t paceStart = clock.NowMs();
  uint64_t lineBytes = 0;
  bool first = true;
  for (;;) {
    if (!first && !ReadByte(c, kHeaderWaitMs)) {
      result.error = m_stop.load() ? "stopped" : "no block header";
      break;
    }
    first = false;
    if (c == kCan) {
      ++result.hostCancels;
      // The PC sends its CAN bytes together: count the rest of them.
      while (ReadByte(c, 300) && c == kCan) ++result.hostCancels;
      result.error = "cancelled by the PC (" + std::to_string(result.hostCancels) + " CAN)";
      break;
    }
    if (c == kEot) {
      Say(std::string(1, static_cast<char>(kAck)));
      result.complete = true;
      break;
    }
    if (c != kStx) {
      // A leftover start byte, line noise: ignore.
      continue;
    }
    const size_t n = ReadBytes(buf.data(), frame, kBlockWaitMs);
    lineBytes += 1 + n;
    if (m_options.lineRate > 0) {
      const uint64_t due = paceStart + lineBytes * 10000 / m_options.lineRate;
      const uint64_t now = clock.NowMs();
      if (due > now) clock.SleepMs(static_cast<uint32_t>(due - now));
    }
    const uint8_t* data = buf.data() + 2;
    bool good = n == frame && buf[1] == static_cast<uint8_t>(255 - buf[0]);
    if (good) {
      if (crc) {
        // High byte first on the wire.
        const uint16_t swapped = Crc16Ccitt(0, data, kBlock);
        good = buf[2 + kBlock] == (swapped & 0xFF) && buf[3 + kBlock] == (swapped >> 8);
      } else {
        good = buf[2 + kBlock] == PacketChecksum(data, kBlock);
      }
    }
    if (good && buf[0] == static_cast<uint8_t>((expected - 1) & 0xFF) && expected > 1) {
      // The previous block again: its ACK was lost.
      Say(std::string(1, static_cast<char>(kAck)));
      continue;
    }
    if (!good || buf[0] != static_cast<uint8_t>(expected & 0xFF)) {
      Log("block " + std::to_string(expected) + ": refused");
      Say(std::string(1, static_cast<char>(kNak)));
      continue;
    }
    if (static_cast<int>(expected) == m_options.nakBlock && naksLeft > 0) {
      --naksLeft;
      Log("block " + std::to_string(expected) + ": NAK on request");
      Say(std::string(1, static_cast<char>(kNak)));
      continue;
    }
    if (static_cast<int>(expected) == m_options.cancelAtBlock) {
      Log("block " + std::to_string(expected) + ": CAN on request");
      Say(std::string(1, static_cast<char>(kCan)));
      result.error = "cancelled by the loader";
      break;
    }
    raw.insert(raw.end(), data, data + kBlock);
    ++result.blocks;
    ++expected;
    Say(std::string(1, static_cast<char>(kAck)));
  }

  if (result.complete) {
    if (compressed) {
      // The stream has no end mark: what follows its last block is the
      // padding of the last image block, so a fault there is no fault. With
      // an expected image the expansion also stops once it is complete.
      const size_t blocks = raw.size() / kBlock;
      for (size_t i = 0; i < blocks; ++i) {
        if (m_options.hasExpect && expander.Output().size() >= m_options.expect.size()) break;
        if (!expander.Feed(raw.data() + i * kBlock, kBlock)) {
          if (i + 1 < blocks) result.error = "compressed stream: " + expander.Error();
          break;
        }
      }
      result.image = expander.Output();
    } else {
      result.image = raw;
    }
    if (m_options.hasExpect) {
      // A plain image arrives padded to whole blocks.
      const auto& want = m_options.expect;
      result.matches = result.image.size() >= want.size() && result.image.size() - want.size() < kBlock &&
                       std::equal(want.begin(), want.end(), result.image.begin());
      if (result.matches) result.image.resize(want.size());
    } else {
      result.matches = result.error.empty();
    }
    if (!m_options.imageOut.empty()) {
      std::ofstream out(m_options.imageOut, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(result.image.data()), static_cast<std::streamsize>(result.image.size()));
      if (!out) result.error = "cannot write " + m_options.imageOut;
    }
    Say(result.matches ? "\r\nImage written\r\n>" : "\r\nImage check failed\r\n>");
  }
  FinishDownload(std::move(result));
}

}  // namespace corvane::emu
