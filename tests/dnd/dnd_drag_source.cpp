// dnd_drag_source: a window that starts a real drag when the mouse is pressed
// and moved inside it, offering the files given on the command line as
// text/uri-list (or, with --text, a plain text snippet) with the copy action.
// stdout (one line each, flushed):
//   ready x y w h                                     window mapped, global geometry
//   {"served":"<format>","ms":T}                      a data request was answered
//                                                     (T includes --delay-ms)
//   {"result":"copy"|"move"|"link"|"ignore"}          the drag has ended (at the drop,
//                                                     before any data was asked for)
//   {"event":"released"}                              the target said it is done with
//                                                     the drop; the data is gone now
//   {"pointer":[x,y]}                                 the pointer is over the window at x,y
//                                                     (no button down)
#include "peer_common.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDrag>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QUrl>

namespace {

// Answers data requests after a fixed delay, blocking the event loop the whole
// time the way a busy or hung program would.
class SlowMimeData : public QMimeData {
public:
    explicit SlowMimeData(int delayMs) : m_delayMs(delayMs) {}

protected:
    QVariant retrieveData(const QString& format, QMetaType type) const override
    {
        QElapsedTimer timer;
        timer.start();
        if (m_delayMs > 0)
            QThread::msleep(static_cast<unsigned long>(m_delayMs));
        QVariant value = QMimeData::retrieveData(format, type);
        dndpeer::printLine(dndpeer::toLine({{"served", format}, {"ms", timer.elapsed()}}));
        return value;
    }

private:
    int m_delayMs;
};

QString actionName(Qt::DropAction action)
{
    switch (action) {
    case Qt::CopyAction: return QStringLiteral("copy");
    case Qt::MoveAction: return QStringLiteral("move");
    case Qt::LinkAction: return QStringLiteral("link");
    case Qt::IgnoreAction: return QStringLiteral("ignore");
    default: return QStringLiteral("other");
    }
}

class DragSource : public QWidget {
public:
    DragSource(QList<QUrl> urls, QString text, int delayMs, bool once)
        : m_urls(std::move(urls)), m_text(std::move(text)), m_delayMs(delayMs), m_once(once)
    {
        setWindowTitle(QStringLiteral("dnd-drag-source"));
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter(this).fillRect(rect(), m_dragging ? QColor(0x8d, 0x6a, 0x3c) : QColor(0x6a, 0x4a, 0x5a));
    }

    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton)
            m_pressPos = event->position().toPoint();
    }

    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (m_dragging || m_dragged || !(event->buttons() & Qt::LeftButton))
            return;
        if ((event->position().toPoint() - m_pressPos).manhattanLength() < QApplication::startDragDistance())
            return;
        runDrag();
    }

private:
    void runDrag()
    {
        m_dragging = true;
        update();
        auto* mime = new SlowMimeData(m_delayMs);
        if (m_urls.isEmpty())
            mime->setText(m_text);
        else
            mime->setUrls(m_urls);

        // On the heap: after exec() the X11 backend keeps the drag, and with it
        // the mime data, to answer the target's data request, and deletes it
        // once the target reports that it has finished with the drop.
        auto* drag = new QDrag(this);
        drag->setMimeData(mime);
        const QPointer<QDrag> alive(drag);
        connect(drag, &QObject::destroyed, qApp, [once = m_once] {
            dndpeer::printLine(dndpeer::toLine({{"event", "released"}}));
            if (once)
                QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        });
        const Qt::DropAction result = drag->exec(Qt::CopyAction);
        m_dragging = false;
        m_dragged = m_once;
        update();
        dndpeer::printLine(dndpeer::toLine({{"result", actionName(result)}}));

        // exec() returns at the drop, before the target has asked for the data.
        // With --once: stay until the drag is released (above); a refused drag
        // has nothing left to serve; and a target that never reports back gets
        // a bounded time.
        if (m_once && (result == Qt::IgnoreAction || !alive))
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        else if (m_once)
            QTimer::singleShot(m_delayMs + 15000, qApp, &QCoreApplication::quit);
    }

    QList<QUrl> m_urls;
    QString m_text;
    int m_delayMs;
    bool m_once;
    QPoint m_pressPos;
    bool m_dragging = false;
    bool m_dragged = false;
};

} // namespace

int main(int argc, char** argv)
{
    const QString geometryArg = dndpeer::takeGeometryArg(argc, argv).value_or(QStringLiteral("100,100,300,300"));
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Window that drags the given files (or text) out."));
    parser.addHelpOption();
    // Listed for --help only: the value was taken out of argv above.
    const QCommandLineOption geometryOption(QStringLiteral("geometry"),
                                            QStringLiteral("Window position and size (default 100,100,300,300)."),
                                            QStringLiteral("X,Y,W,H"));
    const QCommandLineOption textOption(QStringLiteral("text"), QStringLiteral("Offer this text/plain instead of files."),
                                        QStringLiteral("TEXT"));
    const QCommandLineOption delayOption(QStringLiteral("delay-ms"),
                                         QStringLiteral("Block this long before answering each data request."),
                                         QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption onceOption(QStringLiteral("once"), QStringLiteral("Exit after one drag."));
    parser.addOptions({geometryOption, textOption, delayOption, onceOption});
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("Local files to offer."), QStringLiteral("[FILE...]"));
    parser.process(app);

    const auto geometry = dndpeer::parseGeometry(geometryArg);
    bool delayOk = false;
    const int delayMs = parser.value(delayOption).toInt(&delayOk);
    if (!geometry || !delayOk || delayMs < 0) {
        std::fprintf(stderr, "dnd_drag_source: --geometry wants X,Y,W,H and --delay-ms a number of milliseconds\n");
        return 2;
    }
    QList<QUrl> urls;
    for (const QString& file : parser.positionalArguments())
        urls.append(QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath()));
    if (urls.isEmpty() == !parser.isSet(textOption)) {
        std::fprintf(stderr, "dnd_drag_source: give either files or --text TEXT\n");
        return 2;
    }

    DragSource window(urls, parser.value(textOption), delayMs, parser.isSet(onceOption));
    window.setGeometry(*geometry);
    new dndpeer::ExposeWatcher(&window, [&window] {
        const QRect g = dndpeer::globalGeometry(&window);
        dndpeer::printLine(QStringLiteral("ready %1 %2 %3 %4").arg(g.x()).arg(g.y()).arg(g.width()).arg(g.height()).toUtf8());
    });
    new dndpeer::PointerReporter(&window);
    window.show();
    return app.exec();
}
