// Drags between the two peer programs on a private Xvfb driven by xdotool or,
// with DND_PLATFORM=wayland, a private headless sway driven by wl_pointer:
// proves the harness before the program's own drag and drop is tested with it.
#include "dnd_driver.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

namespace {

const QRect kSourceGeometry(100, 100, 300, 300);
const QRect kTargetGeometry(600, 100, 300, 300);

QString geometryArg(const QRect& r)
{
    return QStringLiteral("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// The peer programs; tests run as another user are given copies (--drop-target=, --drag-source=).
QString g_dropTarget = QStringLiteral(DND_DROP_TARGET);
QString g_dragSource = QStringLiteral(DND_DRAG_SOURCE);

QByteArray patternBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 0x2545f491;
    for (char& b : bytes) { // every byte value, no runs: a short or shifted copy shows
        state = state * 1664525u + 1013904223u;
        b = char(state >> 24);
    }
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestDndPeers : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void dropCopiesTheFiles_data();
    void dropCopiesTheFiles();
    void plainTextIsRefused();
    void targetGivesUpOnASourceThatDoesNotAnswer();

private:
    // Starts both peers and waits until their windows are mapped.
    bool startPeers(const QStringList& sourceArgs);
    // Drags from the source's centre to the target's, holding the button over
    // the target until it has seen the drag enter.
    bool drag();
    QString diagnostics() const;

    QProcessEnvironment environment() const;

    dnd::XServer m_x;
    dnd::WaylandSession m_wayland;
    std::unique_ptr<dnd::Desktop> m_desktop;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_in, m_out, m_report;
    std::unique_ptr<dnd::Peer> m_source, m_target;
    QRect m_sourceRect, m_targetRect;
};

void TestDndPeers::initTestCase()
{
    const dnd::Platform platform = dnd::platformFromEnvironment();
    QString error;
    if (platform == dnd::Platform::Wayland) {
        if (!m_wayland.start(20s, &error)) {
            if (dnd::displayRequired(platform))
                QFAIL(qPrintable(QStringLiteral("the Wayland tests cannot run: ") + error));
            QSKIP(qPrintable(error));
        }
    } else {
        for (const char* tool : {"Xvfb", "xdotool"})
            if (!dnd::haveProgram(QString::fromLatin1(tool))) {
                const QString why = QStringLiteral("%1 is not installed (Debian packages: xvfb xdotool)").arg(tool);
                if (dnd::displayRequired(platform))
                    QFAIL(qPrintable(why));
                QSKIP(qPrintable(why));
            }
        QVERIFY2(m_x.start(10s, &error), qPrintable(error));
    }
    m_desktop = std::make_unique<dnd::Desktop>(platform, environment());
    qInfo("on %s", qPrintable(dnd::platformName(platform)));
}

void TestDndPeers::cleanupTestCase()
{
    m_desktop.reset();
    m_x.stop();
    m_wayland.stop();
}

QProcessEnvironment TestDndPeers::environment() const
{
    return dnd::platformFromEnvironment() == dnd::Platform::Wayland ? m_wayland.environment() : m_x.environment();
}

void TestDndPeers::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_in = m_dir->filePath(QStringLiteral("in"));
    m_out = m_dir->filePath(QStringLiteral("out"));
    m_report = m_dir->filePath(QStringLiteral("report.jsonl"));
    QVERIFY(QDir().mkpath(m_in) && QDir().mkpath(m_out));
}

void TestDndPeers::cleanup()
{
    if (QTest::currentTestFailed()) {
        qWarning().noquote() << diagnostics();
        m_desktop->screenshotForFailure(QString::fromLatin1(QTest::currentTestFunction()));
    }
    m_source.reset(); // stops and reaps
    m_target.reset();
    m_dir.reset();
}

bool TestDndPeers::startPeers(const QStringList& sourceArgs)
{
    m_target = std::make_unique<dnd::Peer>(QStringLiteral("dnd_drop_target"));
    m_target->start(g_dropTarget,
                    {QStringLiteral("--out"), m_out, QStringLiteral("--report"), m_report, QStringLiteral("--once"),
                     QStringLiteral("--geometry"), geometryArg(kTargetGeometry)},
                    environment());
    m_source = std::make_unique<dnd::Peer>(QStringLiteral("dnd_drag_source"));
    m_source->start(g_dragSource,
                    QStringList{QStringLiteral("--once"), QStringLiteral("--geometry"), geometryArg(kSourceGeometry)}
                        + sourceArgs,
                    environment());
    const auto target = m_target->waitReady(10s);
    const auto source = m_source->waitReady(10s);
    if (!target || !source)
        return false;
    QString error;
    const auto targetRect = m_desktop->place(*m_target, QStringLiteral("dnd-drop-target"),
                                             kTargetGeometry.topLeft(), target->geometry, &error);
    const auto sourceRect = m_desktop->place(*m_source, QStringLiteral("dnd-drag-source"),
                                             kSourceGeometry.topLeft(), source->geometry, &error);
    if (!targetRect || !sourceRect) {
        qWarning().noquote() << error;
        return false;
    }
    m_targetRect = *targetRect;
    m_sourceRect = *sourceRect;
    // Without a window manager the windows sit exactly where they were asked
    // to; sway has put them there and they kept the size they asked for.
    return target->winId != 0 && m_targetRect == kTargetGeometry && m_sourceRect == kSourceGeometry;
}

bool TestDndPeers::drag()
{
    dnd::DragGesture gesture(*m_desktop, m_sourceRect.center(), m_targetRect.center());
    gesture.setReleaseGate([this] { return m_target->findJson(QStringLiteral("event")).has_value(); }, 5s);
    connect(m_target.get(), &dnd::Peer::changed, &gesture, &dnd::DragGesture::recheck);
    gesture.start();
    if (!gesture.wait(30s)) {
        qWarning().noquote() << "drag gesture:" << gesture.error();
        return false;
    }
    return true;
}

QString TestDndPeers::diagnostics() const
{
    QString text;
    for (const auto* peer : {m_source.get(), m_target.get()})
        if (peer)
            text += peer->diagnostics() + QLatin1Char('\n');
    return text;
}

void TestDndPeers::dropCopiesTheFiles_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("removedBeforeDrop");
    QTest::newRow("one file") << QStringList{QStringLiteral("a.bin")} << QStringList{};
    // Names that must survive URL encoding, and a file that is gone by the
    // time of the drop: the target reports it missing and copies the rest.
    QTest::newRow("encoded names, one gone")
        << QStringList{QStringLiteral("with space.bin"), QStringLiteral("ünï%23#.bin"), QStringLiteral("gone.bin")}
        << QStringList{QStringLiteral("gone.bin")};
}

