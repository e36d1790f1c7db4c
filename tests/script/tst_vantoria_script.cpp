#include <QDir>
#include <QProcess>
#include <QTest>

class TestScriptTool : public QObject {
    Q_OBJECT

  private slots:
    void run_data();
    void run();
};

void TestScriptTool::run_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expectedOut");
    QTest::addColumn<QByteArray>("expectedErr");
    QTest::addColumn<int>("exitCode");
    const QDir data(QStringLiteral(SCRIPT_DATA_DIR));
    auto script = [&](const char* name) { return QStringList{data.filePath(QString::fromLatin1(name))}; };
    const QString missing = data.filePath(QStringLiteral("no-such-script.json"));

    QTest::newRow("output exactly, without a line end")
        << script("greeting-default.json") << QByteArray() << QByteArray("Hello guest!") << QByteArray() << 0;
    QTest::newRow("alerts as lines on standard error")
        << script("alert-any-case.json") << QByteArray() << QByteArray("ab") << QByteArray("[Saludo] Hola\n[T2] xy\n")
        << 0;
    QTest::newRow("input reads one line each")
        << script("input-answers.json") << QByteArray("Ana\r\nBob\nCarl\n") << QByteArray("Ana/Bob/")
        << QByteArray("[Who] Your name? (guest)\n[T] Cancelled?\n") << 0;
    QTest::newRow("end of input cancels") << script("input-answers.json") << QByteArray("Ana") << QByteArray("Ana//")
                                          << QByteArray("[Who] Your name? (guest)\n[T] Cancelled?\n") << 0;
    QTest::newRow("parse errors") << script("parse-error.json") << QByteArray() << QByteArray()
                                  << QByteArray("Parser Error\nMissing ']': own\", \"title\": \"t\"}}\n") << 1;
    QTest::newRow("not a script") << script("not-json.json") << QByteArray() << QByteArray()
                                  << QByteArray("Parser Error\nInvalid JSON\n") << 1;
    QTest::newRow("a failure drops the output") << script("fail-top-level-number.json") << QByteArray() << QByteArray()
                                                << QByteArray("[t] before\nError 424: Object required\n") << 2;
    QTest::newRow("a present name")
        << script("fail-set-name-added-by-own-value.json") << QByteArray() << QByteArray()
        << QByteArray("Error 457: This key is already associated with an element of this collection\n") << 2;
    QTest::newRow("UTF-8 with a byte order mark")
        << script("tool/bom-utf8.json") << QByteArray() << QByteArray("a\xC3\xB1\xF0\x9F\x98\x80") << QByteArray() << 0;
    QTest::newRow("a lone surrogate is written as U+FFFD") << script("tool/lone-surrogate.json") << QByteArray()
                                                           << QByteArray(
                                                                  "a\xEF\xBF\xBD"
                                                                  "b")
                                                           << QByteArray() << 0;
    QTest::newRow("missing file") << QStringList{missing} << QByteArray() << QByteArray()
                                  << ("vantoria-script: " + missing.toUtf8() + ": No such file or directory\n") << 66;
    QTest::newRow("no file named") << QStringList() << QByteArray() << QByteArray()
                                   << QByteArray("usage: vantoria-script FILE\n") << 64;
}

void TestScriptTool::run() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expectedOut);
    QFETCH(QByteArray, expectedErr);
    QFETCH(int, exitCode);

    QProcess tool;
    tool.start(QStringLiteral(VANTORIA_SCRIPT_TOOL), arguments);
    QVERIFY(tool.waitForStarted());
    tool.write(input);
    tool.closeWriteChannel();
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.readAllStandardOutput(), expectedOut);
    QCOMPARE(tool.readAllStandardError(), expectedErr);
    QCOMPARE(tool.exitCode(), exitCode);
}

QTEST_GUILESS_MAIN(TestScriptTool)
#include "tst_vantoria_script.moc"
