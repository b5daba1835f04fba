#include "dnd_driver.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QMouseEvent>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLibraryInfo>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QWidget>
#include <QWindow>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace dnd {

namespace {

// An xdotool run covers at most a few hundred milliseconds of pointer moves;
// one that takes longer than this is stuck (e.g. "--sync" waiting for a move
// the server never made).
constexpr Ms kPointerDeadline{15000};

// Pauses between pointer moves. X delivers every motion, but the drag source
// answers each one with an XdndPosition and waits for the target's XdndStatus
// before sending the next; a short pause lets that exchange happen at each
// step, as with a hand on a mouse, instead of collapsing the path into one jump.
constexpr int kStepPauseMs = 20;
// Pause before the release, so the target's answer to the last position is in
// before the button goes up: the source decides drop or no drop on what the
// target last answered.
constexpr int kSettlePauseMs = 50;
// While holding over the target on Wayland: a move of a few pixels this often.
constexpr Ms kHoverInterval{100};

// The distance Qt needs before a press turns into a drag is 10 px by default;
// the first steps are small so the source sees an ordinary move start it.
constexpr int kFirstSteps = 4;
constexpr int kFirstStepPx = 4;
constexpr int kMaxStepPx = 40;

QString num(int v) { return QString::number(v); }

} // namespace

bool haveProgram(const QString& program)
{
    return !QStandardPaths::findExecutable(program).isEmpty();
}

// ---- Peer -------------------------------------------------------------------

Peer::Peer(QString name, QObject* parent) : QObject(parent), m_name(std::move(name))
{
    // A test that crashes or is killed by its time-out takes its children along.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &Peer::readOutput);
    connect(&m_process, &QProcess::readyReadStandardError, this,
            [this] { m_errors += m_process.readAllStandardError(); });
    connect(&m_process, &QProcess::finished, this, [this] {
        readOutput();
        m_errors += m_process.readAllStandardError();
        m_exited = true;
        emit changed();
    });
    connect(&m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            m_errors += "failed to start: " + m_process.errorString().toUtf8() + '\n';
            m_exited = true;
            emit changed();
        }
    });
}

Peer::~Peer() { stop(); }

void Peer::start(const QString& program, const QStringList& args, const QProcessEnvironment& env)
{
    m_lines.clear();
    m_partial.clear();
    m_errors.clear();
    m_exited = false;
    m_process.setProcessEnvironment(env);
    m_process.start(program, args);
}

bool Peer::isRunning() const { return m_process.state() != QProcess::NotRunning; }

void Peer::readOutput()
{
    m_partial += m_process.readAllStandardOutput();
    bool added = false;
    for (qsizetype end; (end = m_partial.indexOf('\n')) >= 0;) {
        m_lines.append(m_partial.left(end));
        m_partial.remove(0, end + 1);
        added = true;
    }
    if (added)
        emit changed();
}

std::optional<QByteArray> Peer::findLine(const LineMatch& match) const
{
    for (const QByteArray& line : m_lines)
        if (match(line))
            return line;
    return std::nullopt;
}

std::optional<QByteArray> Peer::waitForLine(const LineMatch& match, Ms timeout)
{
    waitUntil([&] { return m_exited || findLine(match).has_value(); }, timeout, this, &Peer::changed);
    return findLine(match);
}

static bool isJsonWith(const QByteArray& line, const QString& key)
{
    if (!line.startsWith('{'))
        return false;
    const QJsonDocument doc = QJsonDocument::fromJson(line);
    return doc.isObject() && doc.object().contains(key);
}

std::optional<QJsonObject> Peer::findJson(const QString& key) const
{
    if (const auto line = findLine([&](const QByteArray& l) { return isJsonWith(l, key); }))
        return QJsonDocument::fromJson(*line).object();
    return std::nullopt;
}

std::optional<QJsonObject> Peer::waitForJson(const QString& key, Ms timeout)
{
    if (const auto line = waitForLine([&](const QByteArray& l) { return isJsonWith(l, key); }, timeout))
        return QJsonDocument::fromJson(*line).object();
    return std::nullopt;
}

std::optional<Ready> Peer::waitReady(Ms timeout)
{
    const auto line = waitForLine([](const QByteArray& l) { return l.startsWith("ready "); }, timeout);
    if (!line)
        return std::nullopt;
    const QList<QByteArray> fields = line->split(' ');
    if (fields.size() != 5 && fields.size() != 6)
        return std::nullopt;
    QList<qint64> v;
    for (qsizetype i = 1; i < fields.size(); ++i) {
        bool ok = false;
        v.append(fields[i].toLongLong(&ok));
        if (!ok)
            return std::nullopt;
    }
    Ready ready;
    if (v.size() == 5)
        ready.winId = static_cast<quint64>(v.takeFirst());
    ready.geometry = QRect(int(v[0]), int(v[1]), int(v[2]), int(v[3]));
    return ready;
}

bool Peer::waitForExit(Ms timeout)
{
    return waitUntil([this] { return m_exited || !isRunning(); }, timeout, this, &Peer::changed);
}

void Peer::stop(Ms grace)
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(int(grace.count()))) {
        m_process.kill();
        m_process.waitForFinished(-1); // SIGKILL cannot be refused; this reaps it
    }
}

QString Peer::diagnostics() const
{
    QString text = m_name
                   + (isRunning() ? QStringLiteral(" (running)")
                                  : QStringLiteral(" (ended, code %1)").arg(m_process.exitCode()));
    text += QStringLiteral("\n  stdout:");
    for (const QByteArray& line : m_lines)
        text += QStringLiteral("\n    ") + QString::fromUtf8(line);
    text += QStringLiteral("\n  stderr (end):\n") + QString::fromUtf8(m_errors.right(2000));
    return text;
}

