#pragma once
// A session connected to an emulated device, and a folder tree for it to serve.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/device_files.h"
#include "emulator/emulated_device.h"
#include "session/host.h"
#include "session/status_dialog.h"
#include "session/device_session.h"
#include "fake_host.h"
#include "test_data.h"
#include "test_util.h"

namespace corvane::test {

namespace fs = std::filesystem;

// Answers the address prompt with 127.0.0.1, records message boxes, and waits
// for the status dialog on a condition variable.
using RigHost = FakeHost;

using TempFolder = ScratchFolder;

inline void WriteFile(const fs::path& path, const std::string& bytes) { WriteWhole(path, bytes); }

inline std::string ReadFile(const fs::path& path) { return ReadWhole(path); }

// The served tree:
//   NETWORK/                 (folder, empty)
//   docs/caf\xE9.txt         (8-bit name, 10 bytes)
//   docs/empty/              (empty folder)
//   docs/my notes.txt        (blank in the name, 5 bytes)
//   docs/sub/deep.txt        (3000 bytes)
//   many/f000 .. many/f199   (200 entries, sizes 0..199)
//   readme.txt               (1234 bytes)
//   tobj                     (a Tallis object of 100 body bytes: 109-byte file)
inline void MakeTree(const fs::path& root) {
  fs::create_directories(root / "NETWORK");
  fs::create_directories(root / "docs" / "empty");
  fs::create_directories(root / "docs" / "sub");
  fs::create_directories(root / "many");
  WriteFile(root / "docs" / "caf\xE9.txt", std::string(10, 'c'));
  WriteFile(root / "docs" / "my notes.txt", "notes");
  WriteFile(root / "docs" / "sub" / "deep.txt", std::string(3000, 'd'));
  for (int i = 0; i < 200; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "f%03d", i);
    WriteFile(root / "many" / name, std::string(static_cast<size_t>(i), 'x'));
  }
  WriteFile(root / "readme.txt", std::string(1234, 'r'));
  WriteFile(root / "tobj", emu::MakeTallisHeader(100) + std::string(100, 'o'));
}

enum class Link { kPty, kTcp };

// A device and a session connected to it. Members are destroyed session
// first, then the device.
struct Rig {
  explicit Rig(emu::DeviceKind kind, Link link, const fs::path& root, const emu::Misbehaviour& faults = {},
               bool upgradeMode = false)
      : device(MakeOptions(kind, root, faults, upgradeMode)), session(host, log) {
    session.IsQuillon = kind == emu::DeviceKind::kQuillon;
    session.OnMessage = [this](DeviceSession&, const std::string& text) { messages.push_back(text); };
    if (link == Link::kPty) {
      port = device.StartPty();
      session.BaudRate = 115200;
    } else {
      session.Socket.Port = device.StartTcp(0);
      port = "TCP/IP";
    }
  }

  static emu::DeviceOptions MakeOptions(emu::DeviceKind kind, const fs::path& root, const emu::Misbehaviour& faults,
                                        bool upgradeMode) {
    emu::DeviceOptions o;
    o.kind = kind;
    o.root = root;
    o.faults = faults;
    o.upgradeMode = upgradeMode;
    return o;
  }

  void Connect() { session.Connect(LinkTarget::Named(port)); }  // the pty path, or "TCP/IP"

  // The packets the device accepted with each command of one letter.
  std::vector<Bytes> PacketsOf(char command) const {
    std::vector<Bytes> out;
    for (const auto& c : device.Commands())
      if (c.command == command)
        for (const auto& p : c.packets) out.push_back(p);
    return out;
  }
  int CountOf(char command) const {
    int n = 0;
    for (const auto& c : device.Commands()) n += c.command == command ? 1 : 0;
    return n;
  }

  emu::EmulatedDevice device;
  RigHost host;
  LogModel log;
  DeviceSession session;
  std::string port;
  std::vector<std::string> messages;
};

// name -> (size, kind) of a listing, for compact comparisons.
inline std::vector<std::string> Describe(const std::vector<ListingEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.name + "|" + std::to_string(e.size) + "|" + std::to_string(e.kind));
  return out;
}

inline const ListingEntry* Child(const std::vector<ListingEntry>& entries, const Bytes& name) {
  for (const auto& e : entries)
    if (e.name == name) return &e;
  return nullptr;
}

}  // namespace corvane::test
