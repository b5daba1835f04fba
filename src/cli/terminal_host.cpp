#include "cli/terminal_host.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "cli/cli_text.h"
#include "link/serial_port.h"
#include "protocol/local_file.h"

namespace corvane::cli {
namespace {

// Counts Ctrl-Cs (and the termination and hang-up signals, which are taken
// the same way); each host's watcher acts on every one it has not seen.
std::atomic<unsigned> g_interrupts{0};
// The first of those signals: it decides the exit status.
std::atomic<int> g_firstSignal{0};

void OnInterruptSignal(int sig) {
  int none = 0;
  g_firstSignal.compare_exchange_strong(none, sig);
  g_interrupts.fetch_add(1);
}

// How often the bar is redrawn and Ctrl-C is looked for.
constexpr auto kTick = std::chrono::milliseconds(100);
// Lines mode prints a progress line at most this often (and always the last).
constexpr auto kLineEvery = std::chrono::seconds(1);

}  // namespace

TerminalHost::TerminalHost(ProgressMode mode, bool verbose) : m_mode(mode), m_verbose(verbose) {}

TerminalHost::~TerminalHost() { Detach(); }

void TerminalHost::InstallInterruptHandler() {
  struct sigaction sa {};
  sa.sa_handler = OnInterruptSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  // A program started with these ignored (nohup) keeps ignoring them.
  for (const int sig : {SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &sa, nullptr);
  }
}

int TerminalHost::CancelledExitCode() {
  const int sig = g_firstSignal.load();
  return sig == SIGTERM || sig == SIGHUP ? 128 + sig : ExitCode(ErrorKind::kCancelled);
}

void TerminalHost::Attach(StatusDialog& dialog, std::function<bool()> cancel) {
  m_dialog = &dialog;
  m_cancel = std::move(cancel);
  dialog.OnReport = [this](const Report& r) { OnReport(r); };
  m_watcher = std::thread([this] { Watch(); });
}

void TerminalHost::Detach() {
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  if (m_watcher.joinable()) m_watcher.join();
}

void TerminalHost::BeginOperation() { m_cancelRequested.store(false); }

void TerminalHost::EndOperation() {
  std::lock_guard lock(m_mutex);
  PrintQueued();
  ClearBar();
  std::cerr << std::flush;
}

void TerminalHost::Message(const std::string& text) {
  std::lock_guard lock(m_mutex);
  // What was reported before this message is printed before it.
  PrintQueued();
  PrintLine(TerminalText(OneLine(text)));
}

bool TerminalHost::AskAddress(std::string& text) {
  text = address;
  return !address.empty();
}

bool TerminalHost::MessageBox(const std::string& text, const std::string& caption, Buttons buttons) {
  if (buttons == Buttons::kOk) {
    Message(caption + ": " + text);
    return true;
  }
  if (assumeYes) return true;
  if (!::isatty(0)) {
    Message(caption + ": " + text);
    Message("No answer possible without a terminal; give --yes to proceed.");
    return false;
  }
  {
    std::lock_guard lock(m_mutex);
    ClearBar();
    // Its own line breaks stay; anything else a terminal would act on is shown.
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::cerr << TerminalText(line) << '\n';
    }
    std::cerr << "[y/N] " << std::flush;
  }
  std::string answer;
  std::getline(std::cin, answer);
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

void TerminalHost::TransferDialogChanged(StatusDialog& dialog) {
  // On the device thread, or on the watcher when Ctrl-C pressed Cancel: note
  // the change and return; the watcher draws.
  const bool shown = dialog.Shown();
  const std::string caption = dialog.Caption();
  {
    std::lock_guard lock(m_mutex);
    // A run of transfers keeps one dialog; its caption tells each step.
    if (shown && (!m_wasShown || caption != m_lastCaption)) m_captions.push_back(caption);
    m_lastCaption = caption;
    m_dirty = true;
    m_wasShown = shown;
  }
  m_wake.notify_all();
}

void TerminalHost::OnReport(const Report& report) {
  if (m_mode != ProgressMode::kLines && m_mode != ProgressMode::kJson) return;
  {
    std::lock_guard lock(m_mutex);
    m_reports.push_back(report);
  }
  m_wake.notify_all();
}

void TerminalHost::Watch() {
  std::unique_lock lock(m_mutex);
  while (!m_stop) {
    m_wake.wait_for(lock, kTick);
    if (const unsigned n = g_interrupts.load(); n != m_interruptsSeen) {
      m_interruptsSeen = n;
      lock.unlock();
      OnInterrupt();
      lock.lock();
    } else if (m_interrupted && !m_cancelRequested.load()) {
      lock.unlock();
      CancelAfterInterrupt();
      lock.lock();
    }
    PrintQueued();
    DrawBar(false);
  }
}

void TerminalHost::OnInterrupt() {
  if (!m_label.empty()) {
    // One of several devices: the others may be in the middle of a file, so
    // the program ends only once every device has stopped.
    m_interrupted = true;
    if (m_cancelRequested.load()) Message("Cancelling; please wait.");
    CancelAfterInterrupt();
    return;
  }
  // Cancel only what can be cancelled and cleaned up; a Ctrl-C while no
  // transfer runs (connecting, listing) ends the program as
  // it would any other.
  if (m_cancelRequested.load()) {
    Message("Cancelling; please wait.");
    return;
  }
  const StatusDialog::State state = m_dialog ? m_dialog->Snapshot() : StatusDialog::State{};
  if (state.shown) {
    if (m_cancel && m_cancel()) {
      m_cancelRequested.store(true);
      Message("Cancelling ...");
    } else {
      Message("Cancel is not possible at this stage; please wait.");
    }
    return;
  }
  {
    std::lock_guard lock(m_mutex);
    ClearBar();
    std::cerr << "Interrupted.\n" << std::flush;
  }
  // Nothing is unwound: the port's exclusive use is released here.
  ReleaseSerialPortsForExit();
  // Nor are the temporary files of a transfer about to start: none is kept.
  RemoveTemporaryFilesForExit();
  std::_Exit(CancelledExitCode());
}

bool TerminalHost::InterruptedBeforeStart() const { return !m_label.empty() && g_interrupts.load() > 0; }

void TerminalHost::CancelAfterInterrupt() {
  const StatusDialog::State state = m_dialog ? m_dialog->Snapshot() : StatusDialog::State{};
  if (state.shown && !m_cancelRequested.load() && m_cancel && m_cancel()) {
    m_cancelRequested.store(true);
    Message("Cancelling ...");
  }
}

void TerminalHost::PrintQueued() {
  while (!m_captions.empty()) {
    if (m_mode == ProgressMode::kLines) PrintLine(TerminalText(OneLine(m_captions.front())));
    m_captions.pop_front();
  }
  while (!m_reports.empty()) {
    const Report r = std::move(m_reports.front());
    m_reports.pop_front();
    if (m_mode == ProgressMode::kJson) {
      std::string json = ReportJson(r);
      if (!m_label.empty()) json.insert(1, "\"port\": " + JsonString(m_label) + ", ");
      PrintLine(json, true);
      continue;
    }
    // Lines: every message and status; progress at most once a second, and
    // its last line (all done); nothing for the silent kinds.
    if (r.kind == kReportFinished || r.kind == kReportCancelSwitch) continue;
    const std::string text = ReportText(r);
    if (text.empty()) continue;
    if (r.kind == kReportProgress) {
      const auto now = std::chrono::steady_clock::now();
      const bool last = r.total > 0 && r.done >= r.total;
      if (!last && m_lastLine != std::chrono::steady_clock::time_point{} && now - m_lastLine < kLineEvery) continue;
      m_lastLine = now;
    }
    PrintLine(TerminalText(OneLine(text)));
  }
}

void TerminalHost::PrintLine(const std::string& line, bool json) {
  ClearBar();
  // One write per line, so that the lines of several devices never mix.
  std::cerr << ((m_label.empty() || json ? std::string() : TerminalText(m_label) + ": ") + line + '\n') << std::flush;
}

void TerminalHost::ClearBar() {
  if (!m_barShown) return;
  std::cerr << "\r\033[K" << std::flush;
  m_barShown = false;
}

void TerminalHost::DrawBar(bool force) {
  if (m_mode != ProgressMode::kBar || m_dialog == nullptr || (!m_dirty && !force)) return;
  m_dirty = false;
  const StatusDialog::State d = m_dialog->Snapshot();
  if (!d.shown) {
    ClearBar();
    return;
  }
  std::string line;
  if (d.max > 1) {
    const double frac = std::min(1.0, static_cast<double>(d.position) / static_cast<double>(d.max));
    const int width = 30;
    const int fill = static_cast<int>(frac * width);
    line = "[" + std::string(static_cast<size_t>(fill), '#') + std::string(static_cast<size_t>(width - fill), ' ') + "] ";
    char pct[16];
    std::snprintf(pct, sizeof pct, "%3d%% ", static_cast<int>(frac * 100));
    line += pct;
  }
  // The progress text ("12/40 Kbytes (30%) 3 Kbyte/s") goes on the same line.
  const std::string label = OneLine(d.label);
  line += TerminalText(OneLine(d.caption)) + (label.empty() ? "" : ": " + TerminalText(label));
  if (line.size() > 110) line.resize(110);
  std::cerr << "\r\033[K" << line << std::flush;
  m_barShown = true;
}

}  // namespace corvane::cli
