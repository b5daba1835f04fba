#include "protocol/block_sender.h"

#include <algorithm>
#include <cstring>

#include "link/link_error.h"
#include "protocol/local_file.h"
#include "protocol/progress.h"

namespace corvane {
namespace {

constexpr size_t kBlockSize = 1024;
constexpr int kMaxStartTries = 5;
constexpr int kMaxBlockRetries = 10;
constexpr int kMaxEotTries = 10;
constexpr uint32_t kTimeoutPauseMs = 800;

}  // namespace

BlockSender::BlockSender(SerialPort* link, ReportHandler onStatus, std::string localPath, Clock& clock,
                         const std::atomic<bool>* cancel)
    : TransferWorker(std::move(onStatus), clock, cancel), m_link(link), m_path(std::move(localPath)) {}

BlockSender::BlockSender(SerialPort* link, ReportHandler onStatus, InputFile& file, std::string localPath,
                         Clock& clock, const std::atomic<bool>* cancel)
    : TransferWorker(std::move(onStatus), clock, cancel),
      m_link(link),
      m_path(std::move(localPath)),
      m_openFile(&file) {}

// A time-out reads as 0, which is no reply byte of the protocol.
uint8_t BlockSender::ReadReply() { return ReadByte(m_link).value_or(0); }

CheckKind BlockSender::WaitForStart() {
  CheckKind kind = kSum8;
  for (int tries = 0;;) {
    const uint8_t b = ReadReply();
    if (CheckKindFromStartByte(b, kind)) return kind;
    if (b == kCan) ConnectionError();
    if (++tries > kMaxStartTries) ConnectionError();
    if (Terminated()) ConnectionError();
  }
}

void BlockSender::SendBlocks(InputFile& file, int64_t length, uint64_t startTick, CheckKind kind) {
  uint8_t buffer[kBlockSize];
  uint32_t counter = 0;
  int64_t sent = 0;
  while (sent < length) {
    // Never more than the length the device expects, however the file grew.
    const size_t want = static_cast<size_t>(std::min<int64_t>(length - sent, static_cast<int64_t>(kBlockSize)));
    int error = 0;
    const size_t got = file.Read(buffer, want, error);
    if (error != 0) LinkError("Cannot read from file " + m_path + ": " + Detail(error), ErrorKind::kLocalFile);
    if (got < want) {
      // Cut short while it was sent: the device must not take what came as
      // the whole file.
      LinkError("The file " + m_path + " became shorter while it was sent (" +
                    std::to_string(sent + static_cast<int64_t>(got)) + " of " + std::to_string(length) +
                    " bytes). Send it again once nothing is changing it",
                ErrorKind::kLocalFile);
    }
    // A short last block is padded with a fixed filler, never with bytes of
    // the block before it.
    if (got < kBlockSize) std::memset(buffer + got, kFiller, kBlockSize - got);
    ++counter;
    NotifyProgress(TransferPhase::kSending, sent, length, startTick);
    const Bytes frame = BuildBlock(static_cast<uint8_t>(counter & 0xFF), buffer, kBlockSize, kind);
    for (int retries = 0;;) {
      WriteAll(m_link, frame);
      const uint8_t reply = ReadReply();
      if (Terminated()) ConnectionError();
      if (reply == kAck) break;
      if (reply == 0) {
        if (++retries > kMaxBlockRetries) ConnectionError();
        GetClock().SleepMs(kTimeoutPauseMs);
        if (Terminated()) ConnectionError();
      } else if (reply == kNak) {
        if (++retries > kMaxBlockRetries) ConnectionError();
      } else if (reply == kCan) {
        ConnectionError();
      } else {
        // Line noise: let it pass before the block goes out again.
        DrainInput(m_link);
      }
      Notify(kReportMessage, kConnectionErrorText);
    }
    sent += static_cast<int64_t>(got);
  }
  NotifyProgress(TransferPhase::kSending, sent, length, startTick);
}

void BlockSender::SendEndOfFile() {
  const uint8_t eot = kEot;
  for (int tries = 0;;) {
    if (Terminated()) ConnectionError();
    if (++tries > kMaxEotTries) ConnectionError();
    WriteAll(m_link, &eot, 1);
    if (ReadReply() == kAck) return;
  }
}

void BlockSender::Execute() {
  InputFile own;
  InputFile& file = m_openFile != nullptr ? *m_openFile : own;
  try {
    SetReadTimeout(m_link, {kReplyTimeoutMs, 0});
    Notify(kReportStatus, "Connecting ...");
    const CheckKind kind = WaitForStart();

    if (m_openFile == nullptr) {
      if (const int err = own.Open(m_path); err != 0)
        LinkError("Unable to open file " + m_path + ": " + Detail(err), ErrorKind::kLocalFile);
    }
    const int64_t length = file.Size();
    const uint64_t startTick = GetClock().NowMs();
    Notify(kReportStatus, "Copying " + m_path);

    SendBlocks(file, length, startTick, kind);

    const uint64_t seconds = (GetClock().NowMs() - startTick) / 1000;
    Notify(kReportStatus, LocalFileName(m_path) + " sent at " +
                              std::to_string(static_cast<uint64_t>(length) / (seconds + 1) / 1024) + " Kbyte/s");
    SendEndOfFile();
    own.Close();
    SetSuccess(true);
  } catch (const std::exception& e) {
    FailTransfer(m_link, &e, kCancelBytes);
  } catch (...) {
    FailTransfer(m_link, nullptr, kCancelBytes);
  }
  own.Close();
  try {
    Notify(kReportFinished, "");
  } catch (...) {
    // nobody left to tell
  }
}

}  // namespace corvane
