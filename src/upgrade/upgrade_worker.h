#pragma once
// The ROM upgrade: the dialogue with the Quillon's boot loader (restart into
// the loader, erase, download the image in 1024-byte blocks, restart), run on
// the thread that calls Run(), over the session's serial port.
#include <cstdint>
#include <functional>
#include <string>

#include "link/serial_port.h"
#include "protocol/transfer_worker.h"

namespace corvane {

class UpgradeWorker : public TransferWorker {
 public:
  // A message box with one OK button, asked for by the running upgrade.
  using MessageBoxHandler = std::function<void(const std::string& text, const std::string& caption)>;
  // A log line of the compressor (handed to the log window).
  using LogLine = std::function<void(const std::string& line)>;

  // With no byte at all from the loader for this long while it erases, the
  // upgrade ends with the connection error: Cancel is off in that phase, so
  // a loader that died would otherwise hold the user for ever.
  static constexpr uint64_t kEraseSilenceLimitMs = 120000;

  // Run() borrows the port: nothing else may use it meanwhile.
  UpgradeWorker(SerialPort* handle, std::string imageFile, ReportHandler onStatus, Clock& clock,
                MessageBoxHandler messageBox, LogLine logLine = {}, const std::atomic<bool>* cancel = nullptr);

 protected:
  void Execute() override;

 private:
  // One line of the loader's output: bytes up to a control byte (not kept),
  // a ">" (kept) or a read time-out. Raises "Aborted by user" when terminated.
  std::string ReadLine();
  // One byte; a time-out gives 0 (no byte the loader's dialogue waits for).
  uint8_t ReadByte();
  void Send(const std::string& text);
  // The image transfer proper; true when every block and the EOT were taken.
  bool SendImage(const std::string& fileName);
  void Steps();

  SerialPort* m_handle;
  std::string m_imageFile;
  MessageBoxHandler m_messageBox;
  LogLine m_logLine;
  // Set while the loader erases: the silence watch of ReadByte.
  bool m_watchSilence = false;
  uint64_t m_lastByteMs = 0;
};

// The last word of a loader line as a decimal integer: the text after the last
// byte of 0x20 or below, once trailing such bytes are gone. Raises
// DeviceError "'<word>' is not a valid integer value" when it is none.
int32_t LastWordAsInteger(const std::string& line);

}  // namespace corvane
