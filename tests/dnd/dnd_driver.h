// Test harness for drag and drop under a real display server (QtCore only):
//  - XServer starts a private Xvfb on a free display and stops it again;
//  - WaylandSession starts a private headless sway compositor;
//  - Peer runs a program, collects its stdout lines and waits for them;
//  - Desktop is what a test does to the display: pointer, keys, clipboard,
//    window placement and screenshots, with xdotool/xclip on X11 and
//    wl_pointer/wtype/wl-clipboard/swaymsg/grim on Wayland;
//  - DragGesture presses, carries and releases the pointer.
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
#include <QHash>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

#include <chrono>
#include <functional>
#include <optional>

class QWidget;

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
    qint64 processId() const { return m_process.processId(); }
    // Writes to the process's stdin.
    void write(const QByteArray& bytes) { m_process.write(bytes); }

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

enum class Platform { X11, Wayland };

// The platform a run tests: DND_PLATFORM=wayland selects Wayland, anything
// else (or nothing) X11.
Platform platformFromEnvironment();
QString platformName(Platform platform);
// Whether a display server that cannot be had fails the test instead of
// skipping it: in CI (CI=true), and on Wayland also with CORVANE_REQUIRE_WAYLAND=1.
bool displayRequired(Platform platform);

// Takes "--NAME=PATH" out of argv (before QApplication and QTest see it) and
// returns PATH, or `fallback` when absent. Paths passed this way are copied
// where the unprivileged user can reach them by tests/support/run_unprivileged.sh.
QString takeProgramArg(int& argc, char** argv, const char* name, const QString& fallback);

// A private headless sway. It refuses to run as root: run the test as an
// ordinary user (ctest does so through tests/dnd/wayland/run_as_user.sh).
// The runtime folder (XDG_RUNTIME_DIR) is a new 0700 folder of the caller's;
// the compositor says when it is ready through a line of its own config, so
// there is no polling for its sockets. A wtype process is kept running for
// the whole session: without an input device the seat has no keyboard, and
// clients would never get keyboard focus.
class WaylandSession {
public:
    WaylandSession();
    ~WaylandSession();

    bool start(Ms timeout, QString* error, QSize output = QSize(1280, 1024));
    void stop();
    // The caller's environment, pointed at this compositor, with Qt on wayland.
    QProcessEnvironment environment() const;

private:
    std::unique_ptr<QTemporaryDir> m_runtime;
    Peer m_sway;
    Peer m_keyboard;
    QString m_display;
    QString m_swaySocket;
    QSize m_output;
};

// One step of the pointer's path.
struct PointerStep {
    enum Kind { Move, Down, Up, Pause } kind;
    QPoint at;  // Move
    int ms = 0; // Pause
};

// What a test does to the display it runs on. On X11 (Xvfb, no window
// manager) windows are where they asked to be and mapToGlobal() is right. On
// Wayland no client knows where its windows are: place() puts a window at a
// known position with swaymsg and toScreen() maps from there.
class Desktop : public QObject {
    Q_OBJECT
public:
    Desktop(Platform platform, QProcessEnvironment env, QObject* parent = nullptr);
    ~Desktop() override;
    // For a process started by rerunUnderPrivateDisplay().
    static std::unique_ptr<Desktop> fromEnvironment();
    // The wl_pointer program (compiled in; tests may pass --wl-pointer=PATH).
    static void setPointerProgram(const QString& path);

    Platform platform() const { return m_platform; }
    bool isWayland() const { return m_platform == Platform::Wayland; }
    const QProcessEnvironment& environment() const { return m_env; }

    // Pointer steps, run in order after those sent before; pointerDone(id)
    // once the display server has handled them. Does not block.
    void sendPointer(const QList<PointerStep>& steps, quint64 id);
    // The same, waiting (with the event loop running) until they are done.
    bool pointer(const QList<PointerStep>& steps, QString* error = nullptr);
    // Drops the batches not yet run and stops the one running (X11).
    void cancelPointer();
    bool moveTo(QPoint at) { return pointer({{PointerStep::Move, at}}); }
    bool click(QPoint at);
    // A key with modifiers, written as "ctrl+c".
    bool keys(const QString& combo);

    // Runs a program to its end with the event loop running (the clipboard
    // tools ask this process for the clipboard and wait for the answer).
    QByteArray run(const QString& program, const QStringList& args, Ms timeout = Ms(15000), int* exitCode = nullptr);
    // The formats the clipboard offers, and its content in `format`.
    QStringList clipboardFormats();
    QByteArray readClipboard(const QString& format);
    // Another program takes the clipboard and serves `data` until
    // releaseClipboard() or the end of this object.
    bool ownClipboard(const QString& format, const QByteArray& data, QString* error);
    void releaseClipboard();