// ---- XServer ----------------------------------------------------------------

XServer::XServer() : m_xvfb(QStringLiteral("Xvfb")) {}

XServer::~XServer() { stop(); }

bool XServer::start(Ms timeout, QString* error, QSize screen)
{
    // -displayfd 1: the server takes the first free display and writes its
    // number on stdout once it is listening. -noreset: without it the server
    // resets whenever its last client disconnects, between one peer and the next.
    m_xvfb.start(QStringLiteral("Xvfb"),
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
                  QStringLiteral("%1x%2x24").arg(screen.width()).arg(screen.height()), QStringLiteral("-nolisten"),
                  QStringLiteral("tcp"), QStringLiteral("-noreset")},
                 QProcessEnvironment::systemEnvironment());
    const auto line = m_xvfb.waitForLine([](const QByteArray& l) { return !l.trimmed().isEmpty(); }, timeout);
    bool ok = false;
    const int number = line ? line->trimmed().toInt(&ok) : -1;
    if (!ok || number < 0) {
        if (error)
            *error = QStringLiteral("Xvfb did not report a display within %1 ms\n%2")
                         .arg(timeout.count()).arg(m_xvfb.diagnostics());
        m_xvfb.stop();
        return false;
    }
    m_display = QStringLiteral(":%1").arg(number);
    return true;
}

void XServer::stop()
{
    m_xvfb.stop();
    m_display.clear();
}

QProcessEnvironment XServer::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // Keep the peers off a desktop session the caller may be running in.
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("SESSION_MANAGER"));
    env.remove(QStringLiteral("XAUTHORITY"));
    return env;
}

// ---- rerunUnderPrivateX ------------------------------------------------------

std::optional<int> rerunUnderPrivateX(int argc, char** argv, Ms timeout)
{
    static const char* const kMarker = "DND_PRIVATE_X_CHILD";
    if (qEnvironmentVariableIsSet(kMarker))
        return std::nullopt;

    QCoreApplication app(argc, argv);
    XServer x;
    QProcessEnvironment env;
    QString unavailable;
    if (!haveProgram(QStringLiteral("Xvfb")) || !haveProgram(QStringLiteral("xdotool")))
        unavailable = QStringLiteral("Xvfb or xdotool is not installed (Debian packages: xvfb xdotool)");
    else if (QString error; !x.start(Ms(10000), &error))
        unavailable = error;
    if (unavailable.isEmpty()) {
        env = x.environment();
    } else {
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DND_X_UNAVAILABLE"), unavailable);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }
    env.insert(QString::fromLatin1(kMarker), QStringLiteral("1"));

    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    child.start(QCoreApplication::applicationFilePath(), QCoreApplication::arguments().mid(1));
    if (!child.waitForStarted(10000)) {
        std::fprintf(stderr, "cannot rerun %s: %s\n", argv[0], qPrintable(child.errorString()));
        return 1;
    }
    if (!child.waitForFinished(int(timeout.count()))) {
        std::fprintf(stderr, "%s did not finish within %lld ms; killed\n", argv[0],
                     static_cast<long long>(timeout.count()));
        child.kill();
        child.waitForFinished(-1);
        return 1;
    }
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}

// ---- Platform ---------------------------------------------------------------

Platform platformFromEnvironment()
{
    return qEnvironmentVariable("DND_PLATFORM").compare(QLatin1String("wayland"), Qt::CaseInsensitive) == 0
               ? Platform::Wayland
               : Platform::X11;
}

QString platformName(Platform platform)
{
    return platform == Platform::Wayland ? QStringLiteral("Wayland") : QStringLiteral("X11");
}

bool displayRequired(Platform platform)
{
    if (qEnvironmentVariable("CI") == QLatin1String("true"))
        return true;
    return platform == Platform::Wayland && qEnvironmentVariable("CORVANE_REQUIRE_WAYLAND") == QLatin1String("1");
}

QString takeProgramArg(int& argc, char** argv, const char* name, const QString& fallback)
{
    const QByteArray prefix = QByteArray("--") + name + '=';
    QString value = fallback;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg.startsWith(prefix))
            value = QString::fromLocal8Bit(arg.mid(prefix.size()));
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    argv[argc] = nullptr;
    return value;
}

// ---- WaylandSession ---------------------------------------------------------

WaylandSession::WaylandSession() : m_sway(QStringLiteral("sway")), m_keyboard(QStringLiteral("wtype")) {}

WaylandSession::~WaylandSession() { stop(); }

