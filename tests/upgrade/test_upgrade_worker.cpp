// The upgrade thread against a scripted boot loader on an in-memory port with
// a fake clock: every byte it sends, every report, every failure row.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "emulator/image_expander.h"
#include "fake_clock.h"
#include "link/link_error.h"
#include "scripted_port.h"
#include "upgrade/upgrade_worker.h"

namespace corvane {
namespace {

using test::FakeClock;
using test::ScriptedPort;

constexpr char kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCan = 0x18;
const std::string kConn = kConnectionErrorText;
const std::string kFailed = "The upgrade has failed. Please try again";
const std::string kSuccess = "Your device has been successfully upgraded";

struct ReportRec {
  std::string text;
  int kind;
  int64_t position, max;
};

// CRC-16/XMODEM written out bit by bit, as a second opinion on the trailer.
uint16_t Xmodem(const char* p, size_t n) {
  uint16_t c = 0;
  for (size_t i = 0; i < n; ++i) {
    c ^= static_cast<uint16_t>(static_cast<uint8_t>(p[i]) << 8);
    for (int b = 0; b < 8; ++b) c = (c & 0x8000) ? static_cast<uint16_t>((c << 1) ^ 0x1021) : static_cast<uint16_t>(c << 1);
  }
  return c;
}

// The loader's side, scripted: reacts to what the thread writes.
struct Loader {
  int onLines = 1;
  std::vector<std::string> eraseLines;  // sent as one burst after "E"
  std::string afterErase = "\r\n>";
  std::vector<char> handshake{'C'};     // one per idle read after "D"; '\0' = say nothing
  std::vector<char> replies;            // replies to blocks in order; default ACK
  int eotNaks = 0;                      // EOTs answered with NAK before the ACK
  bool downloading = false;
  size_t handshakeAt = 0;
  size_t replyAt = 0;
  std::vector<std::string> frames;      // every block written
  std::vector<std::string> commands;    // single letters outside the download
  int eots = 0;
  std::string afterDownload = "\r\nImage written\r\n>";
  std::function<void(ScriptedPort&)> extraIdle;

  void Attach(ScriptedPort& port) {
    port.OnWrite = [this](ScriptedPort& p, const Bytes& w) { OnWrite(p, w); };
    port.OnIdle = [this](ScriptedPort& p) {
      if (extraIdle) extraIdle(p);
      if (downloading && frames.empty() && handshakeAt < handshake.size()) {
        const char c = handshake[handshakeAt++];
        if (c != '\0') p.QueueByte(static_cast<uint8_t>(c));
      }
    };
  }
  void OnWrite(ScriptedPort& p, const Bytes& w) {
    if (downloading && w.size() > 1000 && w[0] == kStx) {
      frames.push_back(w);
      const char r = replyAt < replies.size() ? replies[replyAt] : kAck;
      ++replyAt;
      if (r != '\0') p.QueueByte(static_cast<uint8_t>(r));
      return;
    }
    if (downloading && w == std::string(1, kEot)) {
      ++eots;
      if (eots <= eotNaks) {
        p.QueueByte(kNak);
      } else {
        p.QueueByte(kAck);
        p.Queue(afterDownload);
        downloading = false;
      }
      return;
    }
    if (downloading) return;  // CAN bytes and the like: recorded in Written()
    commands.push_back(w);
    if (w == "V") {
      if (onLines-- > 0)
        p.Queue("Please release the ON key\r\n");
      else
        p.Queue("\r\nboot loader\r\n>");
    } else if (w == "E") {
      for (const auto& l : eraseLines) p.Queue(l);
      p.Queue(afterErase);
    } else if (w == "D") {
      downloading = true;
    }
  }
};

std::vector<std::string> StandardErase() {
  std::vector<std::string> lines;
  for (int n = 1; n <= 127; ++n) lines.push_back("Erasing block " + std::to_string(n) + "\r\n");
  return lines;
}

class TempImage {
 public:
  explicit TempImage(const Bytes& data) {
    char name[] = "/tmp/corvane_image_XXXXXX";
    const int fd = ::mkstemp(name);
    ::close(fd);
    m_path = name;
    std::ofstream(m_path, std::ios::binary) << data;
  }
  ~TempImage() { std::remove(m_path.c_str()); }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

Bytes RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes d(n, '\0');
  for (auto& c : d) c = static_cast<char>(rng() % 7 == 0 ? rng() : 'a' + rng() % 3);
  return d;
}

class UpdateThreadTest : public ::testing::Test {
 protected:
  FakeClock clock;
  ScriptedPort port{clock};
  Loader loader;
  std::mutex mutex;
  std::vector<ReportRec> reports;
  std::vector<std::pair<std::string, std::string>> boxes;
  std::vector<std::string> logLines;
  // Called with each report, on the upgrade thread; may cancel.
  std::function<void(const ReportRec&, UpgradeWorker&)> onReport;
  std::unique_ptr<UpgradeWorker> thread;