    // Puts the window of process `pid` titled `title` with its top left
    // corner at `topLeft` and returns where its content is on the screen.
    // On X11 it returns `fallback` (where the window asked to be).
    std::optional<QRect> place(qint64 pid, const QString& title, QPoint topLeft, QRect fallback, QString* error);
    // The same for the window of a peer, and on Wayland it then waits until
    // the move has taken effect: sway applies it only once the window has
    // answered its configure, and until then the pointer meets the window at
    // its old place. The pointer is moved over the window's centre until the
    // peer reports it there ({"pointer":[x,y]}, dndpeer::PointerReporter).
    std::optional<QRect> place(Peer& peer, const QString& title, QPoint topLeft, QRect fallback, QString* error);
    // The same for a top-level widget of this process, watched directly.
    bool placeWindow(QWidget* window, QPoint topLeft, QString* error);
    // Screen position of `local` in `widget`.
    QPoint toScreen(const QWidget* widget, QPoint local) const;
    // Writes a PNG of the whole screen (Wayland only; false elsewhere).
    bool screenshot(const QString& path);
    // On Wayland, a screenshot named after the test program and `name` in
    // DND_SCREENSHOT_DIR (else the temporary folder at construction); its
    // path, which is also logged, or empty.
    QString screenshotForFailure(const QString& name);

signals:
    void pointerDone(quint64 id, bool ok, const QString& error);

private:
    void startNextX11Batch();
    bool ensurePointerClient(QString* error);
    void onPointerOutput();
    std::optional<QRect> findWindow(qint64 pid, const QString& title);
    // Moves the pointer to `screen` (and one pixel to the right, by turns)
    // until lastSeen() says the window saw it at `local` (plus that pixel).
    template <typename Sender, typename Signal>
    bool waitPointerSeen(QPoint screen, QPoint local, const std::function<std::optional<QPoint>()>& lastSeen,
                         const Sender* sender, Signal signal, QString* error);

    Platform m_platform;
    QProcessEnvironment m_env;
    // X11: one xdotool run per batch, in order.
    QList<QPair<quint64, QStringList>> m_x11Batches;
    QProcess m_xdotool;
    quint64 m_x11Running = 0;
    // Wayland: one wl_pointer for the whole run.
    std::unique_ptr<Peer> m_pointer;
    qsizetype m_pointerLinesSeen = 0;
    QList<quint64> m_pointerPending;
    std::unique_ptr<Peer> m_windowEvents; // swaymsg -t subscribe '["window"]'
    QProcess m_clipboardOwner;
    QHash<const QWidget*, QPoint> m_origins;
    QString m_screenshotDir;
    quint64 m_nextId = quint64(1) << 32; // apart from DragGesture's ids
};

// Where the pointer was last seen over a window of this process, for
// Desktop::placeWindow().
class PointerWatch : public QObject {
    Q_OBJECT
public:
    explicit PointerWatch(QObject* window);
    std::optional<QPoint> last() const { return m_last; }
signals:
    void moved();
protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
private:
    std::optional<QPoint> m_last;
};

// For a test whose own process must be a client of a private X server (a
// QDrag started by the test itself); call it first thing in main(). The first
// run starts Xvfb, runs this same program again on it with stdout and stderr
// passed through, and returns that run's exit code; the second run gets
// nullopt and goes on. When Xvfb or xdotool is missing, the second run has
// DND_X_UNAVAILABLE set to the reason (and the offscreen platform) so that
// the test can skip.
std::optional<int> rerunUnderPrivateX(int argc, char** argv, Ms timeout);
// The same on the platform of platformFromEnvironment(). On Wayland the second
// run has DND_WAYLAND_UNAVAILABLE set instead when sway or wtype is missing or
// does not start. Where displayRequired() holds, the first run fails instead.
std::optional<int> rerunUnderPrivateDisplay(int argc, char** argv, Ms timeout);
// Why the display server of this run is missing, empty when it is there.
QString displayUnavailable();

// Left-button drag from `from` to `to`: press, carry the pointer in small
// steps, optionally hold until the target is seen to react, then a last small
// move and release. Each stage is sent to the desktop and its end comes as a
// signal, so the event loop of this process keeps running throughout; this
// also works when the QDrag runs in this process. On Wayland the pointer keeps
// moving a little over the target while it holds: the compositor lets a drag
// that starts late (after a fetch) enter a window only on motion.
class DragGesture : public QObject {
    Q_OBJECT
public:
    // On X11 (xdotool) in `env`.
    DragGesture(QProcessEnvironment env, QPoint from, QPoint to, QObject* parent = nullptr);
    DragGesture(Desktop& desktop, QPoint from, QPoint to, QObject* parent = nullptr);
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
    void run(const QList<PointerStep>& steps);
    void onStageEnded(quint64 id, bool ok, const QString& error);
    void onStuck();
    void release();
    void fail(const QString& error);

    std::unique_ptr<Desktop> m_ownDesktop;
    Desktop* m_desktop;
    QPoint m_from;
    QPoint m_to;
    std::function<bool()> m_gate;
    Ms m_gateTimeout{0};
    Stage m_stage = Stage::Idle;
    quint64 m_running = 0; // id of the stage being run
    static inline quint64 s_nextId = 1;
    QTimer m_watchdog;
    QTimer m_gateTimer;
    QTimer m_hover; // Wayland: small moves over the target while holding
    bool m_hoverSide = false;
    QString m_error;
    bool m_gateTimedOut = false;
};

} // namespace dnd
