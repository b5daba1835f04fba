#include "dnd_driver.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QStandardPaths>

#include <csignal>
#include <sys/prctl.h>

#include <cmath>
#include <cstdio>

namespace dnd {

namespace {

// An xdotool run covers at most a few hundred milliseconds of pointer moves;
// one that takes longer than this is stuck (e.g. "--sync" waiting for a move
// the server never made).
constexpr Ms kXdotoolDeadline{15000};

// Pauses between pointer moves. X delivers every motion, but the drag source
// answers each one with an XdndPosition and waits for the target's XdndStatus
// before sending the next; a short pause lets that exchange happen at each
// step, as with a hand on a mouse, instead of collapsing the path into one jump.
constexpr const char* kStepPause = "0.02";
// Pause before the release, so the target's answer to the last position is in
// before the button goes up: the source decides drop or no drop on what the
// target last answered.
constexpr const char* kSettlePause = "0.05";

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

// ---- DragGesture ------------------------------------------------------------

DragGesture::DragGesture(QProcessEnvironment env, QPoint from, QPoint to, QObject* parent)
    : QObject(parent), m_env(std::move(env)), m_from(from), m_to(to)
{
    m_xdotool.setProcessEnvironment(m_env);
    m_xdotool.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_xdotool.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_xdotool, &QProcess::finished, this, &DragGesture::onXdotoolEnded);
    connect(&m_xdotool, &QProcess::errorOccurred, this, [this](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            onXdotoolEnded();
    });
    m_watchdog.setSingleShot(true);
    connect(&m_watchdog, &QTimer::timeout, this, &DragGesture::onStuck);
    m_gateTimer.setSingleShot(true);
    connect(&m_gateTimer, &QTimer::timeout, this, [this] {
        if (m_stage == Stage::Holding) {
            m_gateTimedOut = true;
            release();
        }
    });
}

DragGesture::~DragGesture()
{
    if (m_xdotool.state() != QProcess::NotRunning) {
        m_xdotool.kill();
        m_xdotool.waitForFinished(-1);
    }
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
    QStringList args{QStringLiteral("mousemove"), QStringLiteral("--sync"), num(m_from.x()), num(m_from.y()),
                     QStringLiteral("mousedown"), QStringLiteral("1")};
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
    const int steps = std::max(1, int(std::ceil(std::hypot(rest.x(), rest.y()) / kMaxStepPx)));
    for (int i = 1; i <= steps; ++i)
        path.append(start + (rest * (double(i) / steps)).toPoint());
    QPoint previous = m_from;
    for (const QPoint& p : path) {
        if (p == previous)
            continue;
        args << QStringLiteral("sleep") << QLatin1String(kStepPause) << QStringLiteral("mousemove")
             << QStringLiteral("--sync") << num(p.x()) << num(p.y());
        previous = p;
    }
    m_stage = Stage::Carrying;
    run(args);
}

bool DragGesture::wait(Ms timeout)
{
    if (!waitUntil([this] { return isFinished(); }, timeout, this, &DragGesture::finished)) {
        fail(QStringLiteral("drag gesture not finished within %1 ms").arg(timeout.count()));
        waitUntil([this] { return isFinished(); }, kXdotoolDeadline, this, &DragGesture::finished);
    }
    return succeeded();
}

void DragGesture::recheck()
{
    if (m_stage == Stage::Holding && m_gate && m_gate())
        release();
}

void DragGesture::run(const QStringList& args)
{
    m_xdotool.start(QStringLiteral("xdotool"), args);
    m_watchdog.start(kXdotoolDeadline);
}

void DragGesture::onXdotoolEnded()
{
    m_watchdog.stop();
    const bool ok = m_xdotool.error() != QProcess::FailedToStart && m_xdotool.exitStatus() == QProcess::NormalExit
                    && m_xdotool.exitCode() == 0;
    if (!ok) {
        fail(QStringLiteral("xdotool failed (%1): %2")
                 .arg(m_xdotool.error() == QProcess::FailedToStart ? m_xdotool.errorString()
                                                                    : QStringLiteral("code %1").arg(m_xdotool.exitCode()),
                      QString::fromUtf8(m_xdotool.readAll())));
        return;
    }
    switch (m_stage) {
    case Stage::Carrying:
        m_stage = Stage::Holding;
        if (!m_gate || m_gate())
            release();
        else
            m_gateTimer.start(m_gateTimeout);
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
    m_xdotool.kill();
    m_xdotool.waitForFinished(-1); // finished() -> onXdotoolEnded() -> fail()
}

void DragGesture::release()
{
    m_gateTimer.stop();
    m_stage = Stage::Releasing;
    // A last small move and back gives the target one more position to answer
    // before the button goes up.
    const QPoint nudge = m_to + QPoint(3, 0);
    run({QStringLiteral("mousemove"), QStringLiteral("--sync"), num(nudge.x()), num(nudge.y()), QStringLiteral("sleep"),
         QLatin1String(kStepPause), QStringLiteral("mousemove"), QStringLiteral("--sync"), num(m_to.x()),
         num(m_to.y()), QStringLiteral("sleep"), QLatin1String(kSettlePause), QStringLiteral("mouseup"),
         QStringLiteral("1")});
}

void DragGesture::fail(const QString& error)
{
    if (m_stage == Stage::Done)
        return;
    if (m_error.isEmpty())
        m_error = error;
    m_gateTimer.stop();
    m_watchdog.stop();
    if (m_xdotool.state() != QProcess::NotRunning) {
        m_xdotool.blockSignals(true);
        m_xdotool.kill();
        m_xdotool.waitForFinished(-1);
        m_xdotool.blockSignals(false);
    }
    if (m_stage == Stage::Carrying || m_stage == Stage::Holding) {
        // The button may still be down; let it go so the next test starts clean.
        m_stage = Stage::Releasing;
        run({QStringLiteral("mouseup"), QStringLiteral("1")});
        return;
    }
    m_stage = Stage::Done;
    emit finished(false);
}

} // namespace dnd
