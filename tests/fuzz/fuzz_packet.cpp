// The PC's packet receiver fed with arbitrary device bytes: serial packets
// through the whole retry loop of the session, and TCP length fields.
#include <cstddef>
#include <cstdint>

#include "../support/fake_clock.h"
#include "../support/scripted_port.h"
#include "link/link_error.h"
#include "protocol/wire.h"
#include "session/host.h"
#include "session/device_session.h"

namespace {

struct NullHost : corvane::SessionHost {
  bool AskAddress(std::string&) override { return false; }
  bool MessageBox(const std::string&, const std::string&, Buttons) override { return true; }
  void TransferDialogChanged(corvane::StatusDialog&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvane;
  const Bytes input(reinterpret_cast<const char*>(data), size);
  test::FakeClock clock;

  // One attempt at a time, straight from the framing code.
  {
    test::ScriptedPort port(clock);
    port.Queue(input);
    for (int i = 0; i < 8 && port.Pending() > 0; ++i) {
      const PacketAttempt a = ReadSerialPacketOnce(&port);
      if (a.payload.size() > kMaxSerialPacket) __builtin_trap();
    }
  }

  // The session: the first bytes answer 'V', the rest answer 'L'.
  NullHost host;
  LogModel log;
  DeviceSession session(host, log, clock);
  session.BaudRate = 115200;
  session.OpenPort = [&](const std::string& name, int, bool) -> std::unique_ptr<SerialPort> {
    auto port = std::make_unique<test::ScriptedPort>(clock, name);
    port->Queue(input);
    return port;
  };
  try {
    session.Connect(LinkTarget::Serial("/dev/fuzz"));
    if (session.IsConnected()) {
      session.IsQuillon = (size & 1) != 0;
      session.ListFolder("\\");
    }
  } catch (const DeviceError&) {
  }
  return 0;
}