bool WaylandSession::start(Ms timeout, QString* error, QSize output)
{
    auto failWith = [&](const QString& why) {
        if (error)
            *error = why;
        stop();
        return false;
    };
    for (const char* tool : {"sway", "swaymsg", "wtype", "wl-copy", "wl-paste"})
        if (!haveProgram(QString::fromLatin1(tool)))
            return failWith(QStringLiteral("%1 is not installed (Debian packages: sway wtype wl-clipboard qt6-wayland)")
                                .arg(QLatin1String(tool)));
    if (::geteuid() == 0)
        return failWith(QStringLiteral("sway does not run as root: run the Wayland tests as an ordinary user "
                                       "(ctest runs them through tests/dnd/wayland/run_as_user.sh)"));
    // QTemporaryDir makes the folder 0700, which is what Wayland clients check.
    m_runtime = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/corvane-wayland-XXXXXX"));
    if (!m_runtime->isValid())
        return failWith(QStringLiteral("cannot create a runtime folder in %1: %2")
                            .arg(QDir::tempPath(), m_runtime->errorString()));
    const QString config = m_runtime->filePath(QStringLiteral("sway.config"));
    {
        QFile file(config);
        // Windows open floating at the size they ask for, without borders, so
        // that a window's content starts at the position it is moved to. Focus
        // goes where the pointer clicks, not where it passes.
        const QByteArray text = QStringLiteral(
                                    "output HEADLESS-1 mode --custom %1x%2 position 0 0\n"
                                    "xwayland disable\n"
                                    "default_border none\n"
                                    "default_floating_border none\n"
                                    "focus_follows_mouse no\n"
                                    "for_window [app_id=\".*\"] floating enable\n"
                                    "exec echo \"ready $WAYLAND_DISPLAY $SWAYSOCK\"\n")
                                    .arg(output.width())
                                    .arg(output.height())
                                    .toUtf8();
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            return failWith(QStringLiteral("cannot write %1: %2").arg(config, file.errorString()));
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime->path());
    env.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
    env.insert(QStringLiteral("WLR_LIBINPUT_NO_DEVICES"), QStringLiteral("1"));
    env.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
    for (const char* name : {"WAYLAND_DISPLAY", "DISPLAY", "SWAYSOCK", "XAUTHORITY", "SESSION_MANAGER"})
        env.remove(QString::fromLatin1(name));
    // DND_SWAY_LOG=FILE: sway's debug log goes to FILE, for finding out what
    // the compositor made of the test's input.
    const QString log = qEnvironmentVariable("DND_SWAY_LOG");
    if (log.isEmpty())
        m_sway.start(QStringLiteral("sway"), {QStringLiteral("--config"), config}, env);
    else
        m_sway.start(QStringLiteral("sh"),
                     {QStringLiteral("-c"), QStringLiteral("exec sway -d --config \"$1\" 2>>\"$2\""), QStringLiteral("sh"),
                      config, log},
                     env);
    const auto line = m_sway.waitForLine([](const QByteArray& l) { return l.startsWith("ready "); }, timeout);
    const QList<QByteArray> fields = line ? line->trimmed().split(' ') : QList<QByteArray>();
    if (fields.size() != 3) {
        if (!m_sway.isRunning())
            return failWith(QStringLiteral("sway ended (exit code %1) before it was ready\n%2")
                                .arg(m_sway.crashed() ? -1 : m_sway.exitCode())
                                .arg(m_sway.diagnostics()));
        return failWith(QStringLiteral("sway did not come up within %1 ms\n%2").arg(timeout.count()).arg(m_sway.diagnostics()));
    }
    m_display = QString::fromLocal8Bit(fields[1]);
    m_swaySocket = QString::fromLocal8Bit(fields[2]);
    m_output = output;

    // The keyboard: a wtype that sleeps for a day (or until it is stopped).
    m_keyboard.start(QStringLiteral("wtype"), {QStringLiteral("-s"), QStringLiteral("86400000")}, environment());
    Peer swaymsg(QStringLiteral("swaymsg"));
    // Seat capabilities: 1 pointer, 2 keyboard. Each try waits for the answer
    // of swaymsg; the wtype has usually registered by the first one.
    for (int attempt = 0; attempt < 50; ++attempt) {
        swaymsg.start(QStringLiteral("swaymsg"), {QStringLiteral("-r"), QStringLiteral("-t"), QStringLiteral("get_seats")},
                      environment());
        if (!swaymsg.waitForExit(Ms(5000)))
            break;
        QByteArray all;
        for (const QByteArray& l : swaymsg.lines())
            all += l;
        const QJsonArray seats = QJsonDocument::fromJson(all).array();
        if (!seats.isEmpty() && (seats[0].toObject().value(QStringLiteral("capabilities")).toInt() & 2))
            return true;
        if (!m_keyboard.isRunning())
            break;
    }
    return failWith(QStringLiteral("the seat got no keyboard from wtype\n%1").arg(m_keyboard.diagnostics()));
}

void WaylandSession::stop()
{
    m_keyboard.stop();
    m_sway.stop();
    m_display.clear();
    m_runtime.reset();
}

QProcessEnvironment WaylandSession::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime ? m_runtime->path() : QString());
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), m_display);
    env.insert(QStringLiteral("SWAYSOCK"), m_swaySocket);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    // Qt draws no title bar of its own, so a window's content is its surface.
    env.insert(QStringLiteral("QT_WAYLAND_DISABLE_WINDOWDECORATION"), QStringLiteral("1"));
    env.insert(QStringLiteral("DND_PLATFORM"), QStringLiteral("wayland"));
    env.insert(QStringLiteral("DND_WAYLAND_OUTPUT"),
               QStringLiteral("%1x%2").arg(m_output.width()).arg(m_output.height()));
    for (const char* name : {"DISPLAY", "XAUTHORITY", "SESSION_MANAGER"})
        env.remove(QString::fromLatin1(name));
    return env;
}

// ---- Desktop ----------------------------------------------------------------