  void SetUp() override { loader.eraseLines = StandardErase(); }

  void Run(const std::string& image, SerialPort* handle = nullptr, bool usePort = true) {
    loader.Attach(port);
    thread = std::make_unique<UpgradeWorker>(
        usePort ? &port : handle, image,
        [this](const Report& r) {
          ReportRec rec{ReportText(r), r.kind, r.done, r.total};
          {
            std::lock_guard l(mutex);
            reports.push_back(rec);
          }
          if (onReport) onReport(rec, *thread);
        },
        clock,
        [this](const std::string& text, const std::string& caption) {
          std::lock_guard l(mutex);
          boxes.emplace_back(text, caption);
        },
        [this](const std::string& line) {
          std::lock_guard l(mutex);
          logLines.push_back(line);
        });
    succeeded = thread->Run();
    EXPECT_EQ(succeeded, thread->Success());
  }
  bool succeeded = false;

  std::vector<std::string> Texts(int kind) {
    std::vector<std::string> out;
    for (const auto& r : reports)
      if (r.kind == kind) out.push_back(r.text);
    return out;
  }
  void ExpectBox(const std::string& text, const std::string& caption) {
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].first, text);
    EXPECT_EQ(boxes[0].second, caption);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().kind, kReportFinished);
    EXPECT_EQ(reports.back().text, "Device Rebooted");
  }
  bool EndsWithFourCans() {
    const Bytes w = port.Written();
    return w.size() >= 4 && w.substr(w.size() - 4) == Bytes(4, kCan);
  }
  // The data bytes of the frames, in order.
  Bytes FrameData() {
    Bytes out;
    for (const auto& f : loader.frames) out += f.substr(3, 1024);
    return out;
  }
};

// ---- the whole dialogue ----

TEST_F(UpdateThreadTest, PlainChecksumUpgradeSendsEveryStepAndReports) {
  const Bytes image = RandomBytes(2560, 1);
  TempImage file(image);
  loader.handshake = {kNak};
  Run(file.Path());

  ExpectBox(kSuccess, "Message");
  EXPECT_TRUE(thread->Success());
  EXPECT_EQ(loader.commands, (std::vector<std::string>{"R", "V", "V", "E", "D", "R", "P"}));
  EXPECT_EQ(Texts(kReportStatus),
            (std::vector<std::string>{"Please and hold the ON key, then insert a paper clip firmly in the reset hole",
                                      "Please Release the ON Key", "Erasing system", "Downloading the system",
                                      "Waiting for synconization", "Sending " + file.Path(),
                                      file.Path() + " sent at 2 Kbyte/s"}));
  EXPECT_EQ(Texts(kReportCancelSwitch), (std::vector<std::string>{"0", "1"}));

  // Erase progress: block 5 is 3 %, block 127 is 100 %.
  std::vector<ReportRec> erase;
  for (const auto& r : reports)
    if (r.kind == kReportProgress && r.max == 127) erase.push_back(r);
  ASSERT_EQ(erase.size(), 127u);
  EXPECT_EQ(erase[4].text, "Erasing system\r\n3%");
  EXPECT_EQ(erase[4].position, 5);
  EXPECT_EQ(erase[126].text, "Erasing system\r\n100%");

  // Three blocks; the last read was short and the rest of the buffer kept
  // what the block before left there.
  ASSERT_EQ(loader.frames.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const Bytes& f = loader.frames[i];
    ASSERT_EQ(f.size(), 1028u);
    EXPECT_EQ(static_cast<uint8_t>(f[1]), i + 1);
    EXPECT_EQ(static_cast<uint8_t>(f[2]), 254 - i);
    uint8_t sum = 0;
    for (size_t j = 3; j < 1027; ++j) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(f[j]));
    EXPECT_EQ(static_cast<uint8_t>(f[1027]), sum);
  }
  const Bytes sent = FrameData();
  EXPECT_EQ(sent.substr(0, 2560), image);
  EXPECT_EQ(sent.substr(2560), image.substr(1024 + 512, 512));
  EXPECT_EQ(loader.eots, 1);
  EXPECT_EQ(port.TimeoutConstant(), 2000u);  // the final prompt is read with the blocks' time-out
  EXPECT_TRUE(logLines.empty());           // no compressor without "Y"
}

