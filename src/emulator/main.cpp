// corvane-emu: an emulated Quillon or Tallis serving a local folder over a
// pseudo-terminal or TCP on 127.0.0.1.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>

#include "emulator/boot_loader.h"
#include "emulator/emulated_device.h"

namespace {

std::atomic<bool> g_interrupted{false};
void OnSignal(int) { g_interrupted = true; }

}  // namespace

int main(int argc, char** argv) {
  using namespace corvane::emu;
  DeviceOptions options;
  Misbehaviour& f = options.faults;
  std::string kind = "quillon";
  std::string root;
  std::string ptyLink;
  int tcpPort = -1;
  std::string blockSize = "1024";
  std::string startByte = "nak";
  std::vector<uint32_t> lineRate;
  bool quiet = false;

  // ---- every option in one place ----
  CLI::App app{"Emulated Corvane device: the file server of a Quillon or a Tallis, serving a local folder"};
  app.add_option("--kind", kind, "Device kind")->check(CLI::IsMember({"tallis", "quillon"}, CLI::ignore_case));
  auto* rootOption =
      app.add_option("--root", root, "Folder served as the device's file system")->check(CLI::ExistingDirectory);
  auto* pty = app.add_option("--pty", ptyLink, "Create a pseudo-terminal and a symbolic link to it at this path");
  auto* tcp = app.add_option("--tcp", tcpPort, "Listen on 127.0.0.1:PORT (0 = a free port)")->check(CLI::Range(0, 65535));
  pty->excludes(tcp);
  app.add_option("--version-text", options.version, "Version the device reports");
  app.add_flag("--upgrade-mode", options.upgradeMode, "Answer the version command as a device in upgrade mode");
  app.add_option("--block-size", blockSize, "Blocks of files sent: 1024, 128 or mixed")
      ->check(CLI::IsMember({"1024", "128", "mixed"}));
  app.add_option("--start-byte", startByte, "How the device starts receiving a file: nak, crc or kermit")
      ->check(CLI::IsMember({"nak", "crc", "kermit"}));
  app.add_option("--line-rate", lineRate, "Pace the serial line both ways: BAUD [TURNAROUND_MS]")->expected(1, 2);
  app.add_flag("--quiet", quiet, "Do not print the device's log");
  // Faults on request.
  app.add_option("--nak-packets", f.nakPackets, "Answer NAK to the next N packets from the PC");
  app.add_option("--bad-checksum", f.badChecksumPackets, "Send the next N packets with a wrong checksum");
  app.add_option("--silent", f.silentCommands, "Ignore the next N commands");
  app.add_flag("--cut-listing", f.cutListing, "Cut the last record of the next listing short");
  app.add_option("--corrupt-block", f.corruptBlock, "Damage block K of the next file sent");
  app.add_option("--repeat-block", f.repeatBlock, "Send block K of the next file twice");
  app.add_option("--lose-ack", f.loseAckBlock,
                 "Lose the PC's ACK of block K of the next file sent: wait for an answer, then send block K again");
  app.add_option("--cancel-at-block", f.cancelAtBlock, "Cancel the next transfer at block K");
  app.add_option("--silent-at-block", f.silentAtBlock, "Go silent at block K of the next transfer");
  app.add_option("--drop-ack", f.dropAckBlock, "Do not acknowledge block K of the next file received");
  app.add_option("--nak-blocks", f.nakBlocks, "Answer NAK to the next N good blocks received");
  app.add_option("--close-after", f.closeAfterBytes, "TCP: close the connection after N bytes of the next file");
  app.add_option("--end-early", f.endEarlyAfterBlock,
                 "End the next file sent after block K (EOT, and EOT again when refused), whatever its size");
  app.add_option("--stall-after", f.stallAfterBytes,
                 "TCP: stop reading the next file received after N bytes, and keep the connection open");
  app.add_option("--lie-length", f.lyingLength,
                 "TCP: announce N bytes for the next packet or file sent, whatever its real length");
  app.add_option("--drip-ms", f.dripMs, "TCP: send the next packet or file one byte every MS milliseconds");
  app.add_option("--lose-put", f.losePut, "TCP: take the K-th file put from now whole, then store nothing");
  // The Quillon's boot loader instead of the file server.
  BootLoaderOptions loader;
  bool bootLoader = false;
  std::string handshake = "crc";
  std::string expectFile;
  app.add_flag("--boot-loader", bootLoader, "Be the Quillon's boot loader (ROM upgrade) instead of the file server");
  app.add_option("--handshake", handshake, "Boot loader: how it asks for the image: nak, crc or compressed")
      ->check(CLI::IsMember({"nak", "crc", "compressed"}));
  app.add_option("--expect", expectFile, "Boot loader: the image the download must deliver")->check(CLI::ExistingFile);
  app.add_option("--image-out", loader.imageOut, "Boot loader: write the received image to this file");
  app.add_option("--on-lines", loader.onLines, "Boot loader: answer 'V' with an ON line this many times");
  app.add_option("--erase-line-ms", loader.eraseLineMs, "Boot loader: pause before each erase line");
  app.add_option("--nak-block", loader.nakBlock, "Boot loader: refuse block K (see --nak-count)");
  app.add_option("--nak-count", loader.nakCount, "Boot loader: how many times block K is refused");
  app.add_option("--can-at-block", loader.cancelAtBlock, "Boot loader: answer block K with CAN");
  app.add_flag("--silent-handshake", loader.silentHandshake, "Boot loader: never send the handshake byte");
  app.add_option("--bad-handshake", loader.badHandshakeBytes,
                 "Boot loader: send N wrong bytes before the handshake byte (-1: only wrong ones)");
  app.add_flag("--bad-erase-line", loader.badEraseLine, "Boot loader: an erase line whose last word is not a number");
  app.add_option("--erase-stop-after", loader.eraseStopAfter, "Boot loader: fall silent after N erase lines");
  CLI11_PARSE(app, argc, argv);

  if (bootLoader) {
    if (pty->count() == 0) {
      std::cerr << "The boot loader needs a serial link: --pty LINK\n";
      return 2;
    }
    loader.handshake = handshake == "nak"   ? LoaderHandshake::kNak
                       : handshake == "crc" ? LoaderHandshake::kCrc
                                            : LoaderHandshake::kCompressed;
    if (!expectFile.empty()) {
      std::ifstream in(expectFile, std::ios::binary);
      loader.expect.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      loader.hasExpect = true;
    }
    if (!lineRate.empty()) loader.lineRate = lineRate[0];
    if (!quiet) loader.onLog = [](const std::string& line) { std::cout << line << std::endl; };
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    try {
      BootLoader device(loader);
      ::unlink(ptyLink.c_str());
      if (::symlink(device.SlavePath().c_str(), ptyLink.c_str()) != 0) {
        std::cerr << "corvane-emu: cannot make the link " << ptyLink << "\n";
        return 1;
      }
      std::cout << "Boot loader on serial port: " << ptyLink << " -> " << device.SlavePath() << std::endl;
      device.Start();
      while (!g_interrupted.load()) {
        if (device.WaitForLog("P: power cycle", std::chrono::milliseconds(200))) {
          // A finished upgrade ends the run; its download is the exit status.
          const DownloadResult result = device.Download();
          device.Stop();
          ::unlink(ptyLink.c_str());
          return result.complete && result.matches ? 0 : 3;
        }
      }
      device.Stop();
      ::unlink(ptyLink.c_str());
    } catch (const std::exception& e) {
      std::cerr << "corvane-emu: " << e.what() << "\n";
      return 1;
    }
    return 0;
  }
  if (rootOption->count() == 0) {
    std::cerr << "--root is required: the folder served as the device's file system\n";
    return 2;
  }

  if (pty->count() == 0 && tcp->count() == 0) {
    std::cerr << "Choose a link: --pty LINK or --tcp PORT\n";
    return 2;
  }
  options.kind = (kind == "tallis" || kind == "TALLIS" || kind == "Tallis") ? DeviceKind::kTallis : DeviceKind::kQuillon;
  options.root = root;
  options.blockSize = blockSize == "128" ? BlockSize::k128 : blockSize == "mixed" ? BlockSize::kMixed : BlockSize::k1024;
  options.startByte = startByte == "crc" ? StartByte::kCrc : startByte == "kermit" ? StartByte::kKermit : StartByte::kNak;
  if (!lineRate.empty()) options.lineRate = lineRate[0];
  if (lineRate.size() > 1) options.turnaroundMs = lineRate[1];
  if (!quiet) options.onLog = [](const std::string& line) { std::cout << line << std::endl; };

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  try {
    EmulatedDevice device(options);
    if (pty->count() > 0) {
      const std::string slave = device.StartPty(ptyLink);
      std::cout << "Serial port: " << ptyLink << " -> " << slave << std::endl;
    } else {
      const uint16_t port = device.StartTcp(static_cast<uint16_t>(tcpPort));
      std::cout << "TCP/IP: 127.0.0.1 port " << port << std::endl;
    }
    while (!g_interrupted.load() && !device.WaitUntilStopped(std::chrono::milliseconds(200))) {
    }
    device.Stop();
  } catch (const std::exception& e) {
    std::cerr << "corvane-emu: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