namespace {

QString& pointerProgram()
{
#ifdef DND_WL_POINTER
    static QString path = QStringLiteral(DND_WL_POINTER);
#else
    static QString path = QStringLiteral("wl_pointer");
#endif
    return path;
}

// xdotool arguments for a batch of steps.
QStringList xdotoolArgs(const QList<PointerStep>& steps)
{
    QStringList args;
    for (const PointerStep& s : steps) {
        switch (s.kind) {
        case PointerStep::Move:
            args << QStringLiteral("mousemove") << QStringLiteral("--sync") << num(s.at.x()) << num(s.at.y());
            break;
        case PointerStep::Down: args << QStringLiteral("mousedown") << QStringLiteral("1"); break;
        case PointerStep::Up: args << QStringLiteral("mouseup") << QStringLiteral("1"); break;
        case PointerStep::Pause:
            args << QStringLiteral("sleep") << QString::number(s.ms / 1000.0, 'f', 3);
            break;
        }
    }
    return args;
}

QByteArray pointerCommands(const QList<PointerStep>& steps)
{
    QByteArray out;
    for (const PointerStep& s : steps) {
        switch (s.kind) {
        case PointerStep::Move: out += "move " + QByteArray::number(std::max(0, s.at.x())) + ' '
                                       + QByteArray::number(std::max(0, s.at.y())) + '\n'; break;
        case PointerStep::Down: out += "down\n"; break;
        case PointerStep::Up: out += "up\n"; break;
        case PointerStep::Pause: out += "pause " + QByteArray::number(s.ms) + '\n'; break;
        }
    }
    return out;
}

// The view of process `pid` titled `title` in a sway tree, depth first.
std::optional<QJsonObject> findView(const QJsonObject& node, qint64 pid, const QString& title)
{
    // Qt may add the application's display name to the title it gives.
    if (node.value(QStringLiteral("pid")).toInteger() == pid
        && node.value(QStringLiteral("name")).toString().startsWith(title))
        return node;
    for (const char* key : {"nodes", "floating_nodes"})
        for (const QJsonValue& child : node.value(QLatin1String(key)).toArray())
            if (auto found = findView(child.toObject(), pid, title))
                return found;
    return std::nullopt;
}

QRect rectOf(const QJsonObject& o)
{
    return QRect(o.value(QStringLiteral("x")).toInt(), o.value(QStringLiteral("y")).toInt(),
                 o.value(QStringLiteral("width")).toInt(), o.value(QStringLiteral("height")).toInt());
}

} // namespace

Desktop::Desktop(Platform platform, QProcessEnvironment env, QObject* parent)
    : QObject(parent), m_platform(platform), m_env(std::move(env))
{
    m_xdotool.setProcessEnvironment(m_env);
    m_xdotool.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_xdotool.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_xdotool, &QProcess::finished, this, [this] {
        const bool ok = m_xdotool.exitStatus() == QProcess::NormalExit && m_xdotool.exitCode() == 0;
        const quint64 id = std::exchange(m_x11Running, 0);
        const QString output = QString::fromUtf8(m_xdotool.readAll());
        emit pointerDone(id, ok, ok ? QString() : QStringLiteral("xdotool failed (code %1): %2").arg(m_xdotool.exitCode()).arg(output));
        startNextX11Batch();
    });
    connect(&m_xdotool, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart)
            return;
        const quint64 id = std::exchange(m_x11Running, 0);
        emit pointerDone(id, false, QStringLiteral("xdotool failed: %1").arg(m_xdotool.errorString()));
        startNextX11Batch();
    });
    m_clipboardOwner.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_clipboardOwner.setProcessEnvironment(m_env);
    m_screenshotDir = m_env.value(QStringLiteral("DND_SCREENSHOT_DIR"), QDir::tempPath());
    // The pointer device exists from the start: a client binds its wl_pointer
    // when the seat announces one, and a press sent before that is lost.
    if (m_platform == Platform::Wayland) {
        QString error;
        if (!ensurePointerClient(&error))
            qWarning().noquote() << error;
    }
}

Desktop::~Desktop()
{
    releaseClipboard();
    if (m_xdotool.state() != QProcess::NotRunning) {
        m_xdotool.blockSignals(true);
        m_xdotool.kill();
        m_xdotool.waitForFinished(-1);
    }
    if (m_pointer) {
        // End of input releases the button if a failed test left it down.
        m_pointer->blockSignals(true);
        m_pointer->stop();
    }
}

std::unique_ptr<Desktop> Desktop::fromEnvironment()
{
    return std::make_unique<Desktop>(platformFromEnvironment(), QProcessEnvironment::systemEnvironment());
}

void Desktop::setPointerProgram(const QString& path)
{
    if (!path.isEmpty())
        pointerProgram() = path;
}

void Desktop::sendPointer(const QList<PointerStep>& steps, quint64 id)
{
    if (m_platform == Platform::X11) {
        m_x11Batches.append({id, xdotoolArgs(steps)});
        if (!m_x11Running)
            startNextX11Batch();
        return;
    }
    QString error;
    if (!ensurePointerClient(&error)) {
        // Queued, so the caller sees the signal after this call returns.
        QMetaObject::invokeMethod(this, [this, id, error] { emit pointerDone(id, false, error); }, Qt::QueuedConnection);
        return;
    }
    m_pointerPending.append(id);
    m_pointer->write(pointerCommands(steps) + "sync " + QByteArray::number(id) + '\n');
}

void Desktop::startNextX11Batch()
{
    if (m_x11Running || m_x11Batches.isEmpty())
        return;
    const auto [id, args] = m_x11Batches.takeFirst();
    m_x11Running = id;
    if (args.isEmpty()) {
        QMetaObject::invokeMethod(this, [this, id = id] {
            m_x11Running = 0;
            emit pointerDone(id, true, {});
            startNextX11Batch();
        }, Qt::QueuedConnection);
        return;
    }
    m_xdotool.start(QStringLiteral("xdotool"), args);
}

void Desktop::cancelPointer()
{
    m_x11Batches.clear();
    if (m_xdotool.state() != QProcess::NotRunning) {
        m_xdotool.kill(); // finished() reports the batch as failed
        m_xdotool.waitForFinished(-1);
    }
}