void TestDndPeers::dropCopiesTheFiles()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, removedBeforeDrop);

    QStringList paths;
    for (int i = 0; i < names.size(); ++i) {
        paths.append(QDir(m_in).filePath(names[i]));
        QVERIFY(writeFile(paths.last(), patternBytes(3000 + i)));
    }
    QVERIFY2(startPeers(paths), qPrintable(diagnostics()));
    for (const QString& name : removedBeforeDrop)
        QVERIFY(QFile::remove(QDir(m_in).filePath(name)));

    QVERIFY2(drag(), qPrintable(diagnostics()));
    const auto report = m_target->waitForJson(QStringLiteral("urls"), 15s);
    QVERIFY2(report, qPrintable(diagnostics()));
    const auto result = m_source->waitForJson(QStringLiteral("result"), 15s);
    QVERIFY2(result, qPrintable(diagnostics()));

    QCOMPARE(report->value(QStringLiteral("urls")).toInt(), names.size());
    QCOMPARE(result->value(QStringLiteral("result")).toString(), QStringLiteral("copy"));
    QStringList copied, missing;
    for (const QJsonValue& v : report->value(QStringLiteral("copied")).toArray())
        copied.append(v.toString());
    for (const QJsonValue& v : report->value(QStringLiteral("missing")).toArray())
        missing.append(v.toString());
    QCOMPARE(report->value(QStringLiteral("failed")).toArray().size(), 0);
    for (int i = 0; i < names.size(); ++i) {
        const QString copy = QDir(m_out).filePath(names[i]);
        if (removedBeforeDrop.contains(names[i])) {
            QVERIFY(missing.contains(paths[i]));
            QVERIFY(!QFile::exists(copy));
        } else {
            QVERIFY(copied.contains(copy));
            QCOMPARE(readFile(copy), patternBytes(3000 + i));
        }
    }
    QCOMPARE(copied.size() + missing.size(), names.size());

    // The report file holds the same single line.
    QCOMPARE(readFile(m_report).trimmed(), *m_target->findLine([](const QByteArray& l) { return l.contains("\"urls\""); }));

    // --once: both end by themselves, and cleanly, once the data was served.
    QVERIFY2(m_target->waitForExit(10s) && m_source->waitForExit(10s), qPrintable(diagnostics()));
    QCOMPARE(m_target->exitCode(), 0);
    QCOMPARE(m_source->exitCode(), 0);
    // The target asked for the list once, at the drop, and for nothing else.
    int served = 0;
    for (const QByteArray& line : m_source->lines())
        served += line.contains("\"served\"");
    QCOMPARE(served, 1);
    QCOMPARE(m_source->findJson(QStringLiteral("served"))->value(QStringLiteral("served")).toString(),
             QStringLiteral("text/uri-list"));
}

