// The ROM upgrade end to end: UpgradeSystem on a session against the emulated
// boot loader over a real pseudo-terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "emulator/boot_loader.h"
#include "link/link_error.h"
#include "session/host.h"
#include "session/status_dialog.h"
#include "session/device_session.h"
#include "upgrade/upgrade_system.h"
#include "fake_host.h"
#include "test_util.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

const std::string kSuccess = "Message: Your device has been successfully upgraded";
const std::string kFailed = "Error: The upgrade has failed. Please try again";
const std::string kConn = std::string("Error: ") + kConnectionErrorText;

using Host = test::FakeHost;

class TempImage {
 public:
  explicit TempImage(const std::vector<uint8_t>& data) {
    char name[] = "/tmp/corvane_rom_XXXXXX";
    const int fd = ::mkstemp(name);
    ::close(fd);
    m_path = name;
    std::ofstream(m_path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  ~TempImage() { std::remove(m_path.c_str()); }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// Something like a ROM: code-like bytes, zero fill, text, and a random tail
// that does not compress (stored blocks).
std::vector<uint8_t> RomImage(size_t size) {
  std::mt19937 rng(2024);
  std::vector<uint8_t> d;
  while (d.size() < size) {
    switch (rng() % 4) {
      case 0: d.insert(d.end(), rng() % 3000, 0xFF); break;
      case 1: {
        const std::string text = "Quillon system routine table entry ";
        for (unsigned i = rng() % 40; i > 0; --i) d.insert(d.end(), text.begin(), text.end());
        break;
      }
      case 2:
        for (unsigned i = rng() % 4000; i > 0; --i) d.push_back(static_cast<uint8_t>(rng() % 16));
        break;
      default:
        for (unsigned i = rng() % 25000; i > 0; --i) d.push_back(static_cast<uint8_t>(rng()));
        break;
    }
  }
  d.resize(size);
  return d;
}

struct Rig {
  explicit Rig(emu::BootLoaderOptions options) : loader(std::move(options)), session(host, log) {
    loader.Start();
    session.IsQuillon = true;
    session.CommPort = OpenSerialPort(loader.SlavePath(), 115200, true);
  }
  // Destroyed session first (closing the port), then the loader.
  emu::BootLoader loader;
  Host host;
  LogModel log;
  DeviceSession session;

  bool LogHas(const std::string& text) {
    for (const auto& e : log.Entries())
      if (e.find(text) != std::string::npos) return true;
    return false;
  }
};

emu::BootLoaderOptions Expecting(const std::vector<uint8_t>& image, emu::LoaderHandshake handshake) {
  emu::BootLoaderOptions o;
  o.handshake = handshake;
  o.expect = image;
  o.hasExpect = true;
  return o;
}

// The upgrade raised an error of this kind, already told in its message box.
void ExpectRaised(ErrorKind kind, const std::function<void()>& fn) {
  const auto raised = test::Catch(fn);
  EXPECT_TRUE(raised.raised);
  EXPECT_EQ(raised.kind, kind) << raised.what;
  EXPECT_TRUE(raised.reported);
}

class EachHandshake : public ::testing::TestWithParam<emu::LoaderHandshake> {};

TEST_P(EachHandshake, TheLoaderEndsWithExactlyTheImage) {
  const auto image = RomImage(150 * 1024 + 321);
  TempImage file(image);
  Rig rig(Expecting(image, GetParam()));
  EXPECT_NO_THROW(UpgradeSystem(rig.session, file.Path()));
  EXPECT_EQ(rig.host.Boxes(), std::vector<std::string>{kSuccess});
  ASSERT_TRUE(rig.loader.WaitForDownload(5s));
  const auto result = rig.loader.Download();
  EXPECT_TRUE(result.complete);
  EXPECT_TRUE(result.matches) << result.error;
  EXPECT_EQ(result.image, image);
  EXPECT_TRUE(rig.loader.WaitForLog("P: power cycle", 5s));
  EXPECT_EQ(rig.session.GetStatusDialog().Caption(), "Upgrade system");
  const bool compressed = GetParam() == emu::LoaderHandshake::kCompressed;
  EXPECT_EQ(rig.LogHas("Compress streaming"), compressed);
  EXPECT_EQ(rig.LogHas("compress block 20488 20480"), compressed);  // a stored block
  EXPECT_TRUE(rig.LogHas("Device Rebooted"));
}

INSTANTIATE_TEST_SUITE_P(Upgrade, EachHandshake,
                         ::testing::Values(emu::LoaderHandshake::kNak, emu::LoaderHandshake::kCrc,
                                           emu::LoaderHandshake::kCompressed),
                         [](const auto& p) {
                           switch (p.param) {
                             case emu::LoaderHandshake::kNak: return std::string("Checksum");
                             case emu::LoaderHandshake::kCrc: return std::string("Crc");
                             default: return std::string("Compressed");
                           }
                         });

TEST(UpgradeEndToEnd, RefusedBlocksAreSentAgain) {
  const auto image = RomImage(8 * 1024);
  TempImage file(image);
  auto options = Expecting(image, emu::LoaderHandshake::kCrc);
  options.nakBlock = 2;
  options.nakCount = 2;
  Rig rig(options);
  EXPECT_NO_THROW(UpgradeSystem(rig.session, file.Path()));
  EXPECT_EQ(rig.host.Boxes(), std::vector<std::string>{kSuccess});
  EXPECT_TRUE(rig.loader.Download().matches);
}

TEST(UpgradeEndToEnd, ABlockRefusedElevenTimesFailsTheUpgrade) {
  const auto image = RomImage(8 * 1024);
  TempImage file(image);
  auto options = Expecting(image, emu::LoaderHandshake::kNak);
  options.nakBlock = 3;
  options.nakCount = 11;
  Rig rig(options);
  ExpectRaised(ErrorKind::kFailed, [&] { UpgradeSystem(rig.session, file.Path()); });
  EXPECT_EQ(rig.host.Boxes(), std::vector<std::string>{kFailed});
  ASSERT_TRUE(rig.loader.WaitForDownload(5s));
  EXPECT_EQ(rig.loader.Download().hostCancels, 4);
  EXPECT_EQ(rig.loader.Download().blocks, 2);
}

TEST(UpgradeEndToEnd, CancelWhileWaitingForTheOnKeyAborts) {
  const auto image = RomImage(4096);
  TempImage file(image);
  auto options = Expecting(image, emu::LoaderHandshake::kCrc);
  options.onLines = 1000000;
  Rig rig(options);
  rig.host.onDialogChange = [](StatusDialog& d) {
    if (d.Label() == "Please Release the ON Key") d.RequestCancel();
  };
  ExpectRaised(ErrorKind::kCancelled, [&] { UpgradeSystem(rig.session, file.Path()); });
  EXPECT_EQ(rig.host.Boxes(), std::vector<std::string>{"Error: Aborted by user"});
  EXPECT_FALSE(rig.loader.Download().ended);
}

TEST(UpgradeEndToEnd, CancelDuringTheBlocksFailsAfterFourCans) {
  const auto image = RomImage(200 * 1024);
  TempImage file(image);
  Rig rig(Expecting(image, emu::LoaderHandshake::kNak));
  rig.host.onDialogChange = [&](StatusDialog& d) {
    if (d.ProgressMax() == static_cast<int64_t>(image.size()) && d.ProgressPosition() >= 2048) d.RequestCancel();
  };
  ExpectRaised(ErrorKind::kCancelled, [&] { UpgradeSystem(rig.session, file.Path()); });
  EXPECT_EQ(rig.host.Boxes(), std::vector<std::string>{kFailed});
  ASSERT_TRUE(rig.loader.WaitForDownload(5s));
  const auto result = rig.loader.Download();
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(result.hostCancels, 4);
  EXPECT_TRUE(rig.LogHas(std::string("Error ") + kConnectionErrorText));
}

TEST(UpgradeEndToEnd, CanFromTheLoaderFailsTheUpgrade) {
  const auto image = RomImage(8 * 1024);
  TempImage file(image);
  auto options = Expecting(image, emu::LoaderHandshake::kCompressed);
  options.cancelAtBlock = 2;
  Rig rig(options);
  ExpectRaised(ErrorKind::kFailed, [&] { UpgradeSystem(rig.session, file.Path()); });
  EXPECT_EQ(rig.host.Boxes(), std::vector<std::string>{kFailed});
}

TEST(UpgradeEndToEnd, WrongHandshakeBytesAreAConnectionError) {
  const auto image = RomImage(4096);
  TempImage file(image);
  auto options = Expecting(image, emu::LoaderHandshake::kCrc);
  options.badHandshakeBytes = -1;
  Rig rig(options);
  ExpectRaised(ErrorKind::kFailed, [&] { UpgradeSystem(rig.session, file.Path()); });
  EXPECT_EQ(rig.host.Boxes(), std::vector<std::string>{kConn});
}

TEST(UpgradeEndToEnd, AMissingImageEndsWithTheOpenError) {
  Rig rig(emu::BootLoaderOptions{});
  ExpectRaised(ErrorKind::kLocalFile, [&] { UpgradeSystem(rig.session, "/nonexistent/corvane/rom.bix"); });
  EXPECT_EQ(rig.host.Boxes(), std::vector<std::string>{"Error: Cannot open file /nonexistent/corvane/rom.bix"});
}

TEST(UpgradeEndToEnd, AnEraseLineWithoutANumberEndsWithTheConversionError) {
  const auto image = RomImage(4096);
  TempImage file(image);
  auto options = Expecting(image, emu::LoaderHandshake::kCrc);
  options.badEraseLine = true;
  Rig rig(options);
  ExpectRaised(ErrorKind::kFailed, [&] { UpgradeSystem(rig.session, file.Path()); });
  EXPECT_EQ(rig.host.Boxes(), std::vector<std::string>{"Error: 'five' is not a valid integer value"});
}

TEST(UpgradeEndToEnd, WithoutASerialPortTheUpgradeIsAConnectionError) {
  Rig rig(emu::BootLoaderOptions{});
  rig.session.CommPort.reset();
  ExpectRaised(ErrorKind::kFailed, [&] { UpgradeSystem(rig.session, "/nonexistent/corvane/rom.bix"); });
  EXPECT_EQ(rig.host.Boxes(), std::vector<std::string>{kConn});
}

}  // namespace
}  // namespace corvane
