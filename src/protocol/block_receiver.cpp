#include "protocol/block_receiver.h"

#include <algorithm>

#include "link/checksum.h"
#include "link/link_error.h"
#include "protocol/local_file.h"
#include "protocol/progress.h"
#include "protocol/wire.h"

namespace corvane {

BlockReceiver::BlockReceiver(SerialPort* link, int64_t expectedLength, ReportHandler onStatus, std::string localPath,
                             Clock& clock, const std::atomic<bool>* cancel)
    : TransferWorker(std::move(onStatus), clock, cancel),
      m_link(link),
      m_expected(expectedLength),
      m_path(std::move(localPath)) {}

BlockReceiver::BlockReceiver(SerialPort* link, int64_t expectedLength, ReportHandler onStatus, ReplacingFile& file,
                             std::string localPath, Clock& clock, const std::atomic<bool>* cancel)
    : TransferWorker(std::move(onStatus), clock, cancel),
      m_link(link),
      m_expected(expectedLength),
      m_path(std::move(localPath)),
      m_openFile(&file) {}

void BlockReceiver::WriteByte(uint8_t b) { WriteAll(m_link, &b, 1); }

BlockReceiver::BlockOutcome BlockReceiver::ReceiveBlock(ReplacingFile& file, size_t n) {
  if (m_startTick == 0) m_startTick = GetClock().NowMs();
  NotifyProgress(TransferPhase::kReceiving, m_received, m_expected, m_startTick);

  m_block.assign(n + 3, '\0');
  const size_t got = static_cast<size_t>(ReadInto(m_link, m_block));
  const uint8_t number = static_cast<uint8_t>(m_counter & 0xFF);
  const uint8_t previous = static_cast<uint8_t>((m_counter - 1) & 0xFF);
  const auto* bytes = reinterpret_cast<const uint8_t*>(m_block.data());
  const bool sound = got == n + 3 && bytes[1] == static_cast<uint8_t>(255 - bytes[0]) &&
                     bytes[n + 2] == PacketChecksum(bytes + 2, n);
  if (sound && m_counter > 1 && bytes[0] == previous) {
    // The block accepted last, sent again: our ACK of it was lost on the
    // line. Its data is here already; the ACK tells the device to go on.
    WriteByte(kAck);
    return BlockOutcome::kRepeat;
  }
  if (!sound || bytes[0] != number) {
    if (Terminated()) ConnectionError();
    Notify(kReportMessage, kConnectionErrorText);
    DrainInput(m_link);
    WriteByte(kNak);
    return BlockOutcome::kRefused;
  }

  // Bytes past the expected length are the padding of the last block.
  const int64_t room = m_expected - m_received;
  const size_t keep = room <= 0 ? 0 : static_cast<size_t>(std::min<int64_t>(room, static_cast<int64_t>(n)));
  if (keep > 0) {
    if (const int err = file.Write(bytes + 2, keep); err != 0)
      LinkError("Cannot write to file " + m_path + ": " + Detail(err), ErrorKind::kLocalFile);
  }
  m_received += static_cast<int64_t>(keep);
  WriteByte(kAck);
  return BlockOutcome::kAccepted;
}

void BlockReceiver::Execute() {
  m_received = 0;
  m_startTick = 0;
  m_deviceDone = false;
  ReplacingFile own;
  ReplacingFile& file = m_openFile != nullptr ? *m_openFile : own;
  try {
    SetReadTimeout(m_link, {kReadTimeoutMs, 0});
    if (m_openFile == nullptr) {
      if (const int err = own.Open(m_path); err != 0)
        LinkError("Unable to open file " + m_path + ": " + Detail(err), ErrorKind::kLocalFile);
    }

    m_counter = 0;
    WriteByte(kNak);
    bool ended = false;
    // An EOT before the listed length has arrived was answered with NAK: a
    // damaged header byte can read as EOT, and a sender that means it sends
    // EOT again.
    bool earlyEotRefused = false;
    while (!ended) {
      ++m_counter;
      for (int retries = 0, repeats = 0;;) {
        if (Terminated()) ConnectionError();
        const uint8_t b = ReadByte(m_link).value_or(0);
        if (b == kSoh || b == kStx) {
          // A refused block or a repeat of the previous one: this block is still to come.
          const BlockOutcome outcome = ReceiveBlock(file, b == kSoh ? 128 : 1024);
          if (outcome != BlockOutcome::kRefused) earlyEotRefused = false;
          if (outcome == BlockOutcome::kAccepted) break;
          // A sender whose every ACK is lost would give up after its retries;
          // one that repeats the block for ever is not waited for.
          if (outcome == BlockOutcome::kRepeat && ++repeats > kMaxRepeats) ConnectionError();
          continue;
        }
        if (b == kEot && (m_received >= m_expected || earlyEotRefused)) {
          ended = true;
          break;
        }
        earlyEotRefused = b == kEot;
        if (b == kCan) ConnectionError();
        // A cancel that came during this wait ends the transfer now, not
        // after another drain and NAK.
        if (Terminated()) ConnectionError();
        DrainInput(m_link);
        WriteByte(kNak);
        if (++retries > kMaxHeaderRetries) ConnectionError();
        Notify(kReportMessage, kConnectionErrorText);
      }
    }

    WriteByte(kAck);
    m_deviceDone = true;
    if (m_lengthIsExact && m_received < m_expected) {
      // The device meant its early end (it said so twice), but a file that
      // ends before its listed size is not the file: none of it is kept.
      LinkError("The device ended the file after " + std::to_string(m_received) + " of " +
                std::to_string(m_expected) + " bytes. Nothing was kept; try again");
    }
    if (const int err = file.Commit(); err != 0)
      LinkError("Cannot write to file " + m_path + ": " + Detail(err), ErrorKind::kLocalFile);
    if (m_startTick == 0) m_startTick = GetClock().NowMs();
    NotifyProgress(TransferPhase::kReceiving, m_received, m_expected, m_startTick);
    const uint64_t seconds = (GetClock().NowMs() - m_startTick) / 1000;
    Notify(kReportStatus, LocalFileName(m_path) + " Received at " +
                              std::to_string(static_cast<uint64_t>(m_received) / (seconds + 1) / 1024) + " Kbyte/s");
    SetSuccess(true);
  } catch (const std::exception& e) {
    file.Discard();  // nothing of a failed transfer stays on disk
    FailTransfer(m_link, &e, kCancelBytes, m_deviceDone);
  } catch (...) {
    file.Discard();
    FailTransfer(m_link, nullptr, kCancelBytes, m_deviceDone);
  }
  try {
    Notify(kReportFinished, "");
  } catch (...) {
    // nobody left to tell
  }
}

}  // namespace corvane
