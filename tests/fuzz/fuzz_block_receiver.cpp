// The PC's block receiver against a device whose frames are damaged as the
// input says: bytes flipped, frames cut short, left out, sent twice, sent
// with a wrong block number, garbage before them. Whatever happens, a file
// is whole or absent: when the transfer reports success the file holds
// exactly the device's file; when it fails nothing is left in the folder,
// not even a temporary file.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "../support/fake_clock.h"
#include "../support/scripted_port.h"
#include "link/checksum.h"
#include "protocol/block_receiver.h"
#include "protocol/wire.h"

namespace {

using corvane::Bytes;
namespace fs = std::filesystem;

// A position-dependent pattern: any misplaced byte shows.
Bytes Content(size_t n) {
  Bytes b(n, '\0');
  uint32_t x = 2463534242u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<char>(x & 0xFF);
  }
  return b;
}

Bytes Block(uint8_t number, Bytes data, size_t size) {
  data.resize(size, '\x1A');
  return corvane::BuildBlock(number, reinterpret_cast<const uint8_t*>(data.data()), data.size(), corvane::kSum8);
}

// The device: the PC's NAK (re)sends the current frame, its ACK moves on.
// Every sending is altered by the next script byte, if any is left.
class Device {
 public:
  Device(const uint8_t* script, size_t size) : m_script(script), m_size(size) {}
  std::vector<Bytes> frames;       // blocks, then the EOT
  std::vector<Bytes> wrongNumber;  // the same blocks numbered one too high

  void OnWrite(corvane::test::ScriptedPort& port, const Bytes& written) {
    for (char c : written) {
      const auto b = static_cast<uint8_t>(c);
      if (b == corvane::kAck) {
        if (m_index < frames.size()) ++m_index;
        m_refusals = 0;
        Send(port);
      } else if (b == corvane::kNak) {
        // As a real sender, it gives up after ten refusals in a row (and
        // falls silent), so no script keeps the two sides going for ever.
        if (++m_refusals <= 10) Send(port);
      }
    }
  }

 private:
  uint8_t Next() { return m_at < m_size ? m_script[m_at++] : 0; }
  void Send(corvane::test::ScriptedPort& port) {
    if (m_index >= frames.size()) return;
    Bytes frame = frames[m_index];
    const uint8_t action = Next();
    const bool isBlock = frame.size() > 1;
    switch (action >> 5) {
      case 1:  // one data byte changed (the check no longer fits)
        if (isBlock) frame[3 + Next() % (frame.size() - 4)] ^= static_cast<char>(1 + action % 255);
        break;
      case 2:  // cut short
        frame.resize(Next() % frame.size());
        break;
      case 3:  // nothing at all
        frame.clear();
        break;
      case 4:  // the previous block again instead (its ACK lost on the way):
               // the device still waits for that ACK, so the next one it gets
               // moves it on to this frame again
        if (m_index > 0) frame = frames[--m_index];
        break;
      case 5:  // a block numbered one too high
        if (isBlock && m_index < wrongNumber.size()) frame = wrongNumber[m_index];
        break;
      case 6: {  // line noise before the frame (an EOT among it too: before
                 // the listed length the receiver asks again); never a byte
                 // that starts a frame, which noise cannot be told from
        Bytes noise;
        for (int i = action & 7; i >= 0; --i) {
          uint8_t n = Next();
          if (n == corvane::kSoh || n == corvane::kStx) n = 0;
          noise += static_cast<char>(n);
        }
        frame = noise + frame;
        break;
      }
      default:  // as it is
        break;
    }
    if (!frame.empty()) port.Queue(frame);
  }

  const uint8_t* m_script;
  size_t m_size;
  size_t m_at = 0;
  size_t m_index = 0;
  int m_refusals = 0;
};

// One scratch folder for the whole run, removed at exit (kept in a plain
// array: the exit handler runs after static strings are gone).
char g_folder[4096];

std::string Folder() {
  if (g_folder[0] == '\0') {
    std::string tmpl = (fs::temp_directory_path() / "fuzz-rx-XXXXXX").string();
    if (tmpl.size() >= sizeof g_folder || ::mkdtemp(tmpl.data()) == nullptr) abort();
    tmpl.copy(g_folder, tmpl.size());
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(g_folder, ec);
    });
  }
  return g_folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Up to five 1024-byte blocks or 33 of 128: enough for every case, and
  // small, since every byte passes through the scripted port one at a time.
  constexpr size_t kMaxLength = 4200;
  static const Bytes pattern = Content(kMaxLength);
  const size_t length = (data[0] | (data[1] << 8)) % (kMaxLength + 1);
  const size_t blockSize = (data[2] & 1) ? 1024 : 128;
  const Bytes content = pattern.substr(0, length);

  Device device(data + 3, size - 3);
  uint8_t number = 1;
  for (size_t at = 0; at < length; at += blockSize, ++number) {
    device.frames.push_back(Block(number, content.substr(at, blockSize), blockSize));
    device.wrongNumber.push_back(Block(static_cast<uint8_t>(number + 1), content.substr(at, blockSize), blockSize));
  }
  device.frames.push_back(Bytes(1, static_cast<char>(corvane::kEot)));

  corvane::test::FakeClock clock;
  corvane::test::ScriptedPort port(clock);
  port.OnWrite = [&](corvane::test::ScriptedPort& p, const Bytes& written) { device.OnWrite(p, written); };
  const std::string path = Folder() + "/got.bin";
  corvane::BlockReceiver rx(&port, static_cast<int64_t>(length), [](const corvane::Report&) {}, path, clock);
  rx.SetLengthIsExact(true);  // a file of a listed size: a success is the whole file
  const bool ok = rx.Run();

  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(Folder())) {
    (void)e;
    ++entries;
  }
  if (ok) {
    std::error_code ec;
    if (entries != 1 || fs::file_size(path, ec) != length) __builtin_trap();
    Bytes got(length, '\0');
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr || std::fread(got.data(), 1, length, f) != length) __builtin_trap();
    std::fclose(f);
    if (got != content) __builtin_trap();
    fs::remove(path);
  } else if (entries != 0) {
    __builtin_trap();  // a failed transfer left a file behind
  }
  return 0;
}
