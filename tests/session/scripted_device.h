#pragma once
// A device's file server reduced to a script, on a ScriptedPort: it answers
// 'V' and 'L' with packets and acknowledges the PC's packets, and can be told
// to refuse, corrupt or stay silent. Everything the PC wrote stays readable.
#include <optional>
#include <string>
#include <vector>

#include "protocol/wire.h"
#include "scripted_port.h"

namespace corvane::test {

class ScriptedDevice {
 public:
  explicit ScriptedDevice(ScriptedPort& port) : m_port(port) {
    port.OnWrite = [this](ScriptedPort& p, const Bytes& data) { OnWrite(p, data); };
  }

  Bytes version = "Quillon Xmodem server 2.1";
  Bytes listing;             // payload answered to 'L'
  bool upgradeMode = false;  // answer 'V' with a lone 'V'
  bool silent = false;       // answer nothing at all
  int nakPackets = 0;        // NAK the next n packets from the PC
  int corruptReplies = 0;    // send the next n packets with a wrong checksum
  Bytes rawReply;            // if set, sent instead of the next packet reply

  std::vector<Bytes> commands;  // one-byte commands, in order
  std::vector<Bytes> packets;   // payloads of the PC's packets, in order
  int acksFromPc = 0;
  int naksFromPc = 0;

 private:
  void Reply(ScriptedPort& p, const Bytes& payload) {
    m_lastReply = payload;
    if (!rawReply.empty()) {
      p.Queue(rawReply);
      rawReply.clear();
      return;
    }
    Bytes frame = FrameSerialPacket(payload);
    if (corruptReplies > 0) {
      --corruptReplies;
      frame.back() = static_cast<char>(frame.back() + 1);
    }
    p.Queue(frame);
  }

  void OnWrite(ScriptedPort& p, const Bytes& data) {
    if (silent) return;
    if (data.size() == 1) {
      const auto b = static_cast<uint8_t>(data[0]);
      if (b == kAck) {
        ++acksFromPc;
        return;
      }
      if (b == kNak) {
        ++naksFromPc;
        if (m_lastReply) Reply(p, *m_lastReply);
        return;
      }
      commands.push_back(data);
      m_lastReply.reset();
      if (b == 'V') {
        if (upgradeMode) p.Queue("V");
        else Reply(p, version);
      } else if (b == 'L') {
        Reply(p, listing);
      }
      return;
    }
    // A packet from the PC: 2-byte length, payload, checksum.
    if (data.size() >= 3) {
      packets.push_back(data.substr(2, data.size() - 3));
      if (nakPackets > 0) {
        --nakPackets;
        p.QueueByte(kNak);
      } else {
        p.QueueByte(kAck);
      }
    }
  }

  ScriptedPort& m_port;
  std::optional<Bytes> m_lastReply;
};

}  // namespace corvane::test
