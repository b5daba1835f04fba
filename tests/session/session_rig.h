#pragma once
// What the session tests share: a session whose serial ports are scripted
// ports with scripted devices, on a fake clock and a recording host.
#include <arpa/inet.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "fake_host.h"
#include "link/link_error.h"
#include "protocol/listing.h"
#include "protocol/wire.h"
#include "scripted_device.h"
#include "test_util.h"
#include "session/device_session.h"

namespace corvane::session_test {

using test::FakeClock;
using test::FakeHost;
using test::ScriptedDevice;
using test::ScriptedPort;
using test::ReadN;
using test::TcpPeer;
using test::What;
using test::WriteAll;

inline constexpr char kUnable[] = "Error (The connectivity kit is unable to open the communication com :";

// Lends a port that the rig keeps, so a test can read what was written even
// after the session has closed its handle.
class BorrowedPort final : public SerialPort {
 public:
  explicit BorrowedPort(SerialPort& p) : m_p(p) {}
  void SetReadTimeout(ReadTimeout t) override { m_p.SetReadTimeout(t); }
  ReadTimeout GetReadTimeout() const override { return m_p.GetReadTimeout(); }
  size_t Read(uint8_t* b, size_t n) override { return m_p.Read(b, n); }
  void Write(const uint8_t* b, size_t n) override { m_p.Write(b, n); }
  void Purge() override { m_p.Purge(); }
  Clock& GetClock() override { return m_p.GetClock(); }
  std::string Name() const override { return m_p.Name(); }

 private:
  SerialPort& m_p;
};

// A session whose serial ports are scripted ports with scripted devices.
struct Rig {
  FakeClock clock;
  FakeHost host;
  LogModel log;
  DeviceSession session{host, log, clock};
  std::vector<std::string> messages;
  std::vector<std::string> opened;
  std::map<std::string, bool> devicePresent;  // port path -> a device answers there
  std::vector<std::unique_ptr<ScriptedPort>> ports;
  ScriptedPort* port = nullptr;               // the last port opened
  std::unique_ptr<ScriptedDevice> device;
  std::function<void(ScriptedDevice&)> setup;

  explicit Rig(bool quillon = false) {
    session.IsQuillon = quillon;
    session.BaudRate = 115200;
    session.OnMessage = [this](DeviceSession&, const std::string& text) { messages.push_back(text); };
    session.OpenPort = [this](const std::string& name, int baud, bool handshake) -> std::unique_ptr<SerialPort> {
      opened.push_back(name + "@" + std::to_string(baud) + (handshake ? "+hs" : ""));
      if (devicePresent.count(name) == 0) ConnectionError();
      ports.push_back(std::make_unique<ScriptedPort>(clock, name));
      port = ports.back().get();
      device = std::make_unique<ScriptedDevice>(*port);
      device->silent = !devicePresent[name];
      if (setup) setup(*device);
      return std::make_unique<BorrowedPort>(*port);
    };
  }
  void ConnectTo(const std::string& path) {
    devicePresent[path] = true;
    session.Connect(LinkTarget::Serial(path));
  }
};

}  // namespace corvane::session_test
