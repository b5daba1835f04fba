// Bits shared by the two drag-and-drop peer programs: their stdout protocol
// (one line per message, flushed at once) and the "ready" line printed when the
// window is really on screen.
#pragma once

#include <QEvent>
#include <QEnterEvent>
#include <QJsonArray>
#include <QMouseEvent>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QRect>
#include <QStringList>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <functional>
#include <optional>

namespace dndpeer {

inline void printLine(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

inline QByteArray toLine(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// "X,Y,W,H" -> rectangle; nullopt when malformed.
inline std::optional<QRect> parseGeometry(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return std::nullopt;
    int v[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        v[i] = parts[i].trimmed().toInt(&ok);
        if (!ok)
            return std::nullopt;
    }
    if (v[2] <= 0 || v[3] <= 0)
        return std::nullopt;
    return QRect(v[0], v[1], v[2], v[3]);
}

// Calls `onExposed` once, the first time the widget's native window is mapped
// and exposed. showEvent() comes before the X server has mapped the window, so
// a driver acting on it could press the pointer over nothing.
class ExposeWatcher : public QObject {
public:
    ExposeWatcher(QWidget* widget, std::function<void()> onExposed)
        : QObject(widget), m_widget(widget), m_onExposed(std::move(onExposed))
    {
        m_widget->winId(); // creates the QWindow so it can be watched
        m_widget->windowHandle()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!m_done && event->type() == QEvent::Expose && m_widget->windowHandle()->isExposed()) {
            m_done = true;
            m_onExposed();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget* m_widget;
    std::function<void()> m_onExposed;
    bool m_done = false;
};

// Prints {"pointer":[x,y]} (window coordinates) when the pointer enters the
// widget's window or moves over it with no button down. A driver that has
// asked the compositor to move the window learns from it that the move has
// taken effect: until then the pointer meets the window where it was.
class PointerReporter : public QObject {
public:
    explicit PointerReporter(QWidget* widget) : QObject(widget), m_widget(widget)
    {
        m_widget->winId();
        m_widget->windowHandle()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        std::optional<QPoint> at;
        if (event->type() == QEvent::Enter)
            at = static_cast<QEnterEvent*>(event)->position().toPoint();
        else if (event->type() == QEvent::MouseMove && static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton)
            at = static_cast<QMouseEvent*>(event)->position().toPoint();
        if (at && at != m_last) {
            m_last = at;
            printLine(toLine({{"pointer", QJsonArray{at->x(), at->y()}}}));
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget* m_widget;
    std::optional<QPoint> m_last;
};

// Takes "--geometry VALUE" / "--geometry=VALUE" out of argv and returns VALUE.
// Must run before QApplication is built: on xcb QGuiApplication claims
// -geometry/--geometry for itself (the X11 "first window" option), removes it
// from the arguments and applies its own reading of it to the first window.
inline std::optional<QString> takeGeometryArg(int& argc, char** argv)
{
    std::optional<QString> value;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if ((arg == "--geometry" || arg == "-geometry") && i + 1 < argc) {
            value = QString::fromLocal8Bit(argv[++i]);
        } else if (arg.startsWith("--geometry=")) {
            value = QString::fromLocal8Bit(arg.mid(11));
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return value;
}

inline QRect globalGeometry(const QWidget* widget)
{
    return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
}

} // namespace dndpeer