bool Desktop::ensurePointerClient(QString* error)
{
    if (m_pointer && m_pointer->isRunning())
        return true;
    if (m_pointer) {
        *error = QStringLiteral("wl_pointer has ended\n%1").arg(m_pointer->diagnostics());
        return false;
    }
    QString extent = m_env.value(QStringLiteral("DND_WAYLAND_OUTPUT"), QStringLiteral("1280x1024"));
    m_pointer = std::make_unique<Peer>(QStringLiteral("wl_pointer"));
    m_pointer->start(pointerProgram(), {QStringLiteral("--extent"), extent}, m_env);
    if (!m_pointer->waitForLine([](const QByteArray& l) { return l == "ready"; }, Ms(10000))) {
        *error = QStringLiteral("wl_pointer did not start\n%1").arg(m_pointer->diagnostics());
        return false;
    }
    m_pointerLinesSeen = m_pointer->lines().size();
    connect(m_pointer.get(), &Peer::changed, this, &Desktop::onPointerOutput);
    return true;
}

void Desktop::onPointerOutput()
{
    const QList<QByteArray>& lines = m_pointer->lines();
    for (; m_pointerLinesSeen < lines.size(); ++m_pointerLinesSeen) {
        const QByteArray& line = lines[m_pointerLinesSeen];
        if (!line.startsWith("ok "))
            continue;
        const quint64 id = line.mid(3).toULongLong();
        if (m_pointerPending.removeOne(id))
            emit pointerDone(id, true, {});
    }
    if (!m_pointer->isRunning()) {
        const QString why = QStringLiteral("wl_pointer has ended\n%1").arg(m_pointer->diagnostics());
        for (const quint64 id : std::exchange(m_pointerPending, {}))
            emit pointerDone(id, false, why);
    }
}

bool Desktop::pointer(const QList<PointerStep>& steps, QString* error)
{
    const quint64 id = m_nextId++;
    bool done = false, ok = false;
    QString why;
    const auto connection = connect(this, &Desktop::pointerDone, this, [&](quint64 doneId, bool doneOk, const QString& e) {
        if (doneId != id)
            return;
        done = true;
        ok = doneOk;
        why = e;
    });
    sendPointer(steps, id);
    waitUntil([&] { return done; }, kPointerDeadline, this, &Desktop::pointerDone);
    disconnect(connection);
    if (!done)
        why = QStringLiteral("the pointer did not answer within %1 ms").arg(kPointerDeadline.count());
    if (!ok)
        qWarning().noquote() << "pointer:" << why;
    if (error)
        *error = why;
    return ok;
}

bool Desktop::click(QPoint at)
{
    return pointer({{PointerStep::Move, at}, {PointerStep::Down, {}}, {PointerStep::Up, {}}});
}

bool Desktop::keys(const QString& combo)
{
    int code = -1;
    if (m_platform == Platform::X11) {
        run(QStringLiteral("xdotool"), {QStringLiteral("key"), combo}, Ms(15000), &code);
    } else {
        // wtype -M ctrl -k c -m ctrl
        QStringList parts = combo.split(QLatin1Char('+'));
        const QString key = parts.takeLast();
        QStringList args;
        for (const QString& m : parts)
            args << QStringLiteral("-M") << m;
        args << QStringLiteral("-k") << key;
        for (auto it = parts.crbegin(); it != parts.crend(); ++it)
            args << QStringLiteral("-m") << *it;
        run(QStringLiteral("wtype"), args, Ms(15000), &code);
    }
    return code == 0;
}

QByteArray Desktop::run(const QString& program, const QStringList& args, Ms timeout, int* exitCode)
{
    QProcess p;
    p.setProcessEnvironment(m_env);
    p.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    bool finished = false;
    connect(&p, &QProcess::finished, &p, [&] { finished = true; });
    p.start(program, args);
    if (!p.waitForStarted(5000)) {
        qWarning() << program << "did not start:" << p.errorString();
        if (exitCode)
            *exitCode = -1;
        return {};
    }
    if (!waitUntil([&] { return finished; }, timeout, &p, &QProcess::finished)) {
        p.kill();
        p.waitForFinished(5000);
        qWarning() << program << args << "did not end within" << timeout.count() << "ms";
    }
    if (exitCode)
        *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return p.readAllStandardOutput();
}

QStringList Desktop::clipboardFormats()
{
    const QByteArray out = m_platform == Platform::X11
                               ? run(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                                               QStringLiteral("-o"), QStringLiteral("-t"),
                                                               QStringLiteral("TARGETS")})
                               : run(QStringLiteral("wl-paste"), {QStringLiteral("--list-types")});
    QStringList formats;
    for (const QByteArray& line : out.split('\n'))
        if (!line.trimmed().isEmpty())
            formats << QString::fromUtf8(line.trimmed());
    return formats;
}

QByteArray Desktop::readClipboard(const QString& format)
{
    if (m_platform == Platform::X11)
        return run(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-o"),
                                             QStringLiteral("-t"), format});
    // -n: the bytes as offered, without a newline added.
    return run(QStringLiteral("wl-paste"), {QStringLiteral("-n"), QStringLiteral("-t"), format});
}

bool Desktop::ownClipboard(const QString& format, const QByteArray& data, QString* error)
{
    releaseClipboard();
    if (m_platform == Platform::X11)
        m_clipboardOwner.start(QStringLiteral("xclip"), {QStringLiteral("-quiet"), QStringLiteral("-selection"),
                                                          QStringLiteral("clipboard"), QStringLiteral("-t"), format,
                                                          QStringLiteral("-i")});
    else // --foreground: stays this process's child, and serves until stopped
        m_clipboardOwner.start(QStringLiteral("wl-copy"), {QStringLiteral("--foreground"), QStringLiteral("-t"), format});
    if (!m_clipboardOwner.waitForStarted(5000)) {
        *error = m_clipboardOwner.errorString();
        return false;
    }
    m_clipboardOwner.write(data);
    m_clipboardOwner.closeWriteChannel();
    return true;
}

