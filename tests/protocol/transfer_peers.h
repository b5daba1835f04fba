#pragma once
// The device's side of a block transfer, scripted on a ScriptedPort, and the
// small things every transfer test needs: a scratch folder, a report recorder.
//
// SenderPeer plays a device that sends a file (the PC receives): the PC's NAK
// starts it, each ACK moves it to the next frame, each NAK repeats the frame.
// ReceiverPeer plays a device that receives a file (the PC sends): it answers
// every frame the PC writes with the reply a test chooses (ACK by default).
#include "gate.h"
#include <stdlib.h>
#include <sys/stat.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "link/checksum.h"
#include "protocol/report.h"
#include "protocol/wire.h"
#include "scripted_port.h"
#include "test_data.h"

namespace corvane::test {

// A scratch folder whose files the transfer tests name as strings.
class TempDir : public ScratchFolder {
 public:
  TempDir() : ScratchFolder("xfer-test") {}
  std::string operator/(const std::string& name) const { return Path().string() + "/" + name; }
};

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// One report as the dialog and the log see it: its text, kind, and for
// progress the bytes done of the total.
struct ReportLine {
  std::string text;
  int kind;
  int64_t position;
  int64_t max;
  TransferPhase phase = TransferPhase::kNone;
};

// Records every report a transfer makes (from the thread that runs it).
class Reports {
 public:
  ReportHandler Handler() {
    return [this](const Report& r) {
      {
        std::lock_guard lock(m_mutex);
        m_lines.push_back({ReportText(r), r.kind, r.done, r.total, r.phase});
      }
      if (OnReport) OnReport(r);
    };
  }
  // Called after each report is recorded, on the transfer's thread (a test
  // may stop the transfer from here). Set before the transfer runs.
  std::function<void(const Report&)> OnReport;
  // The progress reports only.
  std::vector<ReportLine> Progress() const {
    std::vector<ReportLine> out;
    for (const auto& l : Lines())
      if (l.kind == kReportProgress) out.push_back(l);
    return out;
  }
  std::vector<ReportLine> Lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
  }
  std::vector<std::string> Texts(int kind) const {
    std::vector<std::string> out;
    for (const auto& l : Lines())
      if (l.kind == kind) out.push_back(l.text);
    return out;
  }
  int Count(int kind) const { return static_cast<int>(Texts(kind).size()); }
  // The last report is the only kReportFinished, with an empty text.
  void ExpectFinishedLast() const {
    const auto lines = Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().kind, kReportFinished);
    EXPECT_EQ(lines.back().text, "");
    EXPECT_EQ(Count(kReportFinished), 1);
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<ReportLine> m_lines;
};

// A sum-checked block as a device sends it.
inline Bytes DeviceBlock(uint8_t number, const Bytes& data) {
  return BuildBlock(number, reinterpret_cast<const uint8_t*>(data.data()), data.size(), kSum8);
}

class SenderPeer {
 public:
  // Frames in order; the last is normally the single EOT byte.
  std::vector<Bytes> frames;
  // What actually goes out for frame `index` on its `attempt`-th sending
  // (0 first); returning an empty string sends nothing.
  std::function<Bytes(size_t index, int attempt, const Bytes& frame)> Alter;
  // Called for every byte the PC writes, before the peer acts on it.
  std::function<void(uint8_t)> OnByte;
  // True to lose the PC's ACK of frame `index` as noise would: the peer stays
  // at that frame and sends it again at the PC's next NAK.
  std::function<bool(size_t index)> IgnoreAck;

  size_t index = 0;
  int attempt = 0;
  int naks = 0;
  int acks = 0;
  int cans = 0;
  bool finished = false;  // the EOT was acknowledged

  // Splits `content` into blocks of `blockSize`, padding the last with 0x1A,
  // then EOT.
  void SetFile(const Bytes& content, size_t blockSize = 1024) {
    frames.clear();
    uint8_t number = 1;
    for (size_t at = 0; at < content.size(); at += blockSize, ++number) {
      Bytes data = content.substr(at, blockSize);
      data.resize(blockSize, '\x1A');
      frames.push_back(DeviceBlock(number, data));
    }
    frames.push_back(Bytes(1, static_cast<char>(kEot)));
  }

  void Attach(ScriptedPort& port) {
    port.OnWrite = [this](ScriptedPort& p, const Bytes& data) { OnWrite(p, data); };
  }
  void OnWrite(ScriptedPort& p, const Bytes& data) {
    for (char c : data) Byte(p, static_cast<uint8_t>(c));
  }

 private:
  void Send(ScriptedPort& p) {
    if (index >= frames.size()) return;
    const Bytes out = Alter ? Alter(index, attempt, frames[index]) : frames[index];
    ++attempt;
    if (!out.empty()) p.Queue(out);
  }
  void Byte(ScriptedPort& p, uint8_t b) {
    if (OnByte) OnByte(b);
    if (b == kNak) {
      ++naks;
      Send(p);
    } else if (b == kAck) {
      ++acks;
      if (IgnoreAck && IgnoreAck(index)) return;
      if (index + 1 == frames.size()) {
        finished = true;
        index = frames.size();
        return;
      }
      ++index;
      attempt = 0;
      Send(p);
    } else if (b == kCan) {
      ++cans;
    }
  }
};

class ReceiverPeer {
 public:
  // Every frame the PC wrote, retries included.
  std::vector<Bytes> frames;
  // Reply to the i-th frame (0-based, counting retries); ACK when unset.
  std::function<Bytes(size_t i, const Bytes& frame)> Reply;
  // Reply to the n-th EOT (1-based); ACK when unset.
  std::function<Bytes(int n)> EotReply;
  int eots = 0;
  Bytes cans;
  // Data of the frames that were acknowledged, in order.
  Bytes accepted;

  bool finished = false;  // the EOT was acknowledged

  void Attach(ScriptedPort& port) {
    port.OnWrite = [this](ScriptedPort& p, const Bytes& data) { OnWrite(p, data); };
  }
  void OnWrite(ScriptedPort& p, const Bytes& data) {
    if (data.size() == 1 && static_cast<uint8_t>(data[0]) == kEot) {
      ++eots;
      const Bytes reply = EotReply ? EotReply(eots) : Bytes(1, static_cast<char>(kAck));
      if (reply == Bytes(1, static_cast<char>(kAck))) finished = true;
      p.Queue(reply);
      return;
    }
    if (!data.empty() && data.find_first_not_of(static_cast<char>(kCan)) == Bytes::npos) {
      cans += data;
      return;
    }
    frames.push_back(data);
    const Bytes reply = Reply ? Reply(frames.size() - 1, data) : Bytes(1, static_cast<char>(kAck));
    if (reply.size() == 1 && static_cast<uint8_t>(reply[0]) == kAck && data.size() >= 1027)
      accepted += data.substr(3, 1024);
    p.Queue(reply);
  }
};

}  // namespace corvane::test
