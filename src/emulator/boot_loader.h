#pragma once
// The Quillon's boot loader as the upgrade sees it: single-letter commands,
// text replies ending in a ">" prompt, and the image download in 1024-byte
// blocks (plain with an 8-bit sum or a CRC, or compressed with the sum).
//
//   R      restart: logged
//   V      echoed; while the ON key is "held" a line with "ON", then the prompt
//   E      "Erasing block N" for N = 1..127, then the prompt
//   D      download: the handshake byte (repeated until the first block), the
//          blocks, EOT; then the image is checked or written and the prompt
//   P      power cycle: logged
//
// It misbehaves on request (see BootLoaderOptions) so that the upgrade's
// failure paths can be driven end to end.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/serial_port.h"

namespace corvane::emu {

enum class LoaderHandshake { kNak, kCrc, kCompressed };

struct BootLoaderOptions {
  LoaderHandshake handshake = LoaderHandshake::kCrc;
  int onLines = 2;                       // "V" is answered with an ON line this many times
  std::vector<uint8_t> expect;           // the image the download must deliver (when hasExpect)
  bool hasExpect = false;
  std::string imageOut;                  // where the received image is written (optional)
  uint32_t handshakeIntervalMs = 500;    // the handshake byte is repeated this often...
  int handshakeRepeats = 60;             // ...this many times before the loader gives up
  uint32_t eraseLineMs = 0;              // pause before each erase line
  uint32_t lineRate = 0;                 // pace the download to this baud (0 = as fast as it goes)
  // Misbehaviour.
  int nakBlock = 0;                      // refuse block k (1-based) ...
  int nakCount = 0;                      // ... this many times
  int cancelAtBlock = 0;                 // answer block k with CAN
  bool silentHandshake = false;          // send no handshake byte at all
  int badHandshakeBytes = 0;             // send this many wrong bytes before the handshake (-1: only wrong ones)
  bool badEraseLine = false;             // a "block" line whose last word is not a number
  int eraseStopAfter = -1;               // stop talking after this many erase lines (-1: never)
  std::function<void(const std::string&)> onLog;
};

// How the last download went.
struct DownloadResult {
  bool ended = false;        // the download is over (EOT, CAN from the host, a fault)
  bool complete = false;     // EOT was received and acknowledged
  bool matches = false;      // the image equals the expected one (or no expectation)
  int blocks = 0;            // blocks accepted
  int hostCancels = 0;       // CAN bytes received from the host
  std::vector<uint8_t> image;
  std::string error;         // what went wrong, if anything
};

class BootLoader {
 public:
  // Serves on `port`, which must outlive it.
  BootLoader(SerialPort& port, BootLoaderOptions options);
  // Creates a pseudo-terminal and serves on its master side; SlavePath() is
  // the "serial port" the PC opens. Raises std::runtime_error on failure.
  explicit BootLoader(BootLoaderOptions options);
  ~BootLoader();
  BootLoader(const BootLoader&) = delete;
  BootLoader& operator=(const BootLoader&) = delete;

  // Serving on a thread of its own until Stop().
  void Start();
  // Serving on the calling thread until Stop() (from elsewhere) or a link failure.
  void Run();
  void Stop();

  std::string SlavePath() const { return m_slavePath; }

  // ---- for tests ----
  std::vector<std::string> LogLines() const;
  DownloadResult Download() const;
  // Waits until the download has ended or the time-out passed.
  bool WaitForDownload(std::chrono::milliseconds timeout);
  // Waits until a log line containing `text` is there.
  bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout);

 private:
  void Log(const std::string& line);
  void Say(const std::string& text);
  bool ReadByte(uint8_t& b, uint32_t timeoutMs);
  size_t ReadBytes(uint8_t* buf, size_t n, uint32_t timeoutMs);
  void Erase();
  void ReceiveImage();
  void FinishDownload(DownloadResult result);

  BootLoaderOptions m_options;
  std::atomic<bool> m_stop{false};
  std::unique_ptr<SerialPort> m_ownPort;  // the pty master's port, when it made one
  std::unique_ptr<SerialPort> m_stoppable;
  SerialPort* m_port = nullptr;
  int m_slave = -1;
  std::string m_slavePath;
  int m_onLeft = 0;
  std::thread m_thread;

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::string> m_log;
  DownloadResult m_download;
};

}  // namespace corvane::emu
