// The link primitives of a session: bytes and packets over the serial port or TCP.
#include "emulator/emulated_device_session.h"

namespace corvane::emu {

using namespace session_detail;

size_t EmulatedDevice::Session::ReadRaw(uint8_t* buf, size_t n, uint32_t timeoutMs) {
  if (n == 0) return 0;
  if (Serial()) {
    SetReadTimeout(m_port, {timeoutMs, 0});
    return m_port->Read(buf, n);
  }
  const size_t got = m_tcp->Read(buf, n, timeoutMs);
  if (got > 0) m_tcpInputSinceWrite = true;
  return got;
}

int EmulatedDevice::Session::ReadByte(uint32_t timeoutMs) {
  uint8_t b = 0;
  return ReadRaw(&b, 1, timeoutMs) == 1 ? b : -1;
}

void EmulatedDevice::Session::Write(const uint8_t* data, size_t n) {
  if (Serial()) {
    WriteAll(m_port, data, n);
    return;
  }
  if (m_tcpInputSinceWrite && m_dev.m_options.turnaroundMs > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(m_dev.m_options.turnaroundMs));
  m_tcpInputSinceWrite = false;
  m_tcp->Write(data, n);
}

void EmulatedDevice::Session::Write(const Bytes& data) {
  Write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

void EmulatedDevice::Session::DiscardUntilQuiet(uint32_t quietMs, uint32_t limitMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  uint8_t buf[256];
  while (!Stopping() && !LinkGone() && std::chrono::steady_clock::now() < until)
    if (ReadRaw(buf, sizeof buf, quietMs) == 0) break;
}

bool EmulatedDevice::Session::ReceivePacket(Bytes& payload) {
  if (!Serial()) {
    uint8_t size[4];
    if (ReadRaw(size, 4, 5000) < 4) return false;
    const uint32_t length = ReadLe32(reinterpret_cast<const char*>(size));
    if (length > kMaxTcpCommandPacket) {
      Log("Refused a command packet of " + std::to_string(length) + " bytes; closing the connection");
      m_tcp->Close();
      return false;
    }
    payload.assign(length, '\0');
    if (ReadRaw(reinterpret_cast<uint8_t*>(payload.data()), length, 5000) < length) return false;
    m_dev.AddPacket(payload);
    return true;
  }
  // The PC writes a packet at most five times; a quiet line means it gave up.
  for (int attempt = 1; attempt <= 10 && !Stopping(); ++attempt) {
    SetReadTimeout(m_port, {1000, 30});
    PacketAttempt a = ReadSerialPacketOnce(m_port, kMaxPcPacket);
    if (a.outcome == PacketAttempt::kShortSize) return false;
    if (a.outcome == PacketAttempt::kOk) {
      bool nak = false;
      m_dev.UpdateFaults([&](Misbehaviour& f) {
        if (f.nakPackets > 0) {
          --f.nakPackets;
          nak = true;
        }
      });
      if (!nak) {
        // Recorded before the ACK, so a test that saw its call return finds it.
        m_dev.AddPacket(a.payload);
        Write(Bytes(1, static_cast<char>(kAck)));
        payload = std::move(a.payload);
        return true;
      }
      Log("NAK to a good packet (on request)");
    } else {
      Log("Bad packet from the PC: NAK");
      DiscardUntilQuiet(100, 2000);
    }
    Write(Bytes(1, static_cast<char>(kNak)));
  }
  return false;
}

EmulatedDevice::Session::AnswerFaults EmulatedDevice::Session::TakeAnswerFaults(uint64_t realLength) {
  AnswerFaults taken;
  m_dev.UpdateFaults([&](Misbehaviour& f) {
    taken = {f.lyingLength, f.dripMs};
    f.lyingLength = f.dripMs = 0;
  });
  if (taken.lyingLength > 0)
    Log("Announcing " + std::to_string(taken.lyingLength) + " bytes for " + std::to_string(realLength) +
        " (on request)");
  if (taken.dripMs > 0) Log("Sending one byte every " + std::to_string(taken.dripMs) + " ms (on request)");
  return taken;
}

void EmulatedDevice::Session::WriteDripping(const uint8_t* data, size_t n, uint32_t dripMs) {
  if (dripMs == 0) {
    Write(data, n);
    return;
  }
  for (size_t i = 0; i < n && !LinkGone() && !Stopping(); ++i) {
    Write(data + i, 1);
    // Slept in slices, so that a stop request ends it at once.
    for (uint32_t slept = 0; slept < dripMs && !Stopping(); slept += 50)
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<uint32_t>(50, dripMs - slept)));
  }
}

bool EmulatedDevice::Session::SendPacket(const Bytes& payload) {
  if (!Serial()) {
    const AnswerFaults answer = TakeAnswerFaults(payload.size());
    Bytes framed = FrameTcpPacket(payload);
    if (answer.lyingLength > 0) framed.replace(0, 4, IntToBytes(static_cast<int32_t>(answer.lyingLength)));
    WriteDripping(framed, answer.dripMs);
    return !LinkGone();
  }
  const Bytes framed = FrameSerialPacket(payload);
  // The PC refuses a packet four times, then gives up.
  for (int send = 1; send <= 4 && !Stopping(); ++send) {
    Bytes out = framed;
    m_dev.UpdateFaults([&](Misbehaviour& f) {
      if (f.badChecksumPackets > 0) {
        --f.badChecksumPackets;
        out.back() = static_cast<char>(out.back() ^ 0xFF);
      }
    });
    Write(out);
    const int reply = ReadByte(4000);
    if (reply == kAck) return true;
    if (reply != kNak) {
      Log("No answer to a packet");
      return false;
    }
    Log("The PC refused a packet: sending it again");
  }
  return false;
}

}  // namespace corvane::emu
