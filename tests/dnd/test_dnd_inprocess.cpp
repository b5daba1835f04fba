// A drag started by this very process (as the program's own widgets would)
// into the separate drop-target program, on a private Xvfb. QDrag::exec()
// runs a nested event loop here, so the pointer is driven by DragGesture's
// signal-driven xdotool runs, never by a blocking call.
#include "dnd_driver.h"

#include <QApplication>
#include <QDir>
#include <QDrag>
#include <QFile>
#include <QJsonArray>
#include <QMimeData>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

using namespace std::chrono_literals;

namespace {

const QRect kSourceGeometry(100, 100, 300, 300);
const QRect kTargetGeometry(600, 100, 300, 300);

// Starts a drag of `files` when the left button is pressed and moved.
class DragWidget : public QWidget {
    Q_OBJECT
public:
    QStringList files;
    std::function<void()> afterExec; // runs as soon as exec() has returned
    std::optional<Qt::DropAction> result;

signals:
    void dragEnded();

protected:
    void mousePressEvent(QMouseEvent* event) override { m_press = event->position().toPoint(); }

    void mouseMoveEvent(QMouseEvent* event) override
    {
        if (result || m_dragging || !(event->buttons() & Qt::LeftButton)
            || (event->position().toPoint() - m_press).manhattanLength() < QApplication::startDragDistance())
            return;
        m_dragging = true;
        auto* mime = new QMimeData;
        QList<QUrl> urls;
        for (const QString& file : files)
            urls.append(QUrl::fromLocalFile(file));
        mime->setUrls(urls);
        auto* drag = new QDrag(this);
        drag->setMimeData(mime);
        result = drag->exec(Qt::CopyAction);
        m_dragging = false;
        if (afterExec)
            afterExec();
        emit dragEnded();
    }

private:
    QPoint m_press;
    bool m_dragging = false;
};

} // namespace

class TestDndInProcess : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsSet("DND_X_UNAVAILABLE"))
            QSKIP(qPrintable(qEnvironmentVariable("DND_X_UNAVAILABLE")));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_out = m_dir->filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(m_out));
        m_file = m_dir->filePath(QStringLiteral("payload.bin"));
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (int i = 0; i < 3000; ++i)
            file.putChar(char((i * 131 + 7) & 0xff));
    }

    void cleanup()
    {
        if (QTest::currentTestFailed() && m_target)
            qWarning().noquote() << m_target->diagnostics();
        m_target.reset();
        m_dir.reset();
    }

    void dropFromThisProcess();
    void sourceThatCleansUpWhenExecReturnsLosesTheDrop();

private:
    // Drags from a widget of this process into the target; returns the
    // target's drop report.
    std::optional<QJsonObject> dragInto(DragWidget& widget);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_out, m_file;
    std::unique_ptr<dnd::Peer> m_target;
};

std::optional<QJsonObject> TestDndInProcess::dragInto(DragWidget& widget)
{
    m_target = std::make_unique<dnd::Peer>(QStringLiteral("dnd_drop_target"));
    m_target->start(QStringLiteral(DND_DROP_TARGET),
                    {QStringLiteral("--out"), m_out, QStringLiteral("--once"), QStringLiteral("--geometry"),
                     QStringLiteral("%1,%2,%3,%4").arg(kTargetGeometry.x()).arg(kTargetGeometry.y())
                         .arg(kTargetGeometry.width()).arg(kTargetGeometry.height())},
                    QProcessEnvironment::systemEnvironment());
    const auto ready = m_target->waitReady(10s);
    if (!ready)
        return std::nullopt;

    widget.setGeometry(kSourceGeometry);
    widget.show();
    if (!QTest::qWaitForWindowExposed(&widget))
        return std::nullopt;

    dnd::DragGesture gesture(QProcessEnvironment::systemEnvironment(), kSourceGeometry.center(),
                             ready->geometry.center());
    gesture.setReleaseGate([this] { return m_target->findJson(QStringLiteral("event")).has_value(); }, 5s);
    connect(m_target.get(), &dnd::Peer::changed, &gesture, &dnd::DragGesture::recheck);
    gesture.start();
    // exec() and its nested loop run inside this wait.
    const bool ended = dnd::waitUntil([&] { return widget.result.has_value(); }, 20s, &widget, &DragWidget::dragEnded);
    if (!gesture.wait(15s) || !ended) {
        qWarning().noquote() << "drag did not complete:" << gesture.error();
        return std::nullopt;
    }
    // The data request is answered by this process's event loop, which runs
    // while waiting here.
    return m_target->waitForJson(QStringLiteral("urls"), 10s);
}

void TestDndInProcess::dropFromThisProcess()
{
    DragWidget widget;
    widget.files = {m_file};
    const auto report = dragInto(widget);
    QVERIFY(report);
    QCOMPARE(*widget.result, Qt::CopyAction);
    QCOMPARE(report->value(QStringLiteral("urls")).toInt(), 1);
    QFile original(m_file), copy(QDir(m_out).filePath(QStringLiteral("payload.bin")));
    QVERIFY(original.open(QIODevice::ReadOnly) && copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), original.readAll());
}

void TestDndInProcess::sourceThatCleansUpWhenExecReturnsLosesTheDrop()
{
    // exec() returns as soon as the button is up, before the target has asked
    // for the list, let alone read the files. A source that deletes its
    // temporary files at that point hands the target nothing; the harness
    // must show that.
    DragWidget widget;
    widget.files = {m_file};
    widget.afterExec = [this] { QFile::remove(m_file); };
    const auto report = dragInto(widget);
    QVERIFY(report);
    QCOMPARE(*widget.result, Qt::CopyAction);
    QCOMPARE(report->value(QStringLiteral("urls")).toInt(), 1);
    QCOMPARE(report->value(QStringLiteral("copied")).toArray().size(), 0);
    QCOMPARE(report->value(QStringLiteral("missing")).toArray(), QJsonArray{m_file});
}

int main(int argc, char** argv)
{
    if (const auto code = dnd::rerunUnderPrivateX(argc, argv, 100s))
        return *code;
    QApplication app(argc, argv);
    TestDndInProcess test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_dnd_inprocess.moc"
