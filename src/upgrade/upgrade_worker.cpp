#include "upgrade/upgrade_worker.h"

#include <memory>

#include "link/link_error.h"
#include "protocol/progress.h"
#include "protocol/wire.h"
#include "upgrade/compressed_image_stream.h"

namespace corvane {
namespace {

constexpr size_t kBlockSize = 1024;
// Bytes read while waiting for the loader's start byte before it counts as
// gone: with kSyncTimeout, a minute for the user to press the keys.
constexpr int kHandshakeTries = 21;
// Times a block (or the EOT) goes out before the loader counts as gone.
constexpr int kBlockTries = 10;
// The flash blocks the loader erases; its count reaches this when done.
constexpr int kEraseBlocks = 127;
// CAN bytes that tell the loader a failed download is over.
constexpr size_t kCancelBytes = 4;

// The device's last reply may still be on its way when the upgrade starts:
// it is let in before the input is discarded.
constexpr uint32_t kSettleBeforeRestartMs = 500;
// The device takes this long to restart into its loader after "R".
constexpr uint32_t kRestartIntoLoaderMs = 300;
// The loader takes this long to get ready to receive after "D".
constexpr uint32_t kDownloadReadyMs = 200;
// A refused or unanswered block goes out again after this pause, so that
// whatever the loader was still sending has passed.
constexpr uint32_t kBlockRetryPauseMs = 600;
// The loader's restart after "R" takes this long before "P" powers it up.
constexpr uint32_t kRestartBeforePowerMs = 100;
// The loader's dialogue comes a line at a time, a byte every millisecond at
// most; a wait of 200 ms means the line is over.
constexpr ReadTimeout kDialogueTimeout = {200, 1};
// The loader answers every block within two seconds, once it has written it
// to flash.
constexpr ReadTimeout kBlockReplyTimeout = {2000, 1};
// The loader's start byte comes every three seconds or so while it waits.
constexpr ReadTimeout kSyncTimeout = {3000, 1};

constexpr const char* kAborted = "Aborted by user";
constexpr const char* kFailed = "The upgrade has failed. Please try again";

bool Contains(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

}  // namespace

int32_t LastWordAsInteger(const std::string& line) {
  size_t end = line.size();
  while (end > 0 && static_cast<uint8_t>(line[end - 1]) <= 0x20) --end;
  size_t begin = end;
  while (begin > 0 && static_cast<uint8_t>(line[begin - 1]) > 0x20) --begin;
  const std::string word = line.substr(begin, end - begin);
  auto bad = [&]() -> int32_t { throw DeviceError(ErrorKind::kFailed, "'" + word + "' is not a valid integer value"); };
  size_t i = 0;
  bool negative = false;
  if (i < word.size() && (word[i] == '+' || word[i] == '-')) negative = word[i++] == '-';
  if (i == word.size()) return bad();
  int64_t value = 0;
  for (; i < word.size(); ++i) {
    if (word[i] < '0' || word[i] > '9') return bad();
    value = value * 10 + (word[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) return bad();
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return bad();
  return static_cast<int32_t>(value);
}

UpgradeWorker::UpgradeWorker(SerialPort* handle, std::string imageFile, ReportHandler onStatus, Clock& clock,
                             MessageBoxHandler messageBox, LogLine logLine, const std::atomic<bool>* cancel)
    : TransferWorker(std::move(onStatus), clock, cancel),
      m_handle(handle),
      m_imageFile(std::move(imageFile)),
      m_messageBox(std::move(messageBox)),
      m_logLine(std::move(logLine)) {
}

uint8_t UpgradeWorker::ReadByte() {
  Bytes b(1, '\0');
  const size_t got = ReadInto(m_handle, b);
  if (m_watchSilence) {
    const uint64_t now = GetClock().NowMs();
    if (got > 0)
      m_lastByteMs = now;
    else if (now - m_lastByteMs >= kEraseSilenceLimitMs)
      ConnectionError();
  }
  return static_cast<uint8_t>(b[0]);
}

std::string UpgradeWorker::ReadLine() {
  std::string line;
  for (;;) {
    const uint8_t c = ReadByte();
    if (Terminated()) throw DeviceError(ErrorKind::kCancelled, kAborted);
    if (c >= 0x20) line += static_cast<char>(c);
    if (c < 0x20 || c == '>') return line;
  }
}

void UpgradeWorker::Send(const std::string& text) { WriteAll(m_handle, text); }

void UpgradeWorker::Execute() {
  try {
    Steps();
  } catch (const std::exception& e) {
    // A broken link is no connection; the loader that stopped answering
    // fails the upgrade.
    const ErrorKind kind = KindOf(e);
    SetFailure(e.what(), kind == ErrorKind::kNoConnection ? TransferFailureKind(&e, m_handle) : kind);
    // Every failure closes the dialog and is told; a report or a box that
    // fails as well (the host is going away) must not end the program.
    try {
      Notify(kReportFinished, "Device Rebooted");
      if (m_messageBox) m_messageBox(e.what(), "Error");
    } catch (...) {
    }
  }
}

void UpgradeWorker::Steps() {
  Clock& clock = GetClock();
  // Restart into the loader.
  clock.SleepMs(kSettleBeforeRestartMs);
  SetReadTimeout(m_handle, kDialogueTimeout);
  DiscardInput(m_handle);
  Send("R");
  clock.SleepMs(kRestartIntoLoaderMs);
  Notify(kReportStatus, "Please and hold the ON key, then insert a paper clip firmly in the reset hole");
  Send("V");
  for (;;) {
    const std::string line = ReadLine();
    if (Contains(line, "ON")) {
      Notify(kReportStatus, "Please Release the ON Key");
      Send("V");
    }
    if (Contains(line, ">")) break;
  }

  // Erase, Cancel off.
  Notify(kReportStatus, "Erasing system");
  Notify(kReportCancelSwitch, "0");
  Send("E");
  m_watchSilence = true;
  m_lastByteMs = clock.NowMs();
  int64_t erased = 0;
  std::string line;
  do {
    line = ReadLine();
    if (Contains(line, "block")) {
      erased = LastWordAsInteger(line);
      Report erase = ProgressReport(TransferPhase::kErasing, erased, kEraseBlocks, 0);
      erase.text = "Erasing system\r\n" + std::to_string(erased * 100 / kEraseBlocks) + "%";
      Notify(erase);
    }
  } while (erased != kEraseBlocks && !Contains(line, ">"));
  if (!Contains(line, ">")) {
    for (;;) {
      const uint8_t c = ReadByte();
      if (Terminated()) throw DeviceError(ErrorKind::kCancelled, kAborted);
      if (c == '>') break;
    }
  }
  m_watchSilence = false;

  // Download.
  Notify(kReportCancelSwitch, "1");
  Notify(kReportStatus, "Downloading the system");
  Send("D");
  clock.SleepMs(kDownloadReadyMs);
  if (!SendImage(m_imageFile)) throw DeviceError(ErrorKind::kFailed, kFailed);
  do line = ReadLine();
  while (!Contains(line, ">"));

  // Restart the device.
  Send("R");
  clock.SleepMs(kRestartBeforePowerMs);
  Send("P");
  Notify(kReportFinished, "Device Rebooted");
  SetSuccess(true);
  if (m_messageBox) m_messageBox("Your device has been successfully upgraded", "Message");
}

bool UpgradeWorker::SendImage(const std::string& fileName) {
  Clock& clock = GetClock();
  uint8_t data[kBlockSize] = {};
  Notify(kReportStatus, "Waiting for synconization");
  SetReadTimeout(m_handle, kSyncTimeout);
  DiscardInput(m_handle);

  bool crc = false;
  bool compress = false;
  for (int wrong = 0;;) {
    const uint8_t c = ReadByte();
    if (c == kNak) break;
    if (c == 'C') {
      crc = true;
      break;
    }
    if (c == 'Y') {
      compress = true;
      Notify(kReportStatus, "Compress streaming");
      break;
    }
    if (++wrong >= kHandshakeTries || Terminated()) ConnectionError();
  }
  SetReadTimeout(m_handle, kBlockReplyTimeout);

  std::unique_ptr<ImageStream> source;
  try {
    if (compress) {
      auto bz = CompressedImageStream::Create(fileName);
      bz->OnLog = m_logLine;
      source = std::move(bz);
    } else {
      source = std::make_unique<FileImageStream>(fileName);
    }
  } catch (const DeviceError& e) {
    // The message names the file; the log also gets the system's reason.
    if (!e.Detail().empty()) Notify(kReportMessage, e.Detail());
    throw;
  }
  const int64_t size = source->Size();
  const uint64_t start = clock.NowMs();
  Notify(kReportStatus, "Sending " + fileName);

  try {
    const CheckKind kind = crc ? kCrc16Xmodem : kSum8;
    uint32_t number = 0;
    for (;;) {
      // A short last read leaves the rest of the buffer as it was: the block
      // still carries 1024 bytes, the loader drops what lies past the image.
      const int32_t got = source->Read(data, static_cast<int32_t>(kBlockSize));
      if (got <= 0 || Terminated()) break;
      ++number;
      NotifyProgress(TransferPhase::kUpgrading, source->Position() - got, size, start);
      const Bytes block = BuildBlock(static_cast<uint8_t>(number & 0xFF), data, kBlockSize, kind);
      for (int tries = 0;;) {
        WriteAll(m_handle, block);
        const uint8_t reply = ReadByte();
        if (Terminated()) ConnectionError();
        if (reply == kAck) break;
        if (reply == kCan) ConnectionError();
        if (reply == 0 || reply == kNak) {
          if (++tries > kBlockTries) ConnectionError();
          clock.SleepMs(kBlockRetryPauseMs);
        }
      }
    }
    const uint64_t elapsed = clock.NowMs() - start;
    if (!Terminated()) NotifyProgress(TransferPhase::kUpgrading, size, size, start);
    Notify(kReportStatus,
           fileName + " sent at " + std::to_string(size / static_cast<int64_t>(elapsed / 1000 + 1) / 1024) + " Kbyte/s");

    uint8_t reply = 0;
    int tries = 0;
    do {
      if (Terminated()) ConnectionError();
      if (++tries > kBlockTries) ConnectionError();
      WriteAll(m_handle, &kEot, 1);
      reply = ReadByte();
    } while (reply != kAck && !Terminated());
    return !Terminated();
  } catch (const std::exception& e) {
    Notify(kReportMessage, std::string("Error ") + e.what());
    SendCancelBytes(m_handle, kCancelBytes);
    return false;
  }
}

}  // namespace corvane
