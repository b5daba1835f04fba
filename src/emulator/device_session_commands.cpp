// Serving: the command loop of a session and the commands other than the transfers' blocks.
#include "emulator/emulated_device_session.h"

#include "emulator/screen.h"

namespace corvane::emu {

using namespace session_detail;

bool EmulatedDevice::Session::Run() {
  uint64_t idleMs = 0;
  while (!Stopping() && !LinkGone()) {
    const int command = ReadByte(kIdleSliceMs);
    if (command < 0) {
      idleMs += kIdleSliceMs;
      if (idleMs >= 1000 && m_onIdle) {
        m_onIdle();
        idleMs = 0;
      }
      continue;
    }
    idleMs = 0;
    m_dev.SetBusy(true);
    Result r = Result::kContinue;
    try {
      r = Dispatch(static_cast<uint8_t>(command));
    } catch (const std::exception& e) {
      Log(std::string("Link failure: ") + e.what());
    }
    m_dev.SetBusy(false);
    if (r == Result::kQuit) return true;
  }
  return false;
}

EmulatedDevice::Session::Result EmulatedDevice::Session::Dispatch(uint8_t command) {
  bool silent = false;
  m_dev.UpdateFaults([&](Misbehaviour& f) {
    if (f.silentCommands > 0) {
      --f.silentCommands;
      silent = true;
    }
  });
  CommandRecord record;
  record.command = static_cast<char>(command);
  record.ignored = silent;
  m_dev.Record(record);
  if (silent) {
    Log(std::string("Ignoring command '") + Printable(Bytes(1, static_cast<char>(command))) + "' (on request)");
    // Whatever the PC sends with it and its retries is swallowed too.
    DiscardUntilQuiet(1500, 20000);
    return Result::kContinue;
  }
  switch (command) {
    case 'V': Version(); break;
    case 'C': ChangeDir(); break;
    case 'E': Execute(); break;
    case 'L': List(); break;
    case 'G': Get(); break;
    case 'P': Put(); break;
    case 'D': Delete(); break;
    case 'r': Rename(); break;
    case 'o': Open(); break;
    case 'S': Screen(); break;
    case 'k':
      if (!m_tallis) {
        Log("Server quit");
        return Result::kQuit;
      }
      Log("Command 'k' ignored: a Tallis has no quit command");
      break;
    default: Log("Unknown command " + Printable(Bytes(1, static_cast<char>(command)))); break;
  }
  return Result::kContinue;
}

void EmulatedDevice::Session::Version() {
  if (m_dev.m_upgradeMode.load()) {
    Log("Version asked: answering as in upgrade mode");
    Write(Bytes(1, 'V'));
    return;
  }
  const std::string v = m_dev.m_options.version.empty() ? DefaultVersion(m_dev.m_options.kind) : m_dev.m_options.version;
  Log("Version asked: " + v);
  SendPacket(v);
}

std::optional<fs::path> EmulatedDevice::Session::Resolve(const Bytes& name) {
  const auto rel = ResolveDevicePath(m_dev.CurrentFolder(), name);
  if (!rel) {
    Log("Refused name '" + Printable(name) + "': it would leave the device's folder");
    return std::nullopt;
  }
  return m_dev.m_options.root / *rel;
}

void EmulatedDevice::Session::ChangeDir() {
  Bytes path;
  if (!ReceivePacket(path)) return;
  const auto rel = ResolveDevicePath(m_dev.CurrentFolder(), path);
  std::error_code ec;
  if (!rel || !fs::is_directory(m_dev.m_options.root / *rel, ec)) {
    Log("No such folder " + Printable(path) + "; staying in " + Printable(DevicePathOf(m_dev.CurrentFolder())));
    return;
  }
  m_dev.SetCurrentFolder(*rel);
  Log("Current folder " + Printable(DevicePathOf(*rel)));
}

void EmulatedDevice::Session::Execute() {
  Bytes line;
  if (!ReceivePacket(line)) return;
  const TallisLine t = ParseTallisLine(line);
  switch (t.kind) {
    case TallisLine::kHome: {
      // HOME, then each name in turn: a name that is not a folder stops there.
      fs::path folder;
      for (const auto& name : t.folders) {
        std::error_code ec;
        if (!IsSafeName(name) || !fs::is_directory(m_dev.m_options.root / folder / name, ec)) {
          Log("No such folder " + Printable(name) + " in " + Printable(DevicePathOf(folder)));
          break;
        }
        folder /= name;
      }
      m_dev.SetCurrentFolder(folder);
      Log("Current folder " + Printable(DevicePathOf(folder)));
      break;
    }
    case TallisLine::kPurge: DeleteEntry(t.name); break;
    case TallisLine::kRename: RenameEntry(t.name, t.newName); break;
    case TallisLine::kUnknown: Log("Command line ignored: " + Printable(line)); break;
  }
}

void EmulatedDevice::Session::List() {
  const auto entries = ReadFolder(m_dev.m_options.root / m_dev.CurrentFolder(), m_tallis);
  size_t omitted = 0;
  Bytes payload = EncodeListing(entries, m_tallis, Serial() ? kMaxSerialPacket : 0, &omitted);
  if (omitted > 0)
    Log("Listing cut to the " + std::to_string(entries.size() - omitted) + " entries that fit one packet (" +
        std::to_string(omitted) + " left out)");
  bool cut = false;
  m_dev.UpdateFaults([&](Misbehaviour& f) {
    cut = f.cutListing;
    f.cutListing = false;
  });
  if (cut && !payload.empty()) {
    payload.resize(payload.size() - std::min<size_t>(3, payload.size()));
    Log("Last listing record cut short (on request)");
  }
  Log("Listing " + Printable(DevicePathOf(m_dev.CurrentFolder())) + ": " + std::to_string(entries.size()) + " entries");
  SendPacket(payload);
}

Misbehaviour EmulatedDevice::Session::TakeTransferFaults() {
  Misbehaviour taken;
  m_dev.UpdateFaults([&](Misbehaviour& f) {
    taken = f;
    f.corruptBlock = f.repeatBlock = f.loseAckBlock = f.cancelAtBlock = f.silentAtBlock = f.dropAckBlock = f.nakBlocks = 0;
    f.closeAfterBytes = 0;
    f.endEarlyAfterBlock = 0;
    f.stallAfterBytes = 0;
  });
  return taken;
}

void EmulatedDevice::Session::Get() {
  Bytes name;
  if (!ReceivePacket(name)) return;
  const Misbehaviour faults = TakeTransferFaults();
  const auto path = Resolve(name);
  std::error_code ec;
  std::unique_ptr<OutgoingFile> source;
  ServedFile served;
  if (path && fs::is_regular_file(*path, ec)) {
    served = DescribeFile(*path, m_tallis);
    source = std::make_unique<OutgoingFile>(*path, served);
    if (!source->Ok()) source.reset();
  }
  if (!source) {
    Log("Get " + Printable(name) + ": no such file");
    if (Serial()) {
      SendBlocks(nullptr, faults);
    } else {
      // There is no way to say "no such file" in a packet: an empty one would
      // look like an empty file. Closing the connection makes it a failure.
      m_tcp->Close();
    }
    return;
  }
  Log("Get " + Printable(name) + " (" + std::to_string(served.Total()) + " bytes)");
  const bool ok = Serial() ? SendBlocks(source.get(), faults) : SendStream(*source, served.Total(), faults);
  Log(ok ? "Sent " + Printable(name) : "Sending " + Printable(name) + " failed");
}

void EmulatedDevice::Session::Put() {
  Bytes packet;
  if (!ReceivePacket(packet)) return;
  const Misbehaviour faults = TakeTransferFaults();
  // The device that loses a file it was sent over TCP/IP counts the puts.
  bool lose = false;
  if (!Serial())
    m_dev.UpdateFaults([&](Misbehaviour& f) {
      if (f.losePut > 0 && --f.losePut == 0) lose = true;
    });
  Bytes name = packet;
  std::optional<uint64_t> announced;
  if (!m_tallis) {
    // Quillon: name, 0x00, length (4 bytes, least significant first).
    const size_t zero = packet.find('\0');
    if (zero != Bytes::npos) {
      name = packet.substr(0, zero);
      if (packet.size() >= zero + 5) announced = ReadLe32(packet.data() + zero + 1);
    }
  }
  const auto path = Resolve(name);
  std::error_code ec;
  std::unique_ptr<IncomingFile> target;
  if (path && fs::is_directory(path->parent_path(), ec) && !fs::is_directory(*path, ec)) {
    target = std::make_unique<IncomingFile>(*path);
    if (!target->Ok()) {
      Log(SysError("Cannot create a file in " + path->parent_path().string()));
      target.reset();
    }
  }
  if (!target) {
    Log("Put " + Printable(name) + ": cannot store it here");
    if (Serial()) {
      // Cancel the PC's sender as soon as it waits for the start byte.
      Write(Bytes(3, static_cast<char>(kCan)));
    } else {
      Bytes ignored;
      uint8_t size[4];
      if (ReadRaw(size, 4, 5000) == 4) {
        uint64_t left = ReadLe32(reinterpret_cast<const char*>(size));
        uint8_t buf[65536];
        while (left > 0 && !LinkGone() && !Stopping()) {
          const size_t got = ReadRaw(buf, static_cast<size_t>(std::min<uint64_t>(left, sizeof buf)), 5000);
          if (got == 0) break;
          left -= got;
        }
      }
    }
    return;
  }
  Log("Put " + Printable(name));
  const bool ok = Serial() ? ReceiveBlocks(*target, faults) : ReceiveStream(*target, faults);
  if (!ok) {
    target.reset();  // removes the partial file before anyone hears of it
    Log("Receiving " + Printable(name) + " failed; nothing stored");
    return;
  }
  if (lose) {
    target.reset();
    Log("Put " + Printable(name) + ": taken whole, and nothing stored (on request)");
    return;
  }
  uint64_t length = target->Size();
  if (Serial()) {
    if (m_tallis) length = TallisReceivedLength(target->Head(), target->Size());
    else if (announced) {
      if (*announced > target->Size())
        Log("Put " + Printable(name) + ": announced " + std::to_string(*announced) + " bytes, got only " +
            std::to_string(target->Size()));
      length = std::min(*announced, target->Size());
    }
  }
  if (!target->Commit(length)) {
    Log(SysError("Cannot store " + Printable(name)));
    return;
  }
  Log("Stored " + Printable(name) + " (" + std::to_string(length) + " bytes)");
}

bool EmulatedDevice::Session::DeleteEntry(const Bytes& name) {
  const auto path = Resolve(name);
  if (!path) return false;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(*path, ec))) {
    Log("Delete " + Printable(name) + ": no such entry");
    return false;
  }
  if (!fs::remove(*path, ec)) {
    Log("Delete " + Printable(name) + " refused: " + ec.message());
    return false;
  }
  Log("Deleted " + Printable(name));
  return true;
}

