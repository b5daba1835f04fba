// Transfers: the blocks of a file sent or received over the serial port, the stream over TCP.
#include "emulator/emulated_device_session.h"

namespace corvane::emu {

using namespace session_detail;

bool EmulatedDevice::Session::SendBlocks(OutgoingFile* source, const Misbehaviour& faults) {
  // Wait for the receiver's start byte, which also chooses the trailer.
  CheckKind kind = kSum8;
  bool started = false;
  for (int waited = 0; waited < 15000 && !Stopping(); waited += 1000) {
    const int b = ReadByte(1000);
    if (b < 0) continue;
    if (b == kCan) {
      Log("The PC cancelled before the first block");
      return false;
    }
    if (CheckKindFromStartByte(static_cast<uint8_t>(b), kind)) {
      started = true;
      break;
    }
  }
  if (!started) {
    Log("No start byte from the PC");
    return false;
  }
  if (source == nullptr) {
    Write(Bytes(3, static_cast<char>(kCan)));
    return false;
  }
  uint8_t data[1024];
  bool ackLost = false;
  for (uint32_t number = 1;; ++number) {
    const BlockSize mode = m_dev.m_options.blockSize;
    const size_t n = (mode == BlockSize::k128 || (mode == BlockSize::kMixed && number % 2 == 0)) ? 128 : 1024;
    const size_t got = source->Read(data, n);
    if (got == 0) break;
    std::fill(data + got, data + n, 0x1A);  // filler of the last block
    if (faults.cancelAtBlock == static_cast<int>(number)) {
      Log("Sending CAN instead of block " + std::to_string(number) + " (on request)");
      Write(Bytes(3, static_cast<char>(kCan)));
      return false;
    }
    if (faults.silentAtBlock == static_cast<int>(number)) {
      Log("Going silent at block " + std::to_string(number) + " (on request)");
      DiscardUntilQuiet(3000, 30000);
      return false;
    }
    const Bytes block = BuildBlock(static_cast<uint8_t>(number & 0xFF), data, n, kind);
    // Ten refusals, or three silences in a row (the PC has gone), end it.
    // Any answer but ACK or CAN (a NAK, a garbled byte, none within the
    // answer time) makes the block go again.
    bool acked = false;
    int silences = 0;
    for (int tries = 1; tries <= 10 && silences < 3 && !Stopping(); ++tries) {
      Bytes out = block;
      if (tries == 1 && faults.corruptBlock == static_cast<int>(number)) {
        out.back() = static_cast<char>(out.back() ^ 0x5A);
        Log("Block " + std::to_string(number) + " sent damaged (on request)");
      }
      Write(out);
      int reply = ReadByte(kBlockAnswerMs);
      if (reply == kAck && !ackLost && faults.loseAckBlock == static_cast<int>(number)) {
        // The line ate the ACK: the device waits for an answer as if none had
        // come, and sends the block again after whatever ends that wait.
        ackLost = true;
        Log("ACK of block " + std::to_string(number) + " lost (on request)");
        reply = ReadByte(kBlockAnswerMs);
      }
      silences = reply < 0 ? silences + 1 : 0;
      if (reply == kAck) {
        acked = true;
        break;
      }
      if (reply == kCan) {
        Log("The PC cancelled at block " + std::to_string(number));
        return false;
      }
    }
    if (!acked) {
      Log("Block " + std::to_string(number) + " was not accepted; transfer abandoned");
      return false;
    }
    if (faults.repeatBlock == static_cast<int>(number)) {
      // As a sender that missed the ACK would: the same block once more.
      Log("Block " + std::to_string(number) + " sent again (on request)");
      Write(block);
      ReadByte(kBlockAnswerMs);
    }
    if (faults.endEarlyAfterBlock == static_cast<int>(number)) {
      // The end goes again for as long as the PC refuses it (below).
      Log("Ending the file after block " + std::to_string(number) + " (on request)");
      break;
    }
  }
  for (int tries = 1; tries <= 10 && !Stopping(); ++tries) {
    Write(Bytes(1, static_cast<char>(kEot)));
    if (ReadByte(3000) == kAck) return true;
  }
  return false;
}

bool EmulatedDevice::Session::ReceiveBlocks(IncomingFile& target, const Misbehaviour& faults) {
  CheckKind kind = kSum8;
  uint8_t start = kNak;
  switch (m_dev.m_options.startByte) {
    case StartByte::kNak: kind = kSum8; start = kNak; break;
    case StartByte::kCrc: kind = kCrc16Arc; start = kStartCrc; break;
    case StartByte::kKermit: kind = kCrc16Kermit; start = kStartKermit; break;
  }
  Write(Bytes(1, static_cast<char>(start)));
  uint32_t expected = 1;
  bool ackDropped = false;
  int nakBlocks = 0;
  int misses = 0;
  const size_t trailer = TrailerSize(kind);
  while (!Stopping()) {
    // Longer than a sender waits for an answer, so a sender that missed our
    // ACK resends before we ask again.
    const int header = ReadByte(5000);
    if (header < 0) {
      // A sender resends within three seconds; four silent waits mean it has gone.
      if (++misses > 3) {
        Log("The PC stopped sending");
        return false;
      }
      // Nothing yet: ask again, with the start byte before the first block.
      Write(Bytes(1, static_cast<char>(expected == 1 ? start : kNak)));
      continue;
    }
    if (header == kEot) {
      Write(Bytes(1, static_cast<char>(kAck)));
      return target.Ok();
    }
    if (header == kCan) {
      Log("The PC cancelled the transfer");
      return false;
    }
    if (header != kSoh && header != kStx) {
      DiscardUntilQuiet(100, 2000);
      Write(Bytes(1, static_cast<char>(kNak)));
      continue;
    }
    const size_t n = header == kSoh ? 128 : 1024;
    Bytes rest(n + 2 + trailer, '\0');
    SetReadTimeout(m_port, {3000, 0});
    const int got = ReadInto(m_port, rest);
    const auto number = static_cast<uint8_t>(rest[0]);
    const auto* data = reinterpret_cast<const uint8_t*>(rest.data() + 2);
    const bool whole = static_cast<size_t>(got) == rest.size() &&
                       static_cast<uint8_t>(rest[1]) == static_cast<uint8_t>(255 - number) &&
                       rest.compare(n + 2, trailer, BlockTrailer(kind, data, n)) == 0;
    if (!whole) {
      Log("Damaged block: NAK");
      DiscardUntilQuiet(100, 2000);
      Write(Bytes(1, static_cast<char>(kNak)));
      continue;
    }
    misses = 0;
    if (number == static_cast<uint8_t>((expected - 1) & 0xFF) && expected > 1) {
      // Our ACK went missing and the block came again: keep the first copy.
      Write(Bytes(1, static_cast<char>(kAck)));
      continue;
    }
    if (number != static_cast<uint8_t>(expected & 0xFF)) {
      Log("Block " + std::to_string(number) + " out of order: NAK");
      Write(Bytes(1, static_cast<char>(kNak)));
      continue;
    }
    if (faults.cancelAtBlock == static_cast<int>(expected)) {
      Log("Answering block " + std::to_string(expected) + " with CAN (on request)");
      Write(Bytes(3, static_cast<char>(kCan)));
      return false;
    }
    if (faults.silentAtBlock == static_cast<int>(expected)) {
      Log("Going silent at block " + std::to_string(expected) + " (on request)");
      DiscardUntilQuiet(3000, 30000);
      return false;
    }
    if (nakBlocks < faults.nakBlocks) {
      ++nakBlocks;
      Log("NAK to good block " + std::to_string(expected) + " (on request)");
      Write(Bytes(1, static_cast<char>(kNak)));
      continue;
    }
    target.Append(data, n);
    ++expected;
    if (!ackDropped && faults.dropAckBlock == static_cast<int>(expected - 1)) {
      ackDropped = true;
      Log("ACK of block " + std::to_string(expected - 1) + " dropped (on request)");
      continue;
    }
    Write(Bytes(1, static_cast<char>(kAck)));
  }
  return false;
}

bool EmulatedDevice::Session::SendStream(OutgoingFile& source, uint64_t total, const Misbehaviour& faults) {
  const AnswerFaults answer = TakeAnswerFaults(total);
  const uint32_t announced =
      answer.lyingLength > 0 ? answer.lyingLength : static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
  WriteDripping(IntToBytes(static_cast<int32_t>(announced)), answer.dripMs);
  std::vector<uint8_t> buf(64 * 1024);
  uint64_t sent = 0;
  while (sent < total && !LinkGone() && !Stopping()) {
    size_t n = source.Read(buf.data(), buf.size());
    if (n == 0) break;
    if (faults.closeAfterBytes > 0 && sent + n >= faults.closeAfterBytes) {
      WriteDripping(buf.data(), static_cast<size_t>(faults.closeAfterBytes - sent), answer.dripMs);
      Log("Closing the connection after " + std::to_string(faults.closeAfterBytes) + " bytes (on request)");
      m_tcp->Close();
      return false;
    }
    WriteDripping(buf.data(), n, answer.dripMs);
    sent += n;
  }
  return sent == total && !LinkGone();
}

bool EmulatedDevice::Session::ReceiveStream(IncomingFile& target, const Misbehaviour& faults) {
  uint8_t size[4];
  if (ReadRaw(size, 4, 5000) < 4) return false;
  const uint64_t length = ReadLe32(reinterpret_cast<const char*>(size));
  std::vector<uint8_t> buf(64 * 1024);
  uint64_t got = 0;
  while (got < length && !Stopping()) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(length - got, buf.size()));
    if (faults.closeAfterBytes > 0) {
      if (got >= faults.closeAfterBytes) {
        Log("Closing the connection after " + std::to_string(got) + " bytes (on request)");
        m_tcp->Close();
        return false;
      }
      want = static_cast<size_t>(std::min<uint64_t>(want, faults.closeAfterBytes - got));
    }
    if (faults.stallAfterBytes > 0) {
      if (got >= faults.stallAfterBytes) {
        // Reads nothing more: the PC's bytes pile up until its sends block.
        Log("Not reading after " + std::to_string(got) + " bytes (on request)");
        while (!Stopping() && !m_tcp->WaitForPeerClose(50)) {
        }
        m_tcp->Close();
        return false;
      }
      want = static_cast<size_t>(std::min<uint64_t>(want, faults.stallAfterBytes - got));
    }
    const size_t n = ReadRaw(buf.data(), want, 5000);
    if (n == 0) return false;
    target.Append(buf.data(), n);
    got += n;
  }
  return got == length && target.Ok();
}

}  // namespace corvane::emu
