#pragma once
// What the receiver tests share: a BlockReceiver against a scripted sending
// device, with a fake clock, a scratch folder and its reports.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <thread>

#include "fake_clock.h"
#include "link/link_error.h"
#include "protocol/block_receiver.h"
#include "protocol/local_file.h"
#include "scripted_port.h"
#include "transfer_peers.h"

namespace corvane::receiver_test {

using test::FakeClock;
using test::Gate;
using test::Pattern;
using test::ReadWhole;
using test::Reports;
using test::ScriptedPort;
using test::SenderPeer;
using test::TempDir;

const std::string kConnErr = kConnectionErrorText;
const Bytes kCan4(4, static_cast<char>(kCan));

struct RxRig {
  FakeClock clock;
  ScriptedPort port{clock};
  SenderPeer peer;
  Reports reports;
  TempDir dir;
  std::string path;

  RxRig() : path(dir / "got.bin") { peer.Attach(port); }

  bool exact = false;  // the expected length is a file's listed size
  bool Run(int64_t expected, const std::atomic<bool>* cancel = nullptr) {
    BlockReceiver rx(&port, expected, reports.Handler(), path, clock, cancel);
    rx.SetLengthIsExact(exact);
    const bool ok = rx.Run();
    EXPECT_EQ(ok, rx.Success());
    failureKind = rx.FailureKind();
    failure = rx.FailureMessage();
    return ok;
  }
  ErrorKind failureKind = ErrorKind::kFailed;
  std::string failure;
  void ExpectFinishedLast() const { reports.ExpectFinishedLast(); }
  // Nothing but what a test put there: no partial or temporary file.
  void ExpectFolderHolds(const std::vector<std::string>& names) const { EXPECT_EQ(dir.Entries(), names); }
};

inline Bytes Padded(const Bytes& data, size_t n) {
  Bytes b = data;
  b.resize(n, '\x1A');
  return b;
}
}  // namespace corvane::receiver_test