void Desktop::releaseClipboard()
{
    if (m_clipboardOwner.state() == QProcess::NotRunning)
        return;
    m_clipboardOwner.kill();
    m_clipboardOwner.waitForFinished(5000);
}

std::optional<QRect> Desktop::findWindow(qint64 pid, const QString& title)
{
    const QByteArray tree = run(QStringLiteral("swaymsg"), {QStringLiteral("-r"), QStringLiteral("-t"), QStringLiteral("get_tree")});
    const auto view = findView(QJsonDocument::fromJson(tree).object(), pid, title);
    if (!view)
        return std::nullopt;
    // rect: the container on the screen; window_rect: the content within it.
    const QRect outer = rectOf(view->value(QStringLiteral("rect")).toObject());
    const QRect inner = rectOf(view->value(QStringLiteral("window_rect")).toObject());
    return QRect(outer.topLeft() + inner.topLeft(), inner.size());
}

std::optional<QRect> Desktop::place(qint64 pid, const QString& title, QPoint topLeft, QRect fallback, QString* error)
{
    if (m_platform == Platform::X11)
        return fallback;
    // A window that has just shown itself may not be in the tree yet: its
    // arrival is awaited through sway's window events.
    if (!m_windowEvents) {
        m_windowEvents = std::make_unique<Peer>(QStringLiteral("swaymsg subscribe"));
        m_windowEvents->start(QStringLiteral("swaymsg"),
                              {QStringLiteral("-m"), QStringLiteral("-t"), QStringLiteral("subscribe"), QStringLiteral("[\"window\"]")},
                              m_env);
        m_windowEvents->waitForLine([](const QByteArray& l) { return l.contains("success"); }, Ms(5000));
    }
    std::optional<QRect> found = findWindow(pid, title);
    QElapsedTimer waited;
    waited.start();
    while (!found && waited.elapsed() < 10000) {
        const qsizetype seen = m_windowEvents->lines().size();
        waitUntil([&] { return m_windowEvents->lines().size() > seen || !m_windowEvents->isRunning(); },
                  Ms(10000 - waited.elapsed()), m_windowEvents.get(), &Peer::changed);
        found = findWindow(pid, title);
        if (!m_windowEvents->isRunning())
            break;
    }
    if (!found) {
        *error = QStringLiteral("no window \"%1\" of process %2 in sway's tree").arg(title).arg(pid);
        return std::nullopt;
    }
    const QString criteria = QStringLiteral("[pid=%1 title=\"^%2\"]")
                                 .arg(pid)
                                 .arg(QRegularExpression::escape(title).replace(QLatin1Char('"'), QStringLiteral("\\\"")));
    int code = -1;
    const QByteArray answer = run(QStringLiteral("swaymsg"),
                                  {criteria + QStringLiteral(" move absolute position %1 %2").arg(topLeft.x()).arg(topLeft.y())},
                                  Ms(10000), &code);
    found = findWindow(pid, title);
    if (code != 0 || !found || found->topLeft() != topLeft) {
        *error = QStringLiteral("swaymsg did not move \"%1\" to %2,%3: %4")
                     .arg(title).arg(topLeft.x()).arg(topLeft.y()).arg(QString::fromUtf8(answer));
        return std::nullopt;
    }
    return found;
}

template <typename Sender, typename Signal>
bool Desktop::waitPointerSeen(QPoint screen, QPoint local, const std::function<std::optional<QPoint>()>& lastSeen,
                              const Sender* sender, Signal signal, QString* error)
{
    QElapsedTimer waited;
    waited.start();
    for (int attempt = 0; waited.elapsed() < 10000; ++attempt) {
        const QPoint nudge(attempt % 2, 0);
        QString pointerError;
        if (!pointer({{PointerStep::Move, screen + nudge}}, &pointerError)) {
            *error = QStringLiteral("cannot move the pointer: %1").arg(pointerError);
            return false;
        }
        if (waitUntil([&] { return lastSeen() == local + nudge; }, Ms(250), sender, signal))
            return true;
    }
    const auto seen = lastSeen();
    *error = QStringLiteral("the window did not see the pointer at %1,%2 within 10 s (last seen at %3): "
                            "sway did not move it")
                 .arg(local.x()).arg(local.y())
                 .arg(seen ? QStringLiteral("%1,%2").arg(seen->x()).arg(seen->y()) : QStringLiteral("nowhere"));
    return false;
}

std::optional<QRect> Desktop::place(Peer& peer, const QString& title, QPoint topLeft, QRect fallback, QString* error)
{
    const auto where = place(peer.processId(), title, topLeft, fallback, error);
    if (!where || m_platform == Platform::X11)
        return where;
    const auto lastSeen = [&peer]() -> std::optional<QPoint> {
        const QList<QByteArray>& lines = peer.lines();
        for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
            if (!line->startsWith("{\"pointer\""))
                continue;
            const QJsonArray at = QJsonDocument::fromJson(*line).object().value(QStringLiteral("pointer")).toArray();
            if (at.size() == 2)
                return QPoint(at[0].toInt(), at[1].toInt());
        }
        return std::nullopt;
    };
    const QPoint local(where->width() / 2, where->height() / 2);
    if (!waitPointerSeen(where->topLeft() + local, local, lastSeen, &peer, &Peer::changed, error)) {
        *error = QStringLiteral("\"%1\": %2").arg(title, *error);
        return std::nullopt;
    }
    return where;
}