bool EmulatedDevice::Session::RenameEntry(const Bytes& oldName, const Bytes& newName) {
  const auto from = Resolve(oldName);
  const auto to = Resolve(newName);
  if (!from || !to) return false;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(*from, ec))) {
    Log("Rename " + Printable(oldName) + ": no such entry");
    return false;
  }
  // Never store over an existing entry: nothing is lost by a rename.
  if (fs::exists(fs::symlink_status(*to, ec))) {
    Log("Rename " + Printable(oldName) + " refused: " + Printable(newName) + " exists");
    return false;
  }
  fs::rename(*from, *to, ec);
  if (ec) {
    Log("Rename " + Printable(oldName) + " failed: " + ec.message());
    return false;
  }
  Log("Renamed " + Printable(oldName) + " to " + Printable(newName));
  return true;
}

void EmulatedDevice::Session::Delete() {
  Bytes name;
  if (ReceivePacket(name)) DeleteEntry(name);
}

void EmulatedDevice::Session::Rename() {
  Bytes oldName, newName;
  if (!ReceivePacket(oldName) || !ReceivePacket(newName)) return;
  RenameEntry(oldName, newName);
}

void EmulatedDevice::Session::Open() {
  Bytes name;
  if (ReceivePacket(name)) Log("open " + Printable(name));
}

void EmulatedDevice::Session::Screen() {
  ScreenContent content;
  content.title = "CORVANE " + KindName(m_dev.m_options.kind);
  content.folder = DevicePathOf(m_dev.CurrentFolder());
  content.entries = ReadFolder(m_dev.m_options.root / m_dev.CurrentFolder(), m_tallis);
  // A serial capture must fit the 38912 bytes the PC takes: 4 bits per pixel.
  const Bytes bmp = DrawScreenBmp(content, Serial() ? 4 : 8);
  Log("Screen capture (" + std::to_string(bmp.size()) + " bytes)");
  const Misbehaviour faults = TakeTransferFaults();
  if (!Serial()) {
    SendPacket(bmp);
    return;
  }
  // The picture goes through the block sender as a file would: OutgoingFile
  // sends its prefix first, and with no file behind it that is all.
  ServedFile served;
  served.prefix = bmp;
  OutgoingFile source(fs::path(), served);
  SendBlocks(&source, faults);
}

}  // namespace corvane::emu