void TestDndPeers::plainTextIsRefused()
{
    QVERIFY2(startPeers({QStringLiteral("--text"), QStringLiteral("just some text")}), qPrintable(diagnostics()));
    QVERIFY2(drag(), qPrintable(diagnostics()));

    const auto enter = m_target->findJson(QStringLiteral("event"));
    QVERIFY2(enter, qPrintable(diagnostics()));
    QCOMPARE(enter->value(QStringLiteral("accepted")).toBool(), false);
    QVERIFY(enter->value(QStringLiteral("formats")).toArray().contains(QStringLiteral("text/plain")));

    const auto result = m_source->waitForJson(QStringLiteral("result"), 15s);
    QVERIFY2(result, qPrintable(diagnostics()));
    QCOMPARE(result->value(QStringLiteral("result")).toString(), QStringLiteral("ignore"));
    // A refused drag ends with a leave, not a drop: once the source knows the
    // outcome there is no drop on its way, so no report can come any more.
    QVERIFY2(m_source->waitForExit(10s), qPrintable(diagnostics()));
    m_target->stop();
    QVERIFY(!m_target->findJson(QStringLiteral("urls")));
    QVERIFY(!QFile::exists(m_report));
    QVERIFY(!m_source->findJson(QStringLiteral("served"))); // nothing was asked of the source
}

void TestDndPeers::targetGivesUpOnASourceThatDoesNotAnswer()
{
    // The source blocks 7 s on every data request; the target's toolkit gives
    // up after its own limit (about 5 s on X11, 1 s on Wayland) and the drop
    // delivers nothing.
    const QString path = QDir(m_in).filePath(QStringLiteral("slow.bin"));
    QVERIFY(writeFile(path, patternBytes(3000)));
    QVERIFY2(startPeers({QStringLiteral("--delay-ms"), QStringLiteral("7000"), path}), qPrintable(diagnostics()));
    QVERIFY2(drag(), qPrintable(diagnostics()));

    const auto report = m_target->waitForJson(QStringLiteral("urls"), 15s);
    QVERIFY2(report, qPrintable(diagnostics()));
    const int waitedMs = report->value(QStringLiteral("ms")).toInt();
    qInfo("target waited %d ms for a source that answers after 7000 ms", waitedMs);
    QCOMPARE(report->value(QStringLiteral("urls")).toInt(), 0);
    QCOMPARE(report->value(QStringLiteral("bytes")).toInt(), 0);
    QVERIFY(QDir(m_out).isEmpty());
    const int limitMs = dnd::platformFromEnvironment() == dnd::Platform::Wayland ? 1000 : 5000;
    QVERIFY2(waitedMs >= limitMs * 8 / 10 && waitedMs < 7000, qPrintable(QString::number(waitedMs)));
    // The source's drag has long ended, typically as "copy": the outcome a
    // source sees says what the target offered to do, not what it received.
    // (On Wayland the source answers inside its drag, so the drag ends only
    // once the blocked answer is over.)
    const auto result = m_source->waitForJson(QStringLiteral("result"), 15s);
    QVERIFY2(result, qPrintable(diagnostics()));
    qInfo("source's drag ended as \"%s\"", qPrintable(result->value(QStringLiteral("result")).toString()));
}

int main(int argc, char** argv)
{
    g_dropTarget = dnd::takeProgramArg(argc, argv, "drop-target", g_dropTarget);
    g_dragSource = dnd::takeProgramArg(argc, argv, "drag-source", g_dragSource);
    dnd::Desktop::setPointerProgram(dnd::takeProgramArg(argc, argv, "wl-pointer", QString()));
    QCoreApplication app(argc, argv);
    TestDndPeers test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_dnd_peers.moc"