TEST_F(UpdateThreadTest, CrcModeSendsTheXmodemCrcHighByteFirst) {
  const Bytes image = RandomBytes(4096, 2);  // a whole number of blocks: no short one
  TempImage file(image);
  loader.handshake = {'C'};
  Run(file.Path());
  ExpectBox(kSuccess, "Message");
  ASSERT_EQ(loader.frames.size(), 4u);
  for (const auto& f : loader.frames) {
    ASSERT_EQ(f.size(), 1029u);
    const uint16_t crc = Xmodem(f.data() + 3, 1024);
    EXPECT_EQ(static_cast<uint8_t>(f[1027]), crc >> 8);
    EXPECT_EQ(static_cast<uint8_t>(f[1028]), crc & 0xFF);
  }
  EXPECT_EQ(FrameData(), image);
}

TEST_F(UpdateThreadTest, CompressedModeStreamsBlocksThatExpandToTheImage) {
  const Bytes image = RandomBytes(5 * 20480 + 100, 3);
  TempImage file(image);
  loader.handshake = {'Y'};
  Run(file.Path());
  ExpectBox(kSuccess, "Message");
  const auto status = Texts(kReportStatus);
  EXPECT_NE(std::find(status.begin(), status.end(), "Compress streaming"), status.end());
  ASSERT_EQ(logLines.size(), 6u);
  EXPECT_EQ(logLines[0].rfind("compress block ", 0), 0u);
  EXPECT_EQ(logLines[5].substr(logLines[5].size() - 4), " 100");  // the short last chunk
  for (const auto& f : loader.frames) EXPECT_EQ(f.size(), 1028u);  // the one-byte sum
  const Bytes stream = FrameData();
  std::vector<uint8_t> out;
  std::string error;
  size_t total = 0;
  for (const auto& l : logLines) total += std::stoul(l.substr(15));
  ASSERT_TRUE(emu::BzExpand(reinterpret_cast<const uint8_t*>(stream.data()), total, out, error)) << error;
  EXPECT_EQ(Bytes(out.begin(), out.end()), image);
}

TEST_F(UpdateThreadTest, CompressionKeepsPaceWithTheBlocks) {
  const Bytes image = RandomBytes(10 * 20480, 4);
  TempImage file(image);
  loader.handshake = {'Y'};
  size_t linesAtFirstBlock = 0;
  onReport = [&](const ReportRec& r, UpgradeWorker&) {
    if (r.kind == kReportProgress && r.max == static_cast<int64_t>(image.size()) && linesAtFirstBlock == 0)
      linesAtFirstBlock = logLines.size();
  };
  Run(file.Path());
  ExpectBox(kSuccess, "Message");
  EXPECT_EQ(linesAtFirstBlock, 1u);  // one chunk compressed when the first block leaves
  EXPECT_EQ(logLines.size(), 10u);
}

TEST_F(UpdateThreadTest, BlockNumbersWrapAfter255) {
  const Bytes image = RandomBytes(257 * 1024, 5);
  TempImage file(image);
  Run(file.Path());
  ExpectBox(kSuccess, "Message");
  ASSERT_EQ(loader.frames.size(), 257u);
  EXPECT_EQ(static_cast<uint8_t>(loader.frames[254][1]), 255);
  EXPECT_EQ(static_cast<uint8_t>(loader.frames[255][1]), 0);
  EXPECT_EQ(static_cast<uint8_t>(loader.frames[255][2]), 255);
  EXPECT_EQ(static_cast<uint8_t>(loader.frames[256][1]), 1);
}

// ---- handshake ----

TEST_F(UpdateThreadTest, TwentyHandshakeTimeOutsAreTolerated) {
  TempImage file(RandomBytes(100, 6));
  loader.handshake = std::vector<char>(20, '\0');
  loader.handshake.push_back(kNak);
  Run(file.Path());
  ExpectBox(kSuccess, "Message");
}

TEST_F(UpdateThreadTest, TheTwentyFirstWrongHandshakeByteIsAConnectionError) {
  TempImage file(RandomBytes(100, 7));
  loader.handshake = std::vector<char>(10, '\0');
  for (int i = 0; i < 11; ++i) loader.handshake.push_back('x');
  loader.handshake.push_back('C');
  const uint64_t before = clock.NowMs();
  Run(file.Path());
  ExpectBox(kConn, "Error");
  EXPECT_TRUE(loader.frames.empty());
  EXPECT_EQ(port.Written().back(), 'D');  // no CAN bytes before the first block
  // Ten silent reads of 3001 ms each (3000 + 1 per byte).
  EXPECT_GE(clock.NowMs() - before, 10 * 3001u);
}

