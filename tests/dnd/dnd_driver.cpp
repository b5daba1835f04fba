// The harness's Peer, the platform choice and DragGesture; the display
// sessions are in dnd_display_sessions.cpp, the Desktop in dnd_desktop.cpp.
#include "dnd_driver.h"
#include "dnd_driver_internal.h"

#include <QJsonDocument>
#include <QStandardPaths>

#include <csignal>
#include <sys/prctl.h>

#include <cmath>

namespace dnd {

using internal::kPointerDeadline;

namespace {

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
