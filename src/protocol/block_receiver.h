#pragma once
// The receiver of a block transfer: one file from the device, in 128- and
// 1024-byte blocks with the 8-bit sum, cut to the length the caller expects.
// A sound repeat of the block accepted last (the device missed our ACK) is
// acknowledged again and its data dropped.
#include <cstdint>
#include <string>

#include "link/bytes.h"
#include "link/clock.h"
#include "link/serial_port.h"
#include "protocol/report.h"
#include "protocol/transfer_worker.h"

namespace corvane {

class ReplacingFile;

class BlockReceiver final : public TransferWorker {
 public:
  // Run() borrows the port: nothing else may use it meanwhile. The file
  // reaches `localPath` only when the transfer succeeded; until then it grows
  // in a temporary file beside it.
  BlockReceiver(SerialPort* link, int64_t expectedLength, ReportHandler onStatus, std::string localPath,
                Clock& clock = Clock::System(), const std::atomic<bool>* cancel = nullptr);
  // Receives into `file`, which the caller has opened on `localPath` (and
  // keeps until Run() returns), so that a target that cannot be created is
  // known before the device is asked for anything. Committed on success,
  // discarded otherwise.
  BlockReceiver(SerialPort* link, int64_t expectedLength, ReportHandler onStatus, ReplacingFile& file,
                std::string localPath, Clock& clock = Clock::System(), const std::atomic<bool>* cancel = nullptr);

  // Whether the expected length is what the device must send (a file of a
  // listed size) rather than only the most that is kept (a screen, whose
  // bitmap may be shorter). When it must, a device that ends the file before
  // it (padding of the last block counted) fails the transfer, and nothing
  // of the file is kept.
  void SetLengthIsExact(bool exact) { m_lengthIsExact = exact; }

  // Read time-out for every header byte and every block.
  static constexpr uint32_t kReadTimeoutMs = 2000;
  // Bad or missing header bytes tolerated for one block.
  static constexpr int kMaxHeaderRetries = 5;
  // Repeats of the block accepted last, in a row, before the transfer fails.
  static constexpr int kMaxRepeats = 10;

 protected:
  void Execute() override;

 private:
  enum class BlockOutcome {
    kAccepted,  // the expected block: written, ACK sent
    kRepeat,    // a sound copy of the block accepted last: ACK sent, data dropped
    kRefused,   // damaged, short or misnumbered: NAK sent
  };
  // Reads one block of n data bytes after its header byte.
  BlockOutcome ReceiveBlock(ReplacingFile& file, size_t n);
  void WriteByte(uint8_t b);
  // CAN bytes that tell the device a failed receive is over (unless it has
  // ended the transfer).
  static constexpr size_t kCancelBytes = 4;

  SerialPort* m_link;
  int64_t m_expected;
  std::string m_path;
  bool m_lengthIsExact = false;
  ReplacingFile* m_openFile = nullptr;  // the caller's, when given
  // State of the running transfer (the thread that runs it only).
  uint32_t m_counter = 0;
  int64_t m_received = 0;
  // The device has ended the transfer (its EOT was acknowledged): a failure
  // after that has nothing left to cancel.
  bool m_deviceDone = false;
  uint64_t m_startTick = 0;
  Bytes m_block;
};

}  // namespace corvane