bool Desktop::placeWindow(QWidget* window, QPoint topLeft, QString* error)
{
    if (m_platform == Platform::X11)
        return true;
    PointerWatch watch(window->windowHandle());
    const auto where = place(QCoreApplication::applicationPid(), window->windowTitle(), topLeft, {}, error);
    if (!where)
        return false;
    const QPoint local(where->width() / 2, where->height() / 2);
    if (!waitPointerSeen(where->topLeft() + local, local, [&watch] { return watch.last(); }, &watch,
                         &PointerWatch::moved, error)) {
        *error = QStringLiteral("\"%1\": %2").arg(window->windowTitle(), *error);
        return false;
    }
    m_origins.insert(window, where->topLeft());
    return true;
}

PointerWatch::PointerWatch(QObject* window) { window->installEventFilter(this); }

bool PointerWatch::eventFilter(QObject* watched, QEvent* event)
{
    std::optional<QPoint> at;
    if (event->type() == QEvent::Enter)
        at = static_cast<QEnterEvent*>(event)->position().toPoint();
    else if (event->type() == QEvent::MouseMove && static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton)
        at = static_cast<QMouseEvent*>(event)->position().toPoint();
    if (at) {
        m_last = at;
        emit moved();
    }
    return QObject::eventFilter(watched, event);
}

QPoint Desktop::toScreen(const QWidget* widget, QPoint local) const
{
    if (m_platform == Platform::X11)
        return widget->mapToGlobal(local);
    const QWidget* window = widget->window();
    const QPoint origin = m_origins.value(window);
    if (!m_origins.contains(window))
        qWarning().noquote() << "toScreen: window" << window->windowTitle() << "was not placed; assuming 0,0";
    return origin + widget->mapTo(window, local);
}

bool Desktop::screenshot(const QString& path)
{
    if (m_platform != Platform::Wayland)
        return false;
    int code = -1;
    run(QStringLiteral("grim"), {path}, Ms(15000), &code);
    return code == 0;
}

QString Desktop::screenshotForFailure(const QString& name)
{
    if (m_platform != Platform::Wayland)
        return {};
    const QString path = QDir(m_screenshotDir).filePath(
        QStringLiteral("%1-%2.png").arg(QCoreApplication::applicationName(), name));
    if (!screenshot(path)) {
        qWarning().noquote() << "grim could not take a screenshot to" << path;
        return {};
    }
    qWarning().noquote() << "screenshot of the failure:" << path;
    return path;
}

// ---- rerunUnderPrivateDisplay ------------------------------------------------

QString displayUnavailable()
{
    return qEnvironmentVariable(platformFromEnvironment() == Platform::Wayland ? "DND_WAYLAND_UNAVAILABLE"
                                                                              : "DND_X_UNAVAILABLE");
}

