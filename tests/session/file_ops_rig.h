#pragma once
// What the file-operation tests share: a session on a scripted device with
// a recording clock and host, over the serial port or TCP/IP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "../protocol/transfer_peers.h"
#include "fake_host.h"
#include "test_util.h"
#include "link/link_error.h"
#include "protocol/listing.h"
#include "protocol/wire.h"
#include "scripted_device.h"
#include "session/device_session.h"

namespace corvane::file_ops_test {

using test::FakeClock;
using test::FakeHost;
using test::ReadN;
using test::TcpPeer;
using test::What;
using test::WriteAll;
using test::Pattern;
using test::ReadWhole;
using test::ReceiverPeer;
using test::ScriptedDevice;
using test::ScriptedPort;
using test::SenderPeer;
using test::TempDir;


// The fake clock, with every pause written down.
class RecordingClock final : public Clock {
 public:
  explicit RecordingClock(FakeClock& clock) : m_clock(clock) {}
  uint64_t NowMs() override { return m_clock.NowMs(); }
  void SleepMs(uint32_t ms) override {
    {
      std::lock_guard lock(m_mutex);
      m_sleeps.push_back(ms);
    }
    m_clock.SleepMs(ms);
  }
  std::vector<uint32_t> Sleeps() {
    std::lock_guard lock(m_mutex);
    return m_sleeps;
  }
  void Clear() {
    std::lock_guard lock(m_mutex);
    m_sleeps.clear();
  }

 private:
  FakeClock& m_clock;
  std::mutex m_mutex;
  std::vector<uint32_t> m_sleeps;
};

// A connected session whose device answers commands and packets, and takes
// part in the block transfer that follows 'G', 'P' or 'S'.
struct Rig {
  FakeClock fake;
  RecordingClock clock{fake};
  FakeHost host;
  LogModel log;
  DeviceSession session{host, log, clock};
  std::unique_ptr<ScriptedPort> portOwner;
  ScriptedPort* port = nullptr;
  std::unique_ptr<ScriptedDevice> device;
  SenderPeer sender;      // the device sending a file (get, capture)
  ReceiverPeer receiver;  // the device receiving a file (put)
  uint8_t startByte = 'C';
  std::vector<std::string> messages;
  TempDir dir;

  enum class Mode { kCommands, kSending, kReceiving } mode = Mode::kCommands;
  char armed = 0;

  explicit Rig(bool quillon, bool connect = true) {
    session.IsQuillon = quillon;
    session.BaudRate = 115200;
    session.OnMessage = [this](DeviceSession&, const std::string& text) { messages.push_back(text); };
    session.OpenPort = [this](const std::string& name, int, bool) -> std::unique_ptr<SerialPort> {
      auto p = std::make_unique<ScriptedPort>(fake, name);
      port = p.get();
      device = std::make_unique<ScriptedDevice>(*p);
      auto commandSide = p->OnWrite;
      p->OnWrite = [this, commandSide](ScriptedPort& sp, const Bytes& data) { OnWrite(sp, data, commandSide); };
      return p;
    };
    if (connect) {
      session.Connect(LinkTarget::Serial("/dev/ttyFAKE0"));
      port->ClearWritten();
      device->commands.clear();
      device->packets.clear();
      messages.clear();
      clock.Clear();
    }
  }

  void OnWrite(ScriptedPort& p, const Bytes& data, const std::function<void(ScriptedPort&, const Bytes&)>& commandSide) {
    if (mode == Mode::kSending) {
      sender.OnWrite(p, data);
      if (sender.finished || data.find(static_cast<char>(kCan)) != Bytes::npos) mode = Mode::kCommands;
      return;
    }
    if (mode == Mode::kReceiving) {
      receiver.OnWrite(p, data);
      if (receiver.finished || !receiver.cans.empty()) mode = Mode::kCommands;
      return;
    }
    const size_t packets = device->packets.size();
    commandSide(p, data);
    if (data.size() == 1 && (data[0] == 'G' || data[0] == 'P')) armed = data[0];
    if (data.size() == 1 && data[0] == 'S') mode = Mode::kSending;
    if (armed != 0 && device->packets.size() > packets) {
      mode = armed == 'G' ? Mode::kSending : Mode::kReceiving;
      if (armed == 'P') p.QueueByte(startByte);
      armed = 0;
    }
  }

  Bytes Commands() const {
    Bytes c;
    for (const auto& b : device->commands) c += b;
    return c;
  }
  std::vector<uint32_t> Sleeps() { return clock.Sleeps(); }
};

}  // namespace corvane::file_ops_test
