// corvane-kit: the desktop program.
//
//   corvane-kit [--quillon] [--emulator [tallis|quillon]] [--port PATH]... [--port-dir DIR]...
//
// --quillon          run as the kit of the Quillon (also a saved setting
//                    "Options/Quillon" = 1); the Tallis otherwise
// --emulator [kind]  start an emulated device of the chosen kind on a
//                    pseudo-terminal, serving a demo folder, and offer it in
//                    the port list, so that "Auto" finds it
// --port PATH        offer PATH in the port list (repeatable)
// --port-dir DIR     offer the serial devices in DIR, and links to them, and
//                    follow them as they appear and vanish (repeatable)
// --bench-exit       (benchmarks) quit once the first folder is on screen and
//                    print how long that took
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "emulator/emulated_device.h"
#include "gui/entry_list_model.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "link/serial_port.h"

namespace {

void Usage() {
  std::fputs(
      "usage: corvane-kit [--quillon] [--emulator [tallis|quillon]] [--port PATH]... [--port-dir DIR]...\n"
      "  --quillon          run as the Quillon kit (the Tallis kit otherwise)\n"
      "  --emulator [kind]  start an emulated device on a pseudo-terminal over a demo folder\n"
      "  --port PATH        add PATH to the list of serial ports\n"
      "  --port-dir DIR     add the serial devices in DIR (and links to them) to the list,\n"
      "                     following them as they are plugged in and out\n"
      "  --version          print the version\n",
      stdout);
}

void WriteFile(const QString& path, const std::string& bytes) {
  std::ofstream out(QFile::encodeName(path).toStdString(), std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Pattern(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 31 + seed * 7 + (i >> 7)) & 0xFF);
  return s;
}

// A small device worth looking at: a few files and folders of either kind.
void FillDemoFolder(const QString& root, bool quillon) {
  QDir dir(root);
  if (quillon) {
    dir.mkpath(QStringLiteral("Documents"));
    dir.mkpath(QStringLiteral("Programs/Games"));
    dir.mkpath(QStringLiteral("Pictures"));
    WriteFile(dir.filePath(QStringLiteral("readme.txt")),
              "This is the demo folder of the emulated Quillon.\r\nCopy files in and out to try the kit.\r\n");
    WriteFile(dir.filePath(QStringLiteral("notes.txt")), "Shopping: milk, bread, batteries.\r\n");
    WriteFile(dir.filePath(QStringLiteral("Documents/letter.txt")), "Dear reader,\r\nthis letter lives on the device.\r\n");
    WriteFile(dir.filePath(QStringLiteral("Documents/budget.csv")), "month;amount\r\njan;120\r\nfeb;95\r\n");
    WriteFile(dir.filePath(QStringLiteral("Programs/calc.prg")), Pattern(5120, 1));
    WriteFile(dir.filePath(QStringLiteral("Programs/Games/maze.prg")), Pattern(23000, 2));
    WriteFile(dir.filePath(QStringLiteral("Pictures/sunset.bmp")), Pattern(38462, 3));
  } else {
    dir.mkpath(QStringLiteral("DEMO"));
    dir.mkpath(QStringLiteral("MATHS"));
    WriteFile(dir.filePath(QStringLiteral("AREA")), "\xAB R SQ \xCF * \xBB");
    WriteFile(dir.filePath(QStringLiteral("GREET")), "\xAB \"HELLO FROM THE TALLIS\" 1 DISP \xBB");
    WriteFile(dir.filePath(QStringLiteral("NOTES")), "\"Batteries: change in May\"");
    WriteFile(dir.filePath(QStringLiteral("DEMO/PLOT")), Pattern(1500, 4));
    WriteFile(dir.filePath(QStringLiteral("DEMO/TABLE")), Pattern(3200, 5));
    WriteFile(dir.filePath(QStringLiteral("MATHS/SOLVE")), Pattern(880, 6));
  }
}

// --version, --help and a missing display are answered before Qt starts.
std::optional<int> AnswerWithoutDisplay(int argc, char** argv) {
  bool wantsPlatform = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--version") {
      std::printf("corvane-kit %d.%d.%d\n", CORVANE_VERSION_MAJOR, CORVANE_VERSION_MINOR, CORVANE_VERSION_PATCH);
      return 0;
    }
    if (a == "--help" || a == "-h") {
      Usage();
      return 0;
    }
    if (a == "-platform") wantsPlatform = true;
  }
  // Without a display Qt would abort with a terse message: say what to do.
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !wantsPlatform) {
    std::fputs(
        "corvane-kit: there is no graphical display (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
        "Start it from a desktop session, or under a virtual display:\n"
        "    xvfb-run -a corvane-kit --emulator\n"
        "The command-line tool 'corvane' does the same work without a display.\n",
        stderr);
    return 1;
  }
  return std::nullopt;
}

