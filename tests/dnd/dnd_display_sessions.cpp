// The private display sessions: Xvfb, headless sway, and the reruns of a
// test binary under one of them.
#include "dnd_driver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLibraryInfo>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>

namespace dnd {

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

namespace {

// Runs this program again with its arguments in `env`, ended with this
// process, and gives its exit code (1 when it could not start, crashed or
// outran `timeout`).
int rerunIn(const QProcessEnvironment& env, char** argv, Ms timeout)
{
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

} // namespace

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

    return rerunIn(env, argv, timeout);
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

    return rerunIn(env, argv, timeout);
}

} // namespace dnd