namespace {

// Whether Qt finds its Wayland platform plugin, where it looks for plugins.
bool haveWaylandPlugin()
{
    QStringList folders = qEnvironmentVariable("QT_PLUGIN_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    folders << QLibraryInfo::path(QLibraryInfo::PluginsPath);
    for (const QString& folder : folders)
        if (QFileInfo::exists(folder + QStringLiteral("/platforms/libqwayland-generic.so")))
            return true;
    return false;
}

} // namespace

std::optional<int> rerunUnderPrivateDisplay(int argc, char** argv, Ms timeout)
{
    const Platform platform = platformFromEnvironment();
    if (platform == Platform::X11) {
        if (displayRequired(platform) && !qEnvironmentVariableIsSet("DND_PRIVATE_X_CHILD")
            && (!haveProgram(QStringLiteral("Xvfb")) || !haveProgram(QStringLiteral("xdotool")))) {
            std::fprintf(stderr, "FAIL: Xvfb or xdotool is not installed (Debian packages: xvfb xdotool); "
                                 "scripts/install-deps.sh installs them\n");
            return 1;
        }
        return rerunUnderPrivateX(argc, argv, timeout);
    }
    static const char* const kMarker = "DND_PRIVATE_WAYLAND_CHILD";
    if (qEnvironmentVariableIsSet(kMarker))
        return std::nullopt;

    QCoreApplication app(argc, argv);
    WaylandSession session;
    QString unavailable;
    if (!haveProgram(QStringLiteral("grim")))
        unavailable = QStringLiteral("grim is not installed (Debian package: grim)");
    else if (!haveWaylandPlugin())
        unavailable = QStringLiteral("Qt's Wayland platform plugin is not installed (Debian package: qt6-wayland)");
    else if (QString error; !session.start(Ms(20000), &error))
        unavailable = error;
    QProcessEnvironment env;
    if (unavailable.isEmpty()) {
        env = session.environment();
    } else {
        if (displayRequired(platform)) {
            // In CI a lane that cannot run is broken, not skipped.
            std::fprintf(stderr, "FAIL: the Wayland tests cannot run: %s\n", qPrintable(unavailable));
            return 1;
        }
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DND_WAYLAND_UNAVAILABLE"), unavailable);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    }
    env.insert(QString::fromLatin1(kMarker), QStringLiteral("1"));

    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    child.start(QCoreApplication::applicationFilePath(), QCoreApplication::arguments().mid(1));
    if (!child.waitForStarted(10000)) {
        std::fprintf(stderr, "cannot rerun %s: %s\n", argv[0], qPrintable(child.errorString()));
        return 1;
    }
    if (!child.waitForFinished(int(timeout.count()))) {
        std::fprintf(stderr, "%s did not finish within %lld ms; killed\n", argv[0],
                     static_cast<long long>(timeout.count()));
        child.kill();
        child.waitForFinished(-1);
        return 1;
    }
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}

// ---- DragGesture ------------------------------------------------------------

DragGesture::DragGesture(QProcessEnvironment env, QPoint from, QPoint to, QObject* parent)
    : DragGesture(*new Desktop(Platform::X11, std::move(env)), from, to, parent)
{
    m_ownDesktop.reset(m_desktop);
}

DragGesture::DragGesture(Desktop& desktop, QPoint from, QPoint to, QObject* parent)
    : QObject(parent), m_desktop(&desktop), m_from(from), m_to(to)
{
    connect(m_desktop, &Desktop::pointerDone, this, &DragGesture::onStageEnded);
    m_watchdog.setSingleShot(true);
    connect(&m_watchdog, &QTimer::timeout, this, &DragGesture::onStuck);
    m_gateTimer.setSingleShot(true);
    connect(&m_gateTimer, &QTimer::timeout, this, [this] {
        if (m_stage == Stage::Holding) {
            m_gateTimedOut = true;
            release();
        }
    });
    m_hover.setInterval(kHoverInterval);
    connect(&m_hover, &QTimer::timeout, this, [this] {
        if (m_stage != Stage::Holding)
            return;
        m_hoverSide = !m_hoverSide;
        // Not awaited: the moves go in order before the release's steps.
        m_desktop->sendPointer({{PointerStep::Move, m_to + QPoint(m_hoverSide ? 2 : 0, 0)}}, 0);
    });
}

DragGesture::~DragGesture()
{
    disconnect(m_desktop, nullptr, this, nullptr);
}

void DragGesture::setReleaseGate(std::function<bool()> ready, Ms timeout)
{
    m_gate = std::move(ready);
    m_gateTimeout = timeout;
}

void DragGesture::start()
{
    if (m_stage != Stage::Idle)
        return;
    QList<PointerStep> steps{{PointerStep::Move, m_from}, {PointerStep::Down, {}}};
    // The path: a few short steps towards the target, then steps of at most
    // kMaxStepPx; points that repeat the previous one are left out.
    const QPointF delta = m_to - m_from;
    const double length = std::hypot(delta.x(), delta.y());
    const QPointF unit = length > 0 ? delta / length : QPointF(1, 0);
    QList<QPoint> path;
    for (int i = 1; i <= kFirstSteps && i * kFirstStepPx < length; ++i)
        path.append(m_from + (unit * (i * kFirstStepPx)).toPoint());
    const QPoint start = path.isEmpty() ? m_from : path.last();
    const QPointF rest = m_to - start;
    const int count = std::max(1, int(std::ceil(std::hypot(rest.x(), rest.y()) / kMaxStepPx)));
    for (int i = 1; i <= count; ++i)
        path.append(start + (rest * (double(i) / count)).toPoint());
    QPoint previous = m_from;
    for (const QPoint& p : path) {
        if (p == previous)
            continue;
        steps << PointerStep{PointerStep::Pause, {}, kStepPauseMs} << PointerStep{PointerStep::Move, p};
        previous = p;
    }
    m_stage = Stage::Carrying;
    run(steps);
}

bool DragGesture::wait(Ms timeout)
{
    if (!waitUntil([this] { return isFinished(); }, timeout, this, &DragGesture::finished)) {
        fail(QStringLiteral("drag gesture not finished within %1 ms").arg(timeout.count()));
        waitUntil([this] { return isFinished(); }, kPointerDeadline, this, &DragGesture::finished);
    }
    return succeeded();
}

void DragGesture::recheck()
{
    if (m_stage == Stage::Holding && m_gate && m_gate())
        release();
}

void DragGesture::run(const QList<PointerStep>& steps)
{
    m_running = s_nextId++;
    m_watchdog.start(kPointerDeadline);
    m_desktop->sendPointer(steps, m_running);
}

void DragGesture::onStageEnded(quint64 id, bool ok, const QString& error)
{
    if (id == 0 || id != m_running)
        return;
    m_running = 0;
    m_watchdog.stop();
    if (!ok) {
        fail(error);
        return;
    }
    switch (m_stage) {
    case Stage::Carrying:
        m_stage = Stage::Holding;
        if (!m_gate || m_gate()) {
            release();
        } else {
            m_gateTimer.start(m_gateTimeout);
            if (m_desktop->isWayland())
                m_hover.start();
        }
        break;
    case Stage::Releasing:
        m_stage = Stage::Done;
        emit finished(m_error.isEmpty());
        break;
    default:
        break;
    }
}

void DragGesture::onStuck()
{
    m_running = 0;
    m_desktop->cancelPointer();
    fail(QStringLiteral("the pointer did not finish a stage within %1 ms").arg(kPointerDeadline.count()));
}

void DragGesture::release()
{
    m_gateTimer.stop();
    m_hover.stop();
    m_stage = Stage::Releasing;
    // A last small move and back gives the target one more position to answer
    // before the button goes up.
    run({{PointerStep::Move, m_to + QPoint(3, 0)},
         {PointerStep::Pause, {}, kStepPauseMs},
         {PointerStep::Move, m_to},
         {PointerStep::Pause, {}, kSettlePauseMs},
         {PointerStep::Up, {}}});
}

void DragGesture::fail(const QString& error)
{
    if (m_stage == Stage::Done)
        return;
    if (m_error.isEmpty())
        m_error = error;
    m_gateTimer.stop();
    m_hover.stop();
    if (m_stage == Stage::Carrying || m_stage == Stage::Holding) {
        // The button may still be down; let it go so the next test starts clean.
        m_stage = Stage::Releasing;
        run({{PointerStep::Up, {}}});
        return;
    }
    m_watchdog.stop();
    m_running = 0;
    m_stage = Stage::Done;
    emit finished(false);
}

} // namespace dnd
