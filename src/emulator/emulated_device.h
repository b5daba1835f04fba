#pragma once
// An emulated Quillon or Tallis: the device's file server over a
// pseudo-terminal or TCP on 127.0.0.1, serving a local folder as its files.
// Tests and the desktop program's demo mode run it in-process; corvane-emu
// runs it as a program.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/bytes.h"

namespace corvane::emu {

enum class DeviceKind { kTallis, kQuillon };
enum class BlockSize { k1024, k128, kMixed };  // kMixed: 1024 and 128 alternate
enum class StartByte { kNak, kCrc, kKermit };  // what the device sends to start receiving a file

// Faults to show on request. Counters count down as they are used; block
// numbers are 1-based and apply to the next file transfer (then reset to 0).
struct Misbehaviour {
  int nakPackets = 0;          // answer NAK to the next n command packets from the PC
  int badChecksumPackets = 0;  // send the next n packets with a wrong checksum
  int silentCommands = 0;      // ignore the next n commands (and whatever follows them)
  bool cutListing = false;     // cut the last record of the next listing short
  int corruptBlock = 0;        // sending: damage the trailer of block k (once)
  int repeatBlock = 0;         // sending: send block k a second time after its ACK
  int loseAckBlock = 0;        // sending: ignore the PC's ACK of block k (once), as if noise had eaten it
  int cancelAtBlock = 0;       // sending: CAN instead of block k; receiving: CAN as the answer to block k
  int silentAtBlock = 0;       // both ways: say nothing more from block k on; the transfer is abandoned
  int dropAckBlock = 0;        // receiving: do not acknowledge block k the first time
  int nakBlocks = 0;           // receiving: answer NAK to the first n good blocks
  uint64_t closeAfterBytes = 0;  // TCP: close the connection after this many bytes of the next file (0 = never)
  int endEarlyAfterBlock = 0;  // sending: end the file after block k with EOT, and EOT again when the PC refuses it
  uint64_t stallAfterBytes = 0;  // TCP: stop reading the next file received after this many bytes (0 = never)
  uint32_t lyingLength = 0;      // TCP: the next packet or file sent announces this length instead of its own (0 = off)
  uint32_t dripMs = 0;           // TCP: the next packet or file goes out one byte every this many ms (0 = at once)
  int losePut = 0;               // TCP: take the k-th file received from now whole, then store nothing (0 = never)
};

struct DeviceOptions {
  DeviceKind kind = DeviceKind::kQuillon;
  std::filesystem::path root;  // the device's file system
  std::string version;         // empty: the kind's default version text
  bool upgradeMode = false;    // answer 'V' as a device in upgrade mode does
  BlockSize blockSize = BlockSize::k1024;
  StartByte startByte = StartByte::kNak;
  uint32_t lineRate = 0;       // baud for pacing serial output; 0 = as fast as the link goes
  uint32_t turnaroundMs = 0;   // pause before each answer
  Misbehaviour faults;
  // Receives every log line (from the serving thread); optional.
  std::function<void(const std::string&)> onLog;
};

// One command the device received, with its packets (in arrival order).
struct CommandRecord {
  char command = 0;
  std::vector<Bytes> packets;
  bool ignored = false;  // swallowed by a "silent" misbehaviour
};

class EmulatedDevice {
 public:
  explicit EmulatedDevice(DeviceOptions options);
  ~EmulatedDevice();  // Stop()
  EmulatedDevice(const EmulatedDevice&) = delete;
  EmulatedDevice& operator=(const EmulatedDevice&) = delete;

  // Creates a pseudo-terminal and starts serving on it. Returns the path of
  // its slave side (the "serial port" the PC opens); when linkPath is not
  // empty, also makes a symbolic link there to it (replacing an old link).
  // Raises std::runtime_error with the system's reason on failure.
  std::string StartPty(const std::string& linkPath = "");
  // Listens on 127.0.0.1:port (0 = a free port) and serves one connection at
  // a time. Returns the port. Raises std::runtime_error on failure.
  uint16_t StartTcp(uint16_t port);
  // Ends serving: every wait ends at once; joins the thread; closes the pty
  // (removing the symbolic link) or the socket. Safe to call twice.
  void Stop();
  // False once serving has ended ('k', Stop(), or a fatal error).
  bool Running() const { return m_running.load(); }
  // Waits until serving has ended or the time-out passed; true if it ended.
  bool WaitUntilStopped(std::chrono::milliseconds timeout);

  std::string SlavePath() const { return m_slavePath; }
  uint16_t TcpPort() const { return m_tcpPort; }

  // ---- for tests: what happened, and faults at run time ----
  std::vector<CommandRecord> Commands() const;
  std::vector<std::string> LogLines() const;
  void ClearRecords();
  // Waits until pred(commands) holds (checked on every change) or the time-out passes.
  bool WaitForCommands(const std::function<bool(const std::vector<CommandRecord>&)>& pred,
                       std::chrono::milliseconds timeout);
  // Waits until a log line containing `text` is there.
  bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout);
  // Waits until the device is idle between commands (no command in progress).
  bool WaitIdle(std::chrono::milliseconds timeout);

  Misbehaviour Faults() const;
  void SetFaults(const Misbehaviour& faults);
  void UpdateFaults(const std::function<void(Misbehaviour&)>& change);
  void SetUpgradeMode(bool on);

  // The device's current folder, relative to the root.
  std::filesystem::path CurrentFolder() const;
  const DeviceOptions& Options() const { return m_options; }

 private:
  class Session;
  friend class Session;

  void ServePty();
  void ServeTcp();
  void Log(const std::string& line);
  void Record(const CommandRecord& r);
  void AddPacket(const Bytes& packet);
  void SetBusy(bool busy);
  void SetCurrentFolder(const std::filesystem::path& p);

  DeviceOptions m_options;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_upgradeMode{false};
  std::thread m_thread;

  int m_master = -1;
  int m_slave = -1;  // kept open so the master never sees a hang-up between the PC's opens
  std::string m_slavePath;
  std::string m_linkPath;
  std::unique_ptr<class TcpListener> m_listener;
  uint16_t m_tcpPort = 0;

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<CommandRecord> m_commands;
  std::vector<std::string> m_log;
  Misbehaviour m_faults;
  std::filesystem::path m_current;
  bool m_busy = false;
};

// The version text a device of the kind reports.
std::string DefaultVersion(DeviceKind kind);
std::string KindName(DeviceKind kind);

}  // namespace corvane::emu
