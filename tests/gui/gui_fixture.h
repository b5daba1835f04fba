#pragma once
// What the GUI tests share: settings and temporary files kept apart from the
// user's, message boxes recorded instead of shown, an emulated device on a
// pseudo-terminal, the main window opened, selected in and waited for, and
// small file helpers.
#include <QDir>
#include <QItemSelectionModel>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "emulator/emulated_device.h"
#include "gui/entry_list_model.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "../support/test_data.h"

namespace corvane::test {

struct RecordedBox {
  MessageKind kind;
  QString caption;
  QString text;
};

// Settings, the private temporary folder and message boxes, for one test binary.
class GuiSandbox {
 public:
  GuiSandbox() : m_dir(BaseTemp() + QStringLiteral("/corvane-gui-test-XXXXXX")) {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path() + QStringLiteral("/config"));
    QSettings::setDefaultFormat(QSettings::NativeFormat);
    qputenv("TMPDIR", QFile::encodeName(m_dir.path() + QStringLiteral("/tmp")));
    QDir().mkpath(m_dir.path() + QStringLiteral("/tmp"));
    SetMessageBoxHook([this](MessageKind kind, const QString& caption, const QString& text) {
      boxes.push_back({kind, caption, text});
      return answer;
    });
  }
  ~GuiSandbox() {
    SetMessageBoxHook(nullptr);
    qputenv("TMPDIR", QFile::encodeName(BaseTemp()));
  }
  // The system's temporary folder as it was when the tests started.
  static QString BaseTemp() {
    static const QString base = QDir::tempPath();
    return base;
  }
  QString Path() const { return m_dir.path(); }

  std::vector<RecordedBox> boxes;
  bool answer = true;

 private:
  QTemporaryDir m_dir;
};

inline void WriteBytes(const std::filesystem::path& p, const std::string& bytes) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An emulated device over its own folder, on a pseudo-terminal.
class Device {
 public:
  // Serves on a pseudo-terminal unless `pty` is false (then call StartTcp).
  explicit Device(emu::DeviceKind kind, uint32_t lineRate = 0, bool pty = true) {
    emu::DeviceOptions o;
    o.kind = kind;
    o.root = QFile::encodeName(m_root.path()).toStdString();
    o.lineRate = lineRate;
    m_device = std::make_unique<emu::EmulatedDevice>(o);
    if (pty) m_path = m_device->StartPty();
  }
  ~Device() { m_device->Stop(); }
  std::filesystem::path Root() const { return QFile::encodeName(m_root.path()).toStdString(); }
  const std::string& Path() const { return m_path; }
  emu::EmulatedDevice& Emu() { return *m_device; }
  // The packets of every command `c` received, in order.
  std::vector<std::vector<Bytes>> PacketsOf(char c) const {
    std::vector<std::vector<Bytes>> out;
    for (const auto& r : m_device->Commands())
      if (r.command == c && !r.ignored) out.push_back(r.packets);
    return out;
  }

 private:
  QTemporaryDir m_root;
  std::unique_ptr<emu::EmulatedDevice> m_device;
  std::string m_path;
};

// A main window connected with "Auto" to `device` (or to nothing), its first
// connect and listing done; none when that does not end in time.
inline std::unique_ptr<MainWindow> OpenWindow(const Device* device, bool quillon) {
  MainWindowOptions o;
  o.quillon = quillon;
  o.refreshDelayMs = 30;
  const std::string port = device ? device->Path() + "\n" : std::string();
  o.listPorts = [port] { return port; };
  auto w = std::make_unique<MainWindow>(o);
  QSignalSpy done(w.get(), &MainWindow::commandDone);
  w->show();
  if (!done.wait(30000)) return nullptr;
  return w;
}

// Selects the rows of the file list with these names, and only them.
inline void Select(MainWindow& w, const QStringList& names) {
  w.ListSelection()->clearSelection();
  for (int r = 0; r < w.ListModel()->rowCount(); ++r)
    if (names.contains(w.ListModel()->index(r, 0).data().toString()))
      w.ListSelection()->select(w.ListModel()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

// Runs a command and waits until its result has been drawn.
template <class F>
bool Await(MainWindow& w, F command) {
  QSignalSpy done(&w, &MainWindow::commandDone);
  command();
  return done.count() > 0 || done.wait(30000);
}

}  // namespace corvane::test
