#include "cli/terminal_host.h"

#include "cli/cli_text.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>

#include "desktop/local_files.h"
#include "protocol/report.h"

namespace corvane::cli {
namespace {

std::atomic<bool> g_sigint{false};

void OnSigint(int) { g_sigint.store(true); }

std::string HumanRate(double bytesPerSecond) {
  char buf[32];
  if (bytesPerSecond >= 1024 * 1024) std::snprintf(buf, sizeof buf, "%.1f MB/s", bytesPerSecond / (1024 * 1024));
  else if (bytesPerSecond >= 1024) std::snprintf(buf, sizeof buf, "%.1f KB/s", bytesPerSecond / 1024);
  else std::snprintf(buf, sizeof buf, "%.0f B/s", bytesPerSecond);
  return buf;
}

}  // namespace

TerminalHost::TerminalHost(LogModel& log, bool verbose) : m_log(log), m_verbose(verbose), m_tty(::isatty(2)) {
  m_log.OnAppend = [this](const std::string& text) { OnReport(text); };
}

void TerminalHost::InstallInterruptHandler() {
  struct sigaction sa {};
  sa.sa_handler = OnSigint;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
}

void TerminalHost::Message(const std::string& text) {
  if (m_barShown) {
    std::cerr << "\r\033[K";
    m_barShown = false;
  }
  std::cerr << DisplayText(OneLine(text)) << '\n';
}

bool TerminalHost::AskAddress(std::string& text) {
  text = address;
  return !address.empty();
}

bool TerminalHost::MessageBox(const std::string& text, const std::string& caption, Buttons buttons) {
  std::lock_guard lock(m_mutex);
  lastBoxCaption = caption;
  lastBoxText = text;
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
  std::cerr << text << "\n" << "[y/N] " << std::flush;
  std::string answer;
  std::getline(std::cin, answer);
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

void TerminalHost::Synchronize(const std::function<void()>& fn) {
  std::lock_guard lock(m_mutex);
  fn();
  m_changed.notify_all();
}

void TerminalHost::OnReport(const std::string& text) {
  // Runs with m_mutex held (reports arrive through Synchronize).
  if (!m_tty && !text.empty()) std::cerr << DisplayText(OneLine(text)) << '\n';
}

void TerminalHost::Draw(const StatusDialog& d) {
  if (!m_tty) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
  std::string line;
  if (d.ProgressMax() > 1) {
    const double frac = std::min(1.0, static_cast<double>(d.ProgressPosition()) / static_cast<double>(d.ProgressMax()));
    const int width = 30;
    const int fill = static_cast<int>(frac * width);
    line = "[" + std::string(fill, '#') + std::string(width - fill, ' ') + "] ";
    char pct[16];
    std::snprintf(pct, sizeof pct, "%3d%% ", static_cast<int>(frac * 100));
    line += pct;
    if (seconds > 0.2) line += HumanRate(static_cast<double>(d.ProgressPosition()) / seconds) + " ";
  }
  std::string label = OneLine(d.Label());
  if (d.ProgressMax() > 1) {
    // The progress text repeats what the bar shows; keep its first line only.
    const auto nl = d.Label().find('\r');
    label = nl == std::string::npos ? label : OneLine(d.Label().substr(0, nl));
  }
  line += d.Caption() + (label.empty() ? "" : ": " + DisplayText(label));
  if (line.size() > 110) line.resize(110);
  std::cerr << "\r\033[K" << line << std::flush;
  m_barShown = true;
}

void TerminalHost::RunStatusDialog(StatusDialog& dialog) {
  std::unique_lock lock(m_mutex);
  m_started = std::chrono::steady_clock::now();
  dialog.OnChange = [this, &dialog] { Draw(dialog); };
  if (!m_verbose && !m_tty) std::cerr << dialog.Caption() << '\n';
  Draw(dialog);
  while (!dialog.Ended()) {
    m_changed.wait_for(lock, std::chrono::milliseconds(100));
    if (g_sigint.exchange(false)) {
      if (dialog.RequestCancel()) {
        m_interrupted.store(true);
        Message("Cancelled.");
      } else {
        Message("Cancel is not possible at this stage; please wait.");
      }
    }
  }
  dialog.OnChange = nullptr;
  if (m_barShown) {
    std::cerr << "\r\033[K" << std::flush;
    m_barShown = false;
  }
  // The worker's last words before its empty final report say why it failed.
  const auto entries = m_log.Entries();
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (!it->empty()) {
      lastFailure = *it;
      break;
    }
  }
}

}  // namespace corvane::cli
