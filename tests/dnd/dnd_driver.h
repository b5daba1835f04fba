// Test harness for drag and drop under a real X server (QtCore only):
//  - XServer starts a private Xvfb on a free display and stops it again;
//  - Peer runs a program, collects its stdout lines and waits for them;
//  - DragGesture presses, carries and releases the pointer with xdotool.
// Every wait has a deadline and runs the event loop instead of blocking it.
// Every child process gets SIGTERM if the test process dies, and is killed
// and reaped when its owner goes away.
#pragma once

#include <QEventLoop>
#include <QJsonObject>
#include <QObject>
#include <QPoint>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

namespace dnd {

using Ms = std::chrono::milliseconds;
using LineMatch = std::function<bool(const QByteArray&)>;

// True when `program` is found on PATH.
bool haveProgram(const QString& program);

// Runs a local event loop until done() holds or `timeout` passes; done() is
// checked at the start and each time `sender` emits `signal`. Returns done().
// Note: if a QDrag starts in this process while waiting, its own nested loop
// runs inside this one and this wait cannot return until the drag has ended.
template <typename Sender, typename Signal>
bool waitUntil(const std::function<bool()>& done, Ms timeout, const Sender* sender, Signal signal)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(sender, signal, &loop, [&] {
        if (done())
            loop.quit();
    });
    deadline.start(timeout);
    loop.exec();
    return done();
}

// What a peer's "ready [winid] x y w h" line says.
struct Ready {
    quint64 winId = 0; // 0 when the line has no window id
    QRect geometry;    // global, in screen pixels
};

// A child process talking in lines on stdout.
class Peer : public QObject {
    Q_OBJECT
public:
    explicit Peer(QString name, QObject* parent = nullptr);
    ~Peer() override;

    void start(const QString& program, const QStringList& args, const QProcessEnvironment& env);
    bool isRunning() const;

    const QList<QByteArray>& lines() const { return m_lines; }
    std::optional<QByteArray> findLine(const LineMatch& match) const;
    // First line matching, among those already received or arriving within
    // `timeout`. nullopt on timeout or when the process ended without one.
    std::optional<QByteArray> waitForLine(const LineMatch& match, Ms timeout);
    // First stdout line that is a JSON object having `key`.
    std::optional<QJsonObject> waitForJson(const QString& key, Ms timeout);
    std::optional<QJsonObject> findJson(const QString& key) const;
    std::optional<Ready> waitReady(Ms timeout);

    // Waits for the process to end by itself.
    bool waitForExit(Ms timeout);
    int exitCode() const { return m_process.exitCode(); }
    bool crashed() const { return m_process.exitStatus() == QProcess::CrashExit; }

    // SIGTERM, then SIGKILL after `grace`; the process is always reaped.
    void stop(Ms grace = Ms(2000));

    // Name, state, stdout and the end of stderr, for failure messages.
    QString diagnostics() const;

signals:
    void changed(); // a line arrived, or the process ended

private:
    void readOutput();

    QString m_name;
    QProcess m_process;
    QByteArray m_partial;
    QList<QByteArray> m_lines;
    QByteArray m_errors;
    bool m_exited = false;
};

// A private Xvfb. The server picks a free display itself (-displayfd) and
// reports it only once it accepts connections, so there is no race for a
// display number and no polling for the socket.
class XServer {
public:
    XServer();
    ~XServer();

    bool start(Ms timeout, QString* error, QSize screen = QSize(1280, 1024));
    void stop();
    QString display() const { return m_display; }
    // The caller's environment, pointed at this server, with Qt on xcb.
    QProcessEnvironment environment() const;

private:
    Peer m_xvfb;
    QString m_display;
};

// For a test whose own process must be a client of a private X server (a
// QDrag started by the test itself); call it first thing in main(). The first
// run starts Xvfb, runs this same program again on it with stdout and stderr
// passed through, and returns that run's exit code; the second run gets
// nullopt and goes on. When Xvfb or xdotool is missing, the second run has
// DND_X_UNAVAILABLE set to the reason (and the offscreen platform) so that
// the test can skip.
std::optional<int> rerunUnderPrivateX(int argc, char** argv, Ms timeout);

// Left-button drag from `from` to `to` with xdotool: press, carry the pointer
// in small steps, optionally hold until the target is seen to react, then a
// last small move and release. Each stage is one xdotool run, started from a
// signal, so the event loop of this process keeps running throughout; this
// also works when the QDrag runs in this process.
class DragGesture : public QObject {
    Q_OBJECT
public:
    DragGesture(QProcessEnvironment env, QPoint from, QPoint to, QObject* parent = nullptr);
    ~DragGesture() override;

    // Hold the button over `to` until ready() holds (checked on arrival and
    // on each recheck()) or `timeout` passes; then release either way.
    void setReleaseGate(std::function<bool()> ready, Ms timeout);
    void start();
    // Convenience for drags between other processes: waits for finished().
    bool wait(Ms timeout);

    bool isFinished() const { return m_stage == Stage::Done; }
    bool succeeded() const { return isFinished() && m_error.isEmpty(); }
    bool gateTimedOut() const { return m_gateTimedOut; }
    QString error() const { return m_error; }

public slots:
    void recheck();

signals:
    void finished(bool ok);

private:
    enum class Stage { Idle, Carrying, Holding, Releasing, Done };
    void run(const QStringList& args);
    void onXdotoolEnded();
    void onStuck();
    void release();
    void fail(const QString& error);

    QProcessEnvironment m_env;
    QPoint m_from;
    QPoint m_to;
    std::function<bool()> m_gate;
    Ms m_gateTimeout{0};
    Stage m_stage = Stage::Idle;
    QProcess m_xdotool;
    QTimer m_watchdog;
    QTimer m_gateTimer;
    QString m_error;
    bool m_gateTimedOut = false;
};

} // namespace dnd
