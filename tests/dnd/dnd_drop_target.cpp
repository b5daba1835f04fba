// dnd_drop_target: a window that takes file drops the way file managers do.
//
// It accepts drags offering text/uri-list with the copy action, asks for the
// list once, at the drop, and copies every local file named in it into --out.
// stdout (one JSON object a line, flushed):
//   ready <winid> x y w h                                 window mapped, global geometry
//   {"event":"enter","formats":[...],"accepted":bool}     a drag entered the window
//   {"urls":N,"bytes":B,"copied":[...],"missing":[...],"failed":[...],"ms":T}
//                                                         after a drop; T = time spent
//                                                         waiting for the list
//   {"pointer":[x,y]}                                     the pointer is over the window at x,y
//                                                         (no button down)
// The drop report also goes to --report FILE (appended) when given.
#include "peer_common.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QMimeData>
#include <QPainter>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

namespace {

const QString kUriList = QStringLiteral("text/uri-list");

class DropTarget : public QWidget {
public:
    DropTarget(QString outDir, QString reportPath, bool once)
        : m_outDir(std::move(outDir)), m_reportPath(std::move(reportPath)), m_once(once)
    {
        setWindowTitle(QStringLiteral("dnd-drop-target"));
        setAcceptDrops(true);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter(this).fillRect(rect(), m_accepting ? QColor(0x3c, 0x8d, 0x3c) : QColor(0x4a, 0x5a, 0x6a));
    }

    void dragEnterEvent(QDragEnterEvent* event) override
    {
        // Only the offered formats are looked at here. Reading data before the
        // drop would send the source a data request on every hover.
        const QStringList formats = event->mimeData()->formats();
        m_accepting = formats.contains(kUriList) && (event->possibleActions() & Qt::CopyAction);
        dndpeer::printLine(dndpeer::toLine({{"event", "enter"},
                                            {"formats", QJsonArray::fromStringList(formats)},
                                            {"accepted", m_accepting}}));
        acceptOrIgnore(event);
        update();
    }

    void dragMoveEvent(QDragMoveEvent* event) override { acceptOrIgnore(event); }

    void dragLeaveEvent(QDragLeaveEvent*) override
    {
        m_accepting = false;
        update();
    }

    void dropEvent(QDropEvent* event) override
    {
        if (!m_accepting) {
            event->ignore();
            return;
        }
        m_accepting = false;
        update();

        QElapsedTimer waited;
        waited.start();
        const QByteArray list = event->mimeData()->data(kUriList);
        const qint64 ms = waited.elapsed();

        QJsonArray copied, missing, failed;
        int urls = 0;
        for (QByteArray line : list.split('\n')) {
            line = line.trimmed(); // also drops the \r of CRLF lines
            if (line.isEmpty() || line.startsWith('#'))
                continue;
            ++urls;
            const QUrl url = QUrl::fromEncoded(line);
            if (!url.isLocalFile()) {
                missing.append(QString::fromUtf8(line));
                continue;
            }
            const QString source = url.toLocalFile();
            if (!QFileInfo(source).isFile()) {
                missing.append(source);
                continue;
            }
            const QString target = QDir(m_outDir).filePath(QFileInfo(source).fileName());
            if (const QString error = copyFile(source, target); error.isEmpty())
                copied.append(target);
            else
                failed.append(QJsonObject{{"file", source}, {"error", error}});
        }

        if (!copied.isEmpty()) {
            event->setDropAction(Qt::CopyAction);
            event->accept();
        } else {
            event->ignore();
        }

        const QByteArray report = dndpeer::toLine({{"urls", urls},
                                                   {"bytes", list.size()},
                                                   {"copied", copied},
                                                   {"missing", missing},
                                                   {"failed", failed},
                                                   {"ms", ms}});
        // The file first: a reader that sees the stdout line finds it complete.
        if (!m_reportPath.isEmpty()) {
            QFile file(m_reportPath);
            if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(report + '\n') != report.size() + 1)
                std::fprintf(stderr, "dnd_drop_target: cannot write %s: %s\n", qPrintable(m_reportPath),
                             qPrintable(file.errorString()));
        }
        dndpeer::printLine(report);
        if (m_once) // queued, so the drop finishes and the source is told first
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }

private:
    template <typename Event> void acceptOrIgnore(Event* event)
    {
        if (m_accepting) {
            event->setDropAction(Qt::CopyAction);
            event->accept();
        } else {
            event->ignore();
        }
    }

    // Plain byte copy. QSaveFile writes a temporary file and renames it on
    // commit, so the target is either whole or absent.
    static QString copyFile(const QString& from, const QString& to)
    {
        QFile in(from);
        if (!in.open(QIODevice::ReadOnly))
            return in.errorString();
        QSaveFile out(to);
        if (!out.open(QIODevice::WriteOnly))
            return out.errorString();
        while (!in.atEnd()) {
            const QByteArray chunk = in.read(64 * 1024);
            if (chunk.isEmpty() && in.error() != QFile::NoError)
                return in.errorString();
            if (out.write(chunk) != chunk.size())
                return out.errorString();
        }
        if (!out.commit())
            return out.errorString();
        return {};
    }

    QString m_outDir;
    QString m_reportPath;
    bool m_once;
    bool m_accepting = false;
};

} // namespace

int main(int argc, char** argv)
{
    const QString geometryArg = dndpeer::takeGeometryArg(argc, argv).value_or(QStringLiteral("600,100,300,300"));
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Window that accepts file drops and copies the files."));
    parser.addHelpOption();
    const QCommandLineOption outOption(QStringLiteral("out"), QStringLiteral("Folder the dropped files are copied to."),
                                       QStringLiteral("DIR"));
    const QCommandLineOption reportOption(QStringLiteral("report"), QStringLiteral("File the drop reports are appended to."),
                                          QStringLiteral("FILE"));
    // Listed for --help only: the value was taken out of argv above.
    const QCommandLineOption geometryOption(QStringLiteral("geometry"),
                                            QStringLiteral("Window position and size (default 600,100,300,300)."),
                                            QStringLiteral("X,Y,W,H"));
    const QCommandLineOption onceOption(QStringLiteral("once"), QStringLiteral("Exit after the first drop."));
    parser.addOptions({outOption, reportOption, geometryOption, onceOption});
    parser.process(app);

    const auto geometry = dndpeer::parseGeometry(geometryArg);
    if (!geometry) {
        std::fprintf(stderr, "dnd_drop_target: --geometry wants X,Y,W,H with a positive size\n");
        return 2;
    }
    const QString outDir = parser.value(outOption);
    if (outDir.isEmpty() || !QFileInfo(outDir).isDir()) {
        std::fprintf(stderr, "dnd_drop_target: --out must name an existing folder\n");
        return 2;
    }

    DropTarget window(outDir, parser.value(reportOption), parser.isSet(onceOption));
    window.setGeometry(*geometry);
    new dndpeer::ExposeWatcher(&window, [&window] {
        const QRect g = dndpeer::globalGeometry(&window);
        dndpeer::printLine(QStringLiteral("ready %1 %2 %3 %4 %5")
                               .arg(window.winId()).arg(g.x()).arg(g.y()).arg(g.width()).arg(g.height())
                               .toUtf8());
    });
    new dndpeer::PointerReporter(&window);
    window.show();
    return app.exec();
}
