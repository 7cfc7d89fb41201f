// scripts/run and scripts/deps, run for real in a scratch tree:
// - scripts/run ended by Ctrl+C, SIGTERM or SIGHUP exits as an interrupted
//   command does and leaves nothing behind; it runs the programs just built,
//   its own build step stood in for by a script that does nothing;
// - scripts/deps works out what to do without root, with and without sudo;
//   dpkg-query, id, sudo and apt-get are stand-ins that note how they were
//   called, so nothing is installed.
#include "waitfor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

bool writeScript(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size()
        && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool copyScript(const QString &name, const QString &to)
{
    QFile from(QStringLiteral(VKD_SOURCE_DIR "/scripts/") + name);
    return from.open(QIODevice::ReadOnly) && writeScript(to, from.readAll());
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The processes that pid started.
QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> out;
    for (const QByteArray &n : readText(u"/proc/%1/task/%1/children"_s.arg(pid)).toLatin1().split(' ')) {
        if (const qint64 child = n.toLongLong())
            out << child;
    }
    return out;
}

// Whether the process has its own handlers for SIGHUP, SIGINT and SIGTERM.
bool catchesEndSignals(qint64 pid)
{
    for (const QString &line : readText(u"/proc/%1/status"_s.arg(pid)).split(u'\n')) {
        if (line.startsWith("SigCgt:"_L1)) {
            const quint64 caught = line.mid(7).trimmed().toULongLong(nullptr, 16);
            const quint64 wanted = (1ull << (SIGHUP - 1)) | (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));
            return (caught & wanted) == wanted;
        }
    }
    return false;
}

} // namespace

class TestScripts : public QObject
{
    Q_OBJECT
private slots:
    void runEndedBySignal_data();
    void runEndedBySignal();
    void depsWithoutRoot_data();
    void depsWithoutRoot();
};

void TestScripts::runEndedBySignal_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("toTheGroup"); // as a terminal sends Ctrl+C
    QTest::addColumn<int>("expectedExit");

    QTest::newRow("Ctrl+C") << QStringList() << int(SIGINT) << true << 130;
    QTest::newRow("SIGTERM to the script") << QStringList() << int(SIGTERM) << false << 143;
    QTest::newRow("SIGHUP to the script") << QStringList() << int(SIGHUP) << false << 129;
    QTest::newRow("--real-ports, Ctrl+C") << QStringList{u"--real-ports"_s} << int(SIGINT) << true << 130;
    QTest::newRow("--real-ports, SIGTERM to the script") << QStringList{u"--real-ports"_s} << int(SIGTERM) << false
                                                         << 143;
}

void TestScripts::runEndedBySignal()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, signalNumber);
    QFETCH(bool, toTheGroup);
    QFETCH(int, expectedExit);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QDir tree(root.path());
    for (const char *folder : {"scripts", "build/app", "build/tools/monitor", "tmp", "runtime"})
        QVERIFY(tree.mkpath(QLatin1String(folder)));
    QVERIFY(QFile::setPermissions(tree.filePath(u"runtime"_s), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                                  | QFileDevice::ExeOwner));
    QVERIFY(copyScript(u"run"_s, tree.filePath(u"scripts/run"_s)));
    QVERIFY(writeScript(tree.filePath(u"scripts/build"_s), "#!/bin/sh\nexit 0\n"));
    QVERIFY(QFile::link(QStringLiteral(VKD_DEMO_PROGRAM), tree.filePath(u"build/app/vkd417-demo"_s)));
    QVERIFY(QFile::link(QStringLiteral(VKD_MONITOR_PROGRAM), tree.filePath(u"build/tools/monitor/vkd417-monitor"_s)));

    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"TMPDIR"_s, tree.filePath(u"tmp"_s));
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    env.insert(u"XDG_RUNTIME_DIR"_s, tree.filePath(u"runtime"_s));
    run.setProcessEnvironment(env);
    // A process group of its own, as a command started from a shell has.
    run.setChildProcessModifier([] { ::setpgid(0, 0); });
    run.start(u"/bin/bash"_s, QStringList{tree.filePath(u"scripts/run"_s)} + arguments);
    QVERIFY(run.waitForStarted(5000));
    run.closeWriteChannel();
    const qint64 script = run.processId();
    // Whatever happens to the test, nothing of the run outlives it.
    const auto endGroup = qScopeGuard([script] { ::kill(static_cast<pid_t>(-script), SIGKILL); });

    // Signalled once the window is up and listening, so that the test shows
    // what the script does, not what a program half started does.
    const QString demo = QFileInfo(QStringLiteral(VKD_DEMO_PROGRAM)).canonicalFilePath();
    qint64 window = 0;
    QVERIFY2(waitFor(
                 [&] {
                     for (const qint64 child : childrenOf(script)) {
                         if (QFileInfo(u"/proc/%1/exe"_s.arg(child)).canonicalFilePath() == demo
                             && catchesEndSignals(child))
                             window = child;
                     }
                     return window != 0;
                 },
                 20000),
             run.readAllStandardError().constData());

    QVERIFY(::kill(static_cast<pid_t>(toTheGroup ? -script : script), signalNumber) == 0);
    QVERIFY(run.waitForFinished(10000));
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), expectedExit);
    // The window and the monitor have gone with it, and so has the
    // configuration folder it made.
    QVERIFY(waitFor([&] { return ::kill(static_cast<pid_t>(-script), 0) != 0 && errno == ESRCH; }));
    QCOMPARE(QDir(tree.filePath(u"tmp"_s)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).join(u' '),
             QString());
}

