#pragma once
// What the tree-copy tests share: a session on the emulated device over a
// pseudo-terminal or TCP/IP, with quick pauses, and snapshots of folders.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "desktop/backup.h"
#include "desktop/local_files.h"
#include "desktop/tree_copy.h"
#include "emulator_rig.h"
#include "link/link_error.h"
#include "protocol/listing.h"
#include "protocol/wire.h"

namespace corvane::test {

using emu::DeviceKind;

// The pauses kept for a real device's sake would only make these tests slow.
class QuickPauses final : public Clock {
 public:
  uint64_t NowMs() override { return Clock::System().NowMs(); }
  void SleepMs(uint32_t ms) override { Clock::System().SleepMs(std::min<uint32_t>(ms, 5)); }
};

// Every regular file and folder below `root`, relative, with a digest of the
// file's bytes ("/" for a folder). Device-side names are Latin-1 bytes; with
// `deviceNames` they are turned into the UTF-8 of the local copy.
inline std::map<std::string, std::string> Snapshot(const fs::path& root, bool deviceNames = false) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(e.path(), root).string();
    if (rel == kManifestName) continue;
    if (deviceNames) rel = Latin1ToUtf8(rel);
    if (e.is_directory()) {
      out[rel] = "/";
      continue;
    }
    const std::string bytes = ReadFile(e.path());
    out[rel] = std::to_string(bytes.size()) + ":" + std::to_string(std::hash<std::string>{}(bytes));
  }
  return out;
}

struct Setup {
  DeviceKind kind;
  Link link;
};

inline std::string SetupName(const ::testing::TestParamInfo<Setup>& info) {
  return std::string(info.param.kind == DeviceKind::kQuillon ? "Quillon" : "Tallis") +
         (info.param.link == Link::kPty ? "Pty" : "Tcp");
}

struct TreeRig {
  TempFolder deviceRoot;
  TempFolder local;
  QuickPauses clock;
  std::unique_ptr<emu::EmulatedDevice> device;
  FakeHost host;
  LogModel log;
  std::unique_ptr<DeviceSession> session;
  bool tallis;

  explicit TreeRig(Setup setup) : tallis(setup.kind == DeviceKind::kTallis) {
    emu::DeviceOptions o;
    o.kind = setup.kind;
    o.root = deviceRoot.Path();
    device = std::make_unique<emu::EmulatedDevice>(o);
    session = std::make_unique<DeviceSession>(host, log, clock);
    session->IsQuillon = !tallis;
    if (setup.link == Link::kTcp) {
      session->Socket.Port = device->StartTcp(0);
      session->Connect(LinkTarget::Tcp());
    } else {
      session->BaudRate = 115200;
      session->Connect(LinkTarget::Serial(device->StartPty()));
    }
  }
  ~TreeRig() {
    session.reset();
    device.reset();
  }

  // A file as the kind stores it (a Tallis object with its header), so that
  // what a get brings is the host file byte for byte.
  void Put(const fs::path& rel, size_t body, unsigned seed) {
    const Bytes b = Pattern(body, seed);
    fs::create_directories((deviceRoot.Path() / rel).parent_path());
    WriteFile(deviceRoot.Path() / rel, tallis ? emu::MakeTallisHeader(static_cast<uint32_t>(body)) + b : b);
  }
  // docs/a.txt, docs/sub/deep.bin (several blocks), docs/sub/more/z, docs/empty/, top.bin, c\xE9.bin
  void MakeNestedTree() {
    Put("docs/a.txt", 5, 1);
    Put("docs/sub/deep.bin", 3000, 2);
    Put("docs/sub/more/z", 0, 3);
    fs::create_directories(deviceRoot.Path() / "docs" / "empty");
    Put("top.bin", 1500, 4);
    Put("c\xE9.bin", 10, 5);
  }
  int Gets() const {
    int n = 0;
    for (const auto& c : device->Commands()) n += c.command == 'G' ? 1 : 0;
    return n;
  }
  int Puts() const {
    int n = 0;
    for (const auto& c : device->Commands()) n += c.command == 'P' ? 1 : 0;
    return n;
  }
  std::string Dest() const { return (local.Path() / "backup").string(); }
};

}  // namespace corvane::test
