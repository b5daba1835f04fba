#pragma once
// The sender of a block transfer: one local file to the device, in 1024-byte
// blocks, with the trailer the device asks for by its start byte. It sends
// exactly the file's length at opening: a file that grows meanwhile is cut
// there, and one that ends before it fails the transfer (local file), which
// is then cancelled on the device.
#include <cstdint>
#include <string>

#include "link/clock.h"
#include "link/serial_port.h"
#include "protocol/report.h"
#include "protocol/transfer_worker.h"
#include "protocol/wire.h"

namespace corvane {

class InputFile;

class BlockSender final : public TransferWorker {
 public:
  // Run() borrows the port: nothing else may use it meanwhile.
  BlockSender(SerialPort* link, ReportHandler onStatus, std::string localPath, Clock& clock = Clock::System(),
              const std::atomic<bool>* cancel = nullptr);
  // Sends `file`, opened by the caller (who keeps it open until Run()
  // returns): exactly the length it had when it was opened, which is what the
  // device was told. `localPath` names it in the reports.
  BlockSender(SerialPort* link, ReportHandler onStatus, InputFile& file, std::string localPath,
              Clock& clock = Clock::System(), const std::atomic<bool>* cancel = nullptr);

  // The bytes behind the end of the file in its last, short block.
  static constexpr uint8_t kFiller = 0x1A;
  // Read time-out for every reply of the device.
  static constexpr uint32_t kReplyTimeoutMs = 2000;

 protected:
  void Execute() override;

 private:
  CheckKind WaitForStart();
  void SendBlocks(InputFile& file, int64_t length, uint64_t startTick, CheckKind kind);
  void SendEndOfFile();
  uint8_t ReadReply();
  // CAN bytes that tell the device a failed send is over.
  static constexpr size_t kCancelBytes = 3;

  SerialPort* m_link;
  std::string m_path;
  InputFile* m_openFile = nullptr;  // the caller's, when given
};

}  // namespace corvane