void TestScripts::depsWithoutRoot_data()
{
    QTest::addColumn<int>("uid");
    QTest::addColumn<bool>("hasSudo");
    QTest::addColumn<bool>("allInstalled");
    QTest::addColumn<int>("expectedExit");
    QTest::addColumn<QStringList>("expectedCalls"); // the start of each call
    QTest::addColumn<QString>("expectedMessage");

    const QString update = u"apt-get -o DPkg::Lock::Timeout=900 update"_s;
    const QString install = u"apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends build-essential"_s;
    QTest::newRow("not root, no sudo: says what to run as root, stops")
        << 1000 << false << false << 1 << QStringList()
        << u"as root, run:\n  apt-get update && apt-get install --no-install-recommends build-essential"_s;
    QTest::newRow("not root, with sudo") << 1000 << true << false << 0
                                         << QStringList{u"sudo "_s + update, update + u" (frontend )"_s,
                                                        u"sudo env DEBIAN_FRONTEND=noninteractive "_s + install,
                                                        install}
                                         << QString();
    QTest::newRow("root") << 0 << true << false << 0 << QStringList{update, install} << QString();
    QTest::newRow("not root, no sudo, nothing missing") << 1000 << false << true << 0 << QStringList() << QString();
}

void TestScripts::depsWithoutRoot()
{
    QFETCH(int, uid);
    QFETCH(bool, hasSudo);
    QFETCH(bool, allInstalled);
    QFETCH(int, expectedExit);
    QFETCH(QStringList, expectedCalls);
    QFETCH(QString, expectedMessage);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QDir tree(root.path());
    QVERIFY(tree.mkpath(u"scripts"_s));
    QVERIFY(tree.mkpath(u"bin"_s));
    QVERIFY(copyScript(u"deps"_s, tree.filePath(u"scripts/deps"_s)));
    const QString bin = tree.filePath(u"bin"_s);
    const QString calls = tree.filePath(u"calls"_s);
    // Only these commands are there: no sudo unless the row has one.
    for (const char *tool : {"grep", "env"}) {
        const QString path = QStandardPaths::findExecutable(QLatin1String(tool));
        QVERIFY(!path.isEmpty());
        QVERIFY(QFile::link(path, bin + u'/' + QLatin1String(tool)));
    }
    QVERIFY(writeScript(bin + u"/id"_s, "#!/bin/bash\necho " + QByteArray::number(uid) + "\n"));
    QVERIFY(writeScript(bin + u"/dpkg-query"_s,
                        allInstalled ? "#!/bin/bash\nprintf 'install ok installed'\n" : "#!/bin/bash\nexit 1\n"));
    QVERIFY(writeScript(bin + u"/apt-get"_s,
                        "#!/bin/bash\n"
                        "if [ \"${*: -1}\" = update ]; then echo \"apt-get $* (frontend $DEBIAN_FRONTEND)\" >>\"$CALLS\";\n"
                        "else echo \"apt-get $*\" >>\"$CALLS\"; fi\n"));
    // As the real one does, sudo gives the command a clean environment.
    if (hasSudo) {
        QVERIFY(writeScript(bin + u"/sudo"_s,
                            "#!/bin/bash\necho \"sudo $*\" >>\"$CALLS\"\nexec env -i PATH=\"$PATH\" CALLS=\"$CALLS\" \"$@\"\n"));
    }

    QProcess deps;
    QProcessEnvironment env;
    env.insert(u"PATH"_s, bin);
    env.insert(u"CALLS"_s, calls);
    deps.setProcessEnvironment(env);
    deps.start(u"/bin/bash"_s, {tree.filePath(u"scripts/deps"_s)});
    QVERIFY(deps.waitForFinished(10000));
    const QString error = QString::fromUtf8(deps.readAllStandardError());
    QCOMPARE(deps.exitStatus(), QProcess::NormalExit);
    QVERIFY2(deps.exitCode() == expectedExit, qPrintable(u"exit %1: %2"_s.arg(deps.exitCode()).arg(error)));

    const QStringList made = readText(calls).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(made.size(), expectedCalls.size());
    for (qsizetype i = 0; i < made.size(); ++i)
        QVERIFY2(made[i].startsWith(expectedCalls[i]), qPrintable(made[i] + u"\ndoes not start with\n"_s + expectedCalls[i]));
    if (!expectedMessage.isEmpty())
        QVERIFY2(error.contains(expectedMessage), qPrintable(error));
    else if (expectedExit == 0 && made.isEmpty())
        QCOMPARE(error, QString());
}

QTEST_GUILESS_MAIN(TestScripts)
#include "tst_scripts.moc"