// ---- blocks ----

TEST_F(UpdateThreadTest, TenRefusalsOfABlockAreToleratedWithPauses) {
  TempImage file(RandomBytes(2048, 8));
  loader.replies = {kAck};
  for (int i = 0; i < 5; ++i) loader.replies.push_back(kNak);
  for (int i = 0; i < 5; ++i) loader.replies.push_back('\0');  // silence counts too
  Run(file.Path());
  ExpectBox(kSuccess, "Message");
  EXPECT_EQ(loader.frames.size(), 12u);
  EXPECT_EQ(loader.frames[11], loader.frames[1]);
}

TEST_F(UpdateThreadTest, TheEleventhRefusalFailsTheUpgradeWithFourCans) {
  TempImage file(RandomBytes(2048, 9));
  loader.replies = std::vector<char>(11, kNak);
  const uint64_t before = clock.NowMs();
  Run(file.Path());
  ExpectBox(kFailed, "Error");
  EXPECT_FALSE(succeeded);
  EXPECT_EQ(thread->FailureKind(), ErrorKind::kFailed);
  EXPECT_EQ(loader.frames.size(), 11u);
  EXPECT_GE(clock.NowMs() - before, 10 * 600u);
  EXPECT_TRUE(EndsWithFourCans());
  const auto messages = Texts(kReportMessage);
  EXPECT_EQ(messages, std::vector<std::string>{"Error " + kConn});
}

TEST_F(UpdateThreadTest, OtherRepliesResendWithoutCounting) {
  TempImage file(RandomBytes(1024, 10));
  loader.replies = std::vector<char>(15, 'z');
  Run(file.Path());
  ExpectBox(kSuccess, "Message");
  EXPECT_EQ(loader.frames.size(), 16u);
}

TEST_F(UpdateThreadTest, CanFromTheLoaderFailsAtOnce) {
  TempImage file(RandomBytes(4096, 11));
  loader.replies = {kAck, kCan};
  Run(file.Path());
  ExpectBox(kFailed, "Error");
  EXPECT_EQ(loader.frames.size(), 2u);
  EXPECT_TRUE(EndsWithFourCans());
}

TEST_F(UpdateThreadTest, ElevenEotsWithoutAckFail) {
  TempImage file(RandomBytes(1024, 12));
  loader.eotNaks = 11;
  Run(file.Path());
  ExpectBox(kFailed, "Error");
  EXPECT_EQ(loader.eots, 10);
  EXPECT_TRUE(EndsWithFourCans());
}

TEST_F(UpdateThreadTest, BrokenLinkDuringTheBlocksFails) {
  TempImage file(RandomBytes(4096, 13));
  onReport = [&](const ReportRec& r, UpgradeWorker&) {
    if (r.kind == kReportProgress && r.max == 4096 && r.position == 1024) port.Broken = true;
  };
  Run(file.Path());
  ExpectBox(kFailed, "Error");
}

// ---- cancel ----

TEST_F(UpdateThreadTest, CancelWhileWaitingForTheOnKeyAborts) {
  TempImage file(RandomBytes(100, 14));
  loader.onLines = 1000;
  onReport = [](const ReportRec& r, UpgradeWorker& t) {
    if (r.text == "Please Release the ON Key") t.Terminate();
  };
  Run(file.Path());
  ExpectBox("Aborted by user", "Error");
  EXPECT_FALSE(succeeded);
  EXPECT_EQ(thread->FailureKind(), ErrorKind::kCancelled);
  EXPECT_EQ(thread->FailureMessage(), "Aborted by user");
  EXPECT_EQ(loader.commands, (std::vector<std::string>{"R", "V", "V"}));
}

TEST_F(UpdateThreadTest, CancelDuringTheBlocksFailsAfterFourCans) {
  TempImage file(RandomBytes(8192, 15));
  onReport = [](const ReportRec& r, UpgradeWorker& t) {
    if (r.kind == kReportProgress && r.max == 8192 && r.position == 2048) t.Terminate();
  };
  Run(file.Path());
  ExpectBox(kFailed, "Error");
  EXPECT_EQ(thread->FailureKind(), ErrorKind::kCancelled);
  EXPECT_EQ(loader.frames.size(), 3u);
  EXPECT_TRUE(EndsWithFourCans());
  EXPECT_EQ(Texts(kReportMessage), std::vector<std::string>{"Error " + kConn});
}

