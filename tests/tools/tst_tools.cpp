#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class ToolsTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

  private slots:
    void commandLine_data();
    void commandLine();
};

void ToolsTest::commandLine_data() {
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("firstOut");
    QTest::addColumn<QByteArray>("firstErr");

    const QString json = QStringLiteral(TOOL_JSON), script = QStringLiteral(TOOL_SCRIPT);
    const QString catalogue = QStringLiteral(TOOL_CATALOGUE), demo = QStringLiteral(TOOL_DEMO);
    const QString marketSim = QStringLiteral(TOOL_MARKET_SIM), journal = QStringLiteral(TOOL_JOURNAL);
    const QString folder = dir.path();
    const QString missing = dir.filePath(QStringLiteral("missing/file"));
    const QByteArray f = folder.toUtf8(), m = missing.toUtf8();

    QTest::newRow("json --help") << json << QStringList{"--help"} << QByteArray() << 0
                                 << QByteArray("usage: vantoria-json [FILE]") << QByteArray();
    QTest::newRow("json -h") << json << QStringList{"-h"} << QByteArray() << 0
                             << QByteArray("usage: vantoria-json [FILE]") << QByteArray();
    QTest::newRow("json wrong option") << json << QStringList{"--pretty"} << QByteArray() << 2 << QByteArray()
                                       << QByteArray("vantoria-json: unknown option --pretty");
    QTest::newRow("json two files") << json << QStringList{"a", "b"} << QByteArray() << 2 << QByteArray()
                                    << QByteArray("vantoria-json: one file at most, not also b");
    QTest::newRow("json missing file") << json << QStringList{missing} << QByteArray() << 66 << QByteArray()
                                       << "vantoria-json: cannot read " + m + ": No such file or directory";
    QTest::newRow("json folder") << json << QStringList{folder} << QByteArray() << 66 << QByteArray()
                                 << "vantoria-json: cannot read " + f + ": it is a folder";
    QTest::newRow("json - is standard input")
        << json << QStringList{"-"} << QByteArray("[1.50]") << 0 << QByteArray("[1.5]") << QByteArray();

    const QByteArray journalUsage(
        "Uso: vantoria-journal [--batch N|last] [--failed] [--month AAAA-MM] [--csv] "
        "[ARCHIVO...]");
    QTest::newRow("journal --help") << journal << QStringList{"--help"} << QByteArray() << 0 << journalUsage
                                    << QByteArray();
    QTest::newRow("journal -h") << journal << QStringList{"-h"} << QByteArray() << 0 << journalUsage << QByteArray();
    QTest::newRow("journal wrong option") << journal << QStringList{"--all"} << QByteArray() << 2 << QByteArray()
                                          << QByteArray("vantoria-journal: opción desconocida: --all");
    QTest::newRow("journal wrong batch") << journal << QStringList{"--batch", "first"} << QByteArray() << 2
                                         << QByteArray()
                                         << QByteArray(
                                                "vantoria-journal: --batch espera un número de tanda o last, "
                                                "no first");
    QTest::newRow("journal missing file") << journal << QStringList{missing} << QByteArray() << 66 << QByteArray()
                                          << "vantoria-journal: no se pudo leer " + m + ": No such file or directory";
    QTest::newRow("journal folder") << journal << QStringList{folder} << QByteArray() << 66 << QByteArray()
                                    << "vantoria-journal: no se pudo leer " + f + ": es una carpeta";
    QTest::newRow("journal - is standard input, a bad line skipped")
        << journal << QStringList{"-"}
        << QByteArray(
               "{\"time\":\"t\",\"event\":\"intent\",\"id\":\"a\",\"batch\":0,\"product\":\"7\","
               "\"name\":\"Pala\",\"listing\":\"MLV1\",\"price\":\"3\"}\n{roto\n")
        << 0 << QByteArray("t  suelto  7 Pala  MLV1  3  desconocido")
        << QByteArray("vantoria-journal: -, línea 2: no se puede leer; se omite.");

    QTest::newRow("script --help") << script << QStringList{"--help"} << QByteArray() << 0
                                   << QByteArray("usage: vantoria-script FILE") << QByteArray();
    QTest::newRow("script -h") << script << QStringList{"-h"} << QByteArray() << 0
                               << QByteArray("usage: vantoria-script FILE") << QByteArray();
    QTest::newRow("script wrong option") << script << QStringList{"-x"} << QByteArray() << 64 << QByteArray()
                                         << QByteArray("vantoria-script: unknown option -x");
    QTest::newRow("script missing file") << script << QStringList{missing} << QByteArray() << 66 << QByteArray()
                                         << "vantoria-script: " + m + ": No such file or directory";
    QTest::newRow("script folder") << script << QStringList{folder} << QByteArray() << 66 << QByteArray()
                                   << "vantoria-script: " + f + ": is a folder, not a file";
    QTest::newRow("script - is standard input")
        << script << QStringList{"-"} << QByteArray("[\"Hola\"]") << 0 << QByteArray("Hola") << QByteArray();

    QTest::newRow("catalogue --help") << catalogue << QStringList{"--help"} << QByteArray() << 0
                                      << QByteArray("usage: vantoria-catalogue FILE [--products N] [--seed S]")
                                      << QByteArray();
    QTest::newRow("catalogue -h") << catalogue << QStringList{"-h"} << QByteArray() << 0
                                  << QByteArray("usage: vantoria-catalogue FILE [--products N] [--seed S]")
                                  << QByteArray();
    QTest::newRow("catalogue wrong option") << catalogue << QStringList{"x.dba", "-n"} << QByteArray() << 2
                                            << QByteArray() << QByteArray("vantoria-catalogue: unknown option -n");
    QTest::newRow("catalogue wrong value")
        << catalogue << QStringList{"x.dba", "--products", "many"} << QByteArray() << 2 << QByteArray()
        << QByteArray("vantoria-catalogue: --products takes 0 to 10000000, not 'many'");
    QTest::newRow("catalogue missing folder") << catalogue << QStringList{missing} << QByteArray() << 1 << QByteArray()
                                              << "vantoria-catalogue: " + m + ": its folder does not exist";
    QTest::newRow("catalogue folder") << catalogue << QStringList{folder} << QByteArray() << 1 << QByteArray()
                                      << "vantoria-catalogue: " + f + ": is a folder, not a file";

    const QByteArray demoUsage("usage: vantoria-demo [--screenshot FILE [--bulk | --during-bulk | --editor]]");
    QTest::newRow("demo --help") << demo << QStringList{"--help"} << QByteArray() << 0 << demoUsage << QByteArray();
    QTest::newRow("demo -h") << demo << QStringList{"-h"} << QByteArray() << 0 << demoUsage << QByteArray();
    QTest::newRow("demo wrong option") << demo << QStringList{"--bulkk"} << QByteArray() << 2 << QByteArray()
                                       << QByteArray("vantoria-demo: unknown option --bulkk");
    QTest::newRow("demo picture in a missing folder")
        << demo << QStringList{"--screenshot", missing} << QByteArray() << 1 << QByteArray()
        << "vantoria-demo: cannot write " + m + ": its folder does not exist";
    QTest::newRow("demo picture over a folder")
        << demo << QStringList{"--screenshot", folder} << QByteArray() << 1 << QByteArray()
        << "vantoria-demo: cannot write " + f + ": it is a folder";

    QTest::newRow("market-sim --help") << marketSim << QStringList{"--help"} << QByteArray() << 0
                                       << QByteArray("usage: market-sim [options]") << QByteArray();
    QTest::newRow("market-sim -h") << marketSim << QStringList{"-h"} << QByteArray() << 0
                                   << QByteArray("usage: market-sim [options]") << QByteArray();
    QTest::newRow("market-sim wrong option") << marketSim << QStringList{"--ports", "1"} << QByteArray() << 2
                                             << QByteArray() << QByteArray("market-sim: Unknown option 'ports'.");
    QTest::newRow("market-sim wrong value")
        << marketSim << QStringList{"--port", "70000"} << QByteArray() << 2 << QByteArray()
        << QByteArray("market-sim: --port takes 0 to 65535, not '70000'");
    QTest::newRow("market-sim certificate without its key")
        << marketSim << QStringList{"--certificate", "server.pem"} << QByteArray() << 2 << QByteArray()
        << QByteArray("market-sim: --certificate and --key go together");
    QTest::newRow("market-sim certificate file without one")
        << marketSim << QStringList{"--certificate", missing, "--key", missing} << QByteArray() << 2 << QByteArray()
        << "market-sim: --certificate: no PEM certificate in '" + m + "'";
    QTest::newRow("market-sim wrong slowness")
        << marketSim << QStringList{"--slow", "-5"} << QByteArray() << 2 << QByteArray()
        << QByteArray("market-sim: --slow takes 0 to 600000 milliseconds, not '-5'");
}

// The exit status and the first line written on each stream; a message goes to standard error, help to standard
// output, never both.
void ToolsTest::commandLine() {
    QFETCH(QString, tool);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, firstOut);
    QFETCH(QByteArray, firstErr);

    QProcess p;
    p.start(tool, arguments);
    QVERIFY(p.waitForStarted(10000));
    p.write(input);
    p.closeWriteChannel();
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    const auto firstLine = [](const QByteArray& text) { return text.split('\n').value(0); };
    QCOMPARE(firstLine(p.readAllStandardOutput()), firstOut);
    QCOMPARE(firstLine(p.readAllStandardError()), firstErr);
    QCOMPARE(p.exitCode(), exitCode);
}

QTEST_GUILESS_MAIN(ToolsTest)
#include "tst_tools.moc"
