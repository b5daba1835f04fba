// The device worker: one operation at a time, typed errors back to the
// caller, and a Cancel from another thread that ends a transfer against the
// emulated device with nothing left behind and every report in the log.
#include "gate.h"
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "emulator_rig.h"
#include "link/link_error.h"
#include "session/device_worker.h"

namespace corvane::test {
namespace {

struct WorkerRig {
  FakeHost host;
  LogModel log;
  DeviceWorker worker{host, log};
};

TEST(DeviceWorker, ASecondCommandWhileOneRunsIsRefusedAsBusyAndRunsNothing) {
  WorkerRig rig;
  Gate started, release;
  std::atomic<int> ran{0};
  std::thread first([&] {
    rig.worker.Call([&](DeviceSession&) {
      started.Open();
      release.Wait();
    });
  });
  started.Wait();
  EXPECT_TRUE(rig.worker.Busy());
  bool completed = false;
  const auto submitted = Catch([&] {
    rig.worker.Submit([&](DeviceSession&) { ++ran; }, [&](const std::optional<DeviceError>&) { completed = true; });
  });
  EXPECT_EQ(submitted.kind, ErrorKind::kBusy);
  EXPECT_EQ(submitted.what, kDeviceBusyText);
  const auto called = Catch([&] { rig.worker.Call([&](DeviceSession&) { ++ran; }); });
  EXPECT_EQ(called.kind, ErrorKind::kBusy);
  EXPECT_EQ(called.what, kDeviceBusyText);
  release.Open();
  first.join();
  EXPECT_EQ(ran.load(), 0);
  EXPECT_FALSE(completed);
  // Once the first has ended, the next one runs.
  EXPECT_NO_THROW(rig.worker.Call([&](DeviceSession&) { ++ran; }));
  EXPECT_EQ(ran.load(), 1);
}

TEST(DeviceWorker, CallsOneAfterAnotherAreNeverRefused) {
  // A Call returns only once the worker takes the next command.
  WorkerRig rig;
  int ran = 0;
  for (int i = 0; i < 300; ++i) ASSERT_NO_THROW(rig.worker.Call([&](DeviceSession&) { ++ran; })) << i;
  EXPECT_EQ(ran, 300);
  EXPECT_FALSE(rig.worker.Busy());
}

TEST(DeviceWorker, ErrorsComeBackTypedWithTheirTextAndDetail) {
  WorkerRig rig;
  try {
    rig.worker.Call([](DeviceSession&) { throw DeviceError(ErrorKind::kLocalFile, "Cannot write x", "Disk full."); });
    FAIL() << "no error";
  } catch (const DeviceError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::kLocalFile);
    EXPECT_STREQ(e.what(), "Cannot write x");
    EXPECT_EQ(e.Detail(), "Disk full.");
  }
  const auto other = Catch([&] { rig.worker.Call([](DeviceSession&) { throw std::runtime_error("odd"); }); });
  EXPECT_EQ(other.kind, ErrorKind::kFailed);
  EXPECT_EQ(other.what, "odd");
  // A session operation's own error, raised on the device thread.
  const auto unconnected = Catch([&] { rig.worker.Call([](DeviceSession& s) { s.DeleteItem("x"); }); });
  EXPECT_EQ(unconnected.kind, ErrorKind::kNoConnection);
  EXPECT_EQ(unconnected.what, "Error (No device connected. Check you are in Xmodem server (RShift LeftArrow))");
  // A value comes back as well, and the operation ran on the device thread.
  const bool onDeviceThread =
      rig.worker.Call<bool>([&](DeviceSession&) { return rig.worker.IsDeviceThread(); });
  EXPECT_TRUE(onDeviceThread);
  EXPECT_FALSE(rig.worker.IsDeviceThread());
}

// A device serving a folder over a pseudo-terminal, and the worker connected to it.
struct DeviceRig {
  explicit DeviceRig(uint32_t lineRate) : device(Options(root.Path(), lineRate)) {
    const std::string port = device.StartPty();
    log.OnAppend = [this](const std::string& entry) {
      std::lock_guard lock(mutex);
      appended.push_back(entry);
    };
    worker = std::make_unique<DeviceWorker>(host, log);
    worker->Session().IsQuillon = true;
    worker->Session().BaudRate = 115200;
    worker->Call([&](DeviceSession& s) { s.Connect(LinkTarget::Serial(port)); });
  }
  ~DeviceRig() { worker.reset(); }  // the session closes before the device stops

  static emu::DeviceOptions Options(const fs::path& root, uint32_t lineRate) {
    emu::DeviceOptions o;
    o.kind = emu::DeviceKind::kQuillon;
    o.root = root;
    o.lineRate = lineRate;
    return o;
  }
  std::vector<std::string> Appended() {
    std::lock_guard lock(mutex);
    return appended;
  }