struct Launch {
  corvane::MainWindowOptions window;
  bool emulator = false;
  bool benchExit = false;
};

// The program's own arguments (Qt has taken its own); an exit code when the
// program should end at once.
std::optional<int> ParseArguments(const QStringList& args, Launch& launch) {
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == QLatin1String("--quillon")) {
      launch.window.quillon = true;
    } else if (a == QLatin1String("--tallis")) {
      launch.window.quillon = false;
    } else if (a == QLatin1String("--emulator")) {
      launch.emulator = true;
      if (i + 1 < args.size() && (args[i + 1] == QLatin1String("quillon") || args[i + 1] == QLatin1String("tallis")))
        launch.window.quillon = args[++i] == QLatin1String("quillon");
    } else if (a == QLatin1String("--port") && i + 1 < args.size()) {
      corvane::AddExtraSerialPort(args[++i].toStdString());
    } else if (a == QLatin1String("--port-dir") && i + 1 < args.size()) {
      launch.window.portFolders.push_back(QFile::encodeName(args[++i]).toStdString());
    } else if (a == QLatin1String("--bench-exit")) {
      launch.benchExit = true;
    } else {
      std::fprintf(stderr, "corvane-kit: unknown argument '%s'\n", qPrintable(a));
      Usage();
      return 2;
    }
  }
  return std::nullopt;
}

// The emulated device of --emulator over a demo folder; both live for the whole run.
struct Emulator {
  std::unique_ptr<QTemporaryDir> demo;
  std::unique_ptr<corvane::emu::EmulatedDevice> device;

  void Start(bool quillon) {
    // A temporary folder that cannot be used (TMPDIR naming nothing, where
    // Qt's temporary path is empty) does not keep the demo from starting; the
    // window says what is wrong with it when it needs it.
    const QString temp = QDir::tempPath();
    const bool usable = !temp.isEmpty() && QFileInfo(temp).isDir();
    if (usable) demo = std::make_unique<QTemporaryDir>(temp + QStringLiteral("/corvane-demo-XXXXXX"));
    if (!usable || (!demo->isValid() && temp != QLatin1String("/tmp")))
      demo = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/corvane-demo-XXXXXX"));
    if (!demo->isValid()) throw std::runtime_error("cannot create the demo folder: " + demo->errorString().toStdString());
    FillDemoFolder(demo->path(), quillon);
    corvane::emu::DeviceOptions o;
    o.kind = quillon ? corvane::emu::DeviceKind::kQuillon : corvane::emu::DeviceKind::kTallis;
    o.root = QFile::encodeName(demo->path()).toStdString();
    device = std::make_unique<corvane::emu::EmulatedDevice>(o);
    const std::string path = device->StartPty();
    corvane::AddExtraSerialPort(path);
    std::fprintf(stderr, "corvane-kit: emulated %s on %s, serving %s\n", quillon ? "Quillon" : "Tallis", path.c_str(),
                 qPrintable(demo->path()));
  }
  ~Emulator() {
    if (device) device->Stop();
  }
};

}  // namespace

int main(int argc, char** argv) {
  QElapsedTimer sinceStart;
  sinceStart.start();
  if (const auto code = AnswerWithoutDisplay(argc, argv)) return *code;
  QApplication app(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Corvane"));
  QApplication::setApplicationName(QStringLiteral("Quillon Connectivity kit"));

  Launch launch;
  {
    QSettings settings(QStringLiteral("Corvane"), QStringLiteral("Quillon Connectivity kit"));
    launch.window.quillon = settings.value(QStringLiteral("Options/Quillon")).toString() == QLatin1String("1");
  }
  if (const auto code = ParseArguments(QApplication::arguments(), launch)) return *code;

  Emulator emulator;
  if (launch.emulator) {
    try {
      emulator.Start(launch.window.quillon);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "corvane-kit: the emulator could not start: %s\n", e.what());
      return 1;
    }
  }

  corvane::MainWindow window(launch.window);
  if (launch.benchExit) {
    QObject::connect(&window, &corvane::MainWindow::commandDone, &window, [&window, &sinceStart] {
      // Once the entries are painted.
      QTimer::singleShot(0, &window, [&window, &sinceStart] {
        std::fprintf(stderr, "corvane-kit: %d entries on screen %lld ms after start\n",
                     window.ListModel()->rowCount(), static_cast<long long>(sinceStart.elapsed()));
        QApplication::quit();
      });
    });
  }
  window.show();
  return QApplication::exec();
}
