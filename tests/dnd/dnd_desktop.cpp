// Desktop, what a test does to the display, and PointerWatch.
#include "dnd_driver.h"
#include "dnd_driver_internal.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QWidget>
#include <QWindow>

#include <csignal>
#include <sys/prctl.h>

namespace dnd {

using internal::kPointerDeadline;

// ---- Desktop ----------------------------------------------------------------

namespace {

QString num(int v) { return QString::number(v); }

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

} // namespace dnd