  TempFolder root;
  TempFolder local;
  emu::EmulatedDevice device;
  FakeHost host;
  LogModel log;
  std::mutex mutex;
  std::vector<std::string> appended;  // what the log took, as it took it
  std::unique_ptr<DeviceWorker> worker;
};

// "12/64 Kbytes\r\n(18%)\r\n..." -> 12; -1 for any other entry.
int64_t KbytesDone(const std::string& entry) {
  const auto slash = entry.find('/');
  if (slash == std::string::npos || entry.find(" Kbytes\r\n(") == std::string::npos) return -1;
  try {
    return std::stoll(entry.substr(0, slash));
  } catch (const std::exception&) {
    return -1;
  }
}

TEST(DeviceWorkerTransfer, EveryReportOfAGetReachesTheLogInOrder) {
  DeviceRig rig(0);
  const size_t size = 64 * 1024;
  WriteFile(rig.root.Path() / "whole.bin", std::string(size, 'w'));
  const std::string target = (rig.local.Path() / "whole.bin").string();
  ASSERT_NO_THROW(rig.worker->Call([&](DeviceSession& s) { s.GetFile("whole.bin", target, size); }));
  EXPECT_EQ(ReadFile(target).size(), size);
  const auto entries = rig.log.Entries();
  EXPECT_EQ(entries, rig.Appended());
  // One progress entry before each of the 64 blocks and one at the end, rising.
  std::vector<int64_t> done;
  for (const auto& e : entries)
    if (KbytesDone(e) >= 0) done.push_back(KbytesDone(e));
  ASSERT_EQ(done.size(), 65u);
  for (size_t i = 0; i < done.size(); ++i) EXPECT_EQ(done[i], static_cast<int64_t>(i)) << i;
  EXPECT_TRUE(entries[entries.size() - 3].starts_with("64/64 Kbytes\r\n(100%)\r\n")) << entries[entries.size() - 3];
  EXPECT_EQ(entries.back(), "");  // the final report
}

TEST(DeviceWorkerTransfer, CancelFromAnotherThreadEndsTheGetWithNothingLeftAndEveryReportLogged) {
  DeviceRig rig(115200);  // paced: 64 KiB take about six seconds
  const size_t size = 64 * 1024;
  WriteFile(rig.root.Path() / "big.bin", std::string(size, 'b'));
  const std::string target = (rig.local.Path() / "big.bin").string();
  WriteFile(target, "the old copy");

  Gate running;
  std::vector<std::string> shown;  // labels the dialog showed (device thread)
  rig.host.onDialogChange = [&](StatusDialog& d) {
    shown.push_back(d.Label());
    if (d.ProgressPosition() >= 2048) running.Open();
  };
  Raised raised;
  std::thread caller([&] {
    raised = Catch([&] { rig.worker->Call([&](DeviceSession& s) { s.GetFile("big.bin", target, size); }); });
  });
  running.Wait();
  EXPECT_TRUE(rig.worker->Cancel());
  caller.join();

  EXPECT_TRUE(raised.raised);
  EXPECT_EQ(raised.kind, ErrorKind::kCancelled);
  EXPECT_TRUE(raised.reported);
  EXPECT_EQ(ReadFile(target), "the old copy");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(rig.local.Path())) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"big.bin"});
  EXPECT_EQ(rig.worker->Session().GetStatusDialog().GetResult(), StatusDialog::Result::kCancel);

  // Every report is in the log in the order it came, including the failure
  // and the final report that came after the dialog had closed.
  const auto entries = rig.log.Entries();
  EXPECT_EQ(entries, rig.Appended());
  ASSERT_GE(entries.size(), 2u);
  EXPECT_EQ(entries.back(), "");
  EXPECT_EQ(entries[entries.size() - 2], kConnectionErrorText);
  int64_t last = -1;
  for (const auto& e : entries) {
    const int64_t kb = KbytesDone(e);
    if (kb < 0) continue;
    EXPECT_GE(kb, last);
    EXPECT_LT(kb, 64);
    last = kb;
  }
  // What the dialog showed is the log's order too.
  size_t at = 0;
  for (const auto& label : shown) {
    if (label.empty()) continue;
    while (at < entries.size() && entries[at] != label) ++at;
    ASSERT_LT(at, entries.size()) << "shown but not logged in order: " << label;
  }
  // The device took the cancel; the worker and the session go on.
  EXPECT_FALSE(rig.worker->Busy());
  const auto count = rig.worker->Call<size_t>([](DeviceSession& s) { return s.ListFolder("\\").size(); });
  EXPECT_EQ(count, 1u);
}

}  // namespace
}  // namespace corvane::test