TEST_F(UpdateThreadTest, CancelDuringTheHandshakeIsAConnectionError) {
  TempImage file(RandomBytes(100, 16));
  loader.handshake = std::vector<char>(30, '\0');
  onReport = [](const ReportRec& r, UpgradeWorker& t) {
    if (r.text == "Waiting for synconization") t.Terminate();
  };
  Run(file.Path());
  ExpectBox(kConn, "Error");
}

// ---- erase ----

TEST_F(UpdateThreadTest, EraseEndingAt127WaitsByteByByteForThePrompt) {
  TempImage file(RandomBytes(100, 17));
  loader.afterErase = "Verifying\r\nok >";
  Run(file.Path());
  ExpectBox(kSuccess, "Message");
}

TEST_F(UpdateThreadTest, ABlockLineWithoutANumberEndsWithTheConversionError) {
  TempImage file(RandomBytes(100, 18));
  loader.eraseLines = {"Erasing block 1\r\n", "Erasing block five\r\n"};
  Run(file.Path());
  ExpectBox("'five' is not a valid integer value", "Error");
}

TEST_F(UpdateThreadTest, ALoaderSilentForTwoMinutesWhileErasingEndsTheUpgrade) {
  TempImage file(RandomBytes(100, 19));
  loader.eraseLines = {"Erasing block 1\r\n", "Erasing block 2\r\n"};
  loader.afterErase = "";
  uint64_t eraseStart = 0;
  onReport = [&](const ReportRec& r, UpgradeWorker&) {
    if (r.kind == kReportCancelSwitch && r.text == "0") eraseStart = clock.NowMs();
  };
  Run(file.Path());
  ExpectBox(kConn, "Error");
  EXPECT_GE(clock.NowMs() - eraseStart, UpgradeWorker::kEraseSilenceLimitMs);
  EXPECT_LT(clock.NowMs() - eraseStart, UpgradeWorker::kEraseSilenceLimitMs + 1000);
}

TEST_F(UpdateThreadTest, ASlowButLivingEraseIsWaitedFor) {
  TempImage file(RandomBytes(100, 20));
  loader.eraseLines = {};
  loader.afterErase = "";
  int next = 1;
  uint64_t last = 0;
  // A line every 100 s of silence: slow, but never two minutes quiet.
  loader.extraIdle = [&](ScriptedPort& p) {
    const bool erasing = !loader.commands.empty() && loader.commands.back() == "E";
    if (erasing && next <= 127 && clock.NowMs() - last >= 100000) {
      last = clock.NowMs();
      p.Queue("Erasing block " + std::to_string(next++) + "\r\n");
      if (next > 127) p.Queue(">");
    }
  };
  Run(file.Path());
  ExpectBox(kSuccess, "Message");
  EXPECT_EQ(next, 128);
}

// ---- other failures ----

TEST_F(UpdateThreadTest, AMissingImageEndsWithTheOpenErrorAndNoCans) {
  Run("/nonexistent/corvane/rom.bix");
  ExpectBox("Cannot open file /nonexistent/corvane/rom.bix", "Error");
  EXPECT_EQ(thread->FailureKind(), ErrorKind::kLocalFile);
  EXPECT_EQ(Texts(kReportMessage),
            std::vector<std::string>{"Cannot open /nonexistent/corvane/rom.bix: No such file or directory."});
  EXPECT_EQ(port.Written().back(), 'D');
}

TEST_F(UpdateThreadTest, NoSerialPortIsAConnectionError) {
  TempImage file(RandomBytes(100, 21));
  Run(file.Path(), nullptr, false);
  ExpectBox(kConn, "Error");
  EXPECT_EQ(thread->FailureKind(), ErrorKind::kFailed);
}

TEST(LastWord, ParsesTheLastDecimalWord) {
  EXPECT_EQ(LastWordAsInteger("Erasing block 5"), 5);
  EXPECT_EQ(LastWordAsInteger("block 127   "), 127);
  EXPECT_EQ(LastWordAsInteger("block -3"), -3);
  try {
    LastWordAsInteger("block 12x");
    FAIL();
  } catch (const DeviceError& e) {
    EXPECT_STREQ(e.what(), "'12x' is not a valid integer value");
  }
  EXPECT_THROW(LastWordAsInteger("block 99999999999"), DeviceError);
}

}  // namespace
}  // namespace corvane
