#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

class ToolsTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

  private slots:
    void initTestCase();
    void commandLine_data();
    void commandLine();
    void marketSimApiRolePrintsItsAddressFirst();
    void demoStopsItsGatewayAndRemovesItsFolderOnSigterm();
};

// The user's settings of the tools run here: a Vantoria.ini whose [journal] folder holds this month's journal.
void ToolsTest::initTestCase() {
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("config/Vantoria")) &&
            QDir(dir.path()).mkpath(QStringLiteral("diario")));
    QFile ini(dir.filePath(QStringLiteral("config/Vantoria/Vantoria.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[journal]\nfolder=" + dir.filePath(QStringLiteral("diario")).toUtf8() + "\n");
    const QString mes = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM"));
    QFile diario(dir.filePath(QStringLiteral("diario/precios-%1.jsonl").arg(mes)));
    QVERIFY(diario.open(QIODevice::WriteOnly));
    diario.write("{\"time\":\"" + mes.toUtf8() +
                 "-15T06:44:00.000Z\",\"event\":\"intent\",\"id\":\"a\",\"batch\":0,\"product\":\"7\","
                 "\"name\":\"Pala\",\"listing\":\"MLV1\",\"price\":\"3\"}\n");
}

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
        "Uso: vantoria-journal [--batch N|last] [--failed] [--month AAAA-MM] [--csv|--csv-rfc] "
        "[ARCHIVO...]");
    // Journal lines as the window writes them; times in UTC, shown in Caracas's time (UTC-4).
    const auto intent = [](const char* id, const char* name, const char* listing, const char* price, int batch = 0) {
        return QByteArray(R"({"time":"2026-01-15T06:44:00.000Z","event":"intent","id":")") + id + R"(","batch":)" +
               QByteArray::number(batch) + (batch ? R"(,"batch_start":"2026-01-15T06:43:00.000Z")" : "") +
               R"(,"product":"7","name":")" + name + R"(","listing":")" + listing + R"(","price":")" + price + "\"}\n";
    };
    const auto outcome = [](const char* id, const char* outcome, const QByteArray& answer = {}) {
        return QByteArray(R"({"time":"2026-01-15T06:44:01.000Z","event":"outcome","id":")") + id + R"(","outcome":")" +
               outcome + "\"" + (answer.isNull() ? QByteArray() : R"(,"answer":")" + answer + "\"") + "}\n";
    };
    const QByteArray start(R"({"time":"2026-01-15T06:43:00.000Z","event":"batch-start","batch":1,)"
                           R"("batch_start":"2026-01-15T06:43:00.000Z"})"
                           "\n");
    const QByteArray formulas =
        intent("a", "=HIPERVINCULO(\\\"x\\\")", "+MLV1", "1234.50") + outcome("a", "refused", "@SUMA\\u0000-1");
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
    const QByteArray mes = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM")).toUtf8();
    QTest::newRow("journal: this month in the folder Vantoria.ini names, in local time")
        << journal << QStringList{} << QByteArray() << 0 << mes + "-15 02:44:00  suelto  7 Pala  MLV1  3  desconocido"
        << QByteArray();
    QTest::newRow("journal: --month in the folder Vantoria.ini names")
        << journal << QStringList{"--month", "2020-01"} << QByteArray() << 66 << QByteArray()
        << "vantoria-journal: no se pudo leer " + f + "/diario/precios-2020-01.jsonl: No such file or directory";
    QTest::newRow("journal --csv under a decimal comma: \";\", \",\", formulas and NUL kept as text")
        << journal << QStringList{"LC_ALL=es_VE.UTF-8", "--csv", "-"} << formulas << 0
        << QByteArray(
               "hora;tanda;producto;nombre;publicacion;precio;resultado;detalle\r\n"
               "2026-01-15 02:44:00;0;7;\"'=HIPERVINCULO(\"\"x\"\")\";'+MLV1;1234,50;rechazado;'@SUMA\xEF\xBF\xBD-1\r")
        << QByteArray();
    QTest::newRow("journal --csv under a decimal point: \",\" and \".\"")
        << journal << QStringList{"LC_ALL=en_US.UTF-8", "--csv", "-"} << formulas << 0
        << QByteArray(
               "hora,tanda,producto,nombre,publicacion,precio,resultado,detalle\r\n"
               "2026-01-15 02:44:00,0,7,\"'=HIPERVINCULO(\"\"x\"\")\",'+MLV1,1234.50,rechazado,'@SUMA\xEF\xBF\xBD-1\r")
        << QByteArray();
    QTest::newRow("journal --csv-rfc under a decimal comma: \",\" and \".\"")
        << journal << QStringList{"LC_ALL=es_VE.UTF-8", "--csv-rfc", "-"} << formulas << 0
        << QByteArray(
               "hora,tanda,producto,nombre,publicacion,precio,resultado,detalle\r\n"
               "2026-01-15 02:44:00,0,7,\"'=HIPERVINCULO(\"\"x\"\")\",'+MLV1,1234.50,rechazado,'@SUMA\xEF\xBF\xBD-1\r")
        << QByteArray();
    QTest::newRow("journal --failed: what a later request applied to the listing is left out")
        << journal << QStringList{"--failed", "-"}
        << intent("a", "Pala", "MLV1", "3") + outcome("a", "refused") + intent("b", "Pala", "MLV2", "3") +
               intent("c", "Pala", "MLV1", "4") + outcome("c", "applied")
        << 0 << QByteArray("2026-01-15 02:44:00  suelto  7 Pala  MLV2  3  desconocido\n") << QByteArray();
    QTest::newRow("journal: a record glued to a torn line is read, the lines not read counted")
        << journal << QStringList{"-"}
        << intent("a", "Pala", "MLV1", "3").left(60) + intent("b", "Pico", "MLV2", "5") + "{\n"
        << 0 << QByteArray("2026-01-15 02:44:00  suelto  7 Pico  MLV2  5  desconocido\n")
        << QByteArray(
               "vantoria-journal: -, línea 1: no se puede leer; se omite su comienzo.\n"
               "vantoria-journal: -, línea 2: no se puede leer; se omite.\n"
               "vantoria-journal: -: 2 líneas no se pudieron leer.\n");
    // Two batches numbered 1, one of them begun in the month before: the later start is the last batch.
    QTest::newRow("journal --batch last: a batch is its number and its start")
        << journal << QStringList{"--batch", "last", "-"}
        << start + intent("a", "Pala", "MLV1", "3", 1) +
               QByteArray(intent("b", "Pico", "MLV2", "5", 1)).replace("06:43:00", "06:50:00") +
               QByteArray(start).replace("06:43:00", "06:50:00")
        << 0
        << QByteArray(
               "2026-01-15 02:44:00  tanda 1  7 Pico  MLV2  5  desconocido\n"
               "Tanda 1 (2026-01-15 02:50:00): 0 aplicados, 0 rechazados, 0 con error, 1 desconocido; "
               "interrumpida\n")
        << QByteArray();
    QTest::newRow("journal: a batch written before batches carried their start")
        << journal << QStringList{"-"}
        << QByteArray(start + intent("a", "Pala", "MLV1", "3", 1) + outcome("a", "applied") +
                      R"({"time":"2026-01-15T06:45:00.000Z","event":"batch-end","batch":1,"applied":1,)"
                      R"("refused":0,"failed":0})"
                      "\n")
               .replace(R"(,"batch_start":"2026-01-15T06:43:00.000Z")", "")
        << 0
        << QByteArray(
               "2026-01-15 02:44:00  tanda 1  7 Pala  MLV1  3  aplicado\n"
               "Tanda 1 (2026-01-15 02:43:00): 1 aplicado, 0 rechazados, 0 con error, 0 desconocidos; "
               "terminada\n")
        << QByteArray();
    QTest::newRow("journal: a batch with no end line reads interrupted")
        << journal << QStringList{"-"} << start + intent("a", "Pala", "MLV1", "3", 1) + outcome("a", "applied") << 0
        << QByteArray(
               "2026-01-15 02:44:00  tanda 1  7 Pala  MLV1  3  aplicado\n"
               "Tanda 1 (2026-01-15 02:43:00): 1 aplicado, 0 rechazados, 0 con error, 0 desconocidos; "
               "interrumpida\n")
        << QByteArray();

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

    const QByteArray demoUsage(
        "usage: vantoria-demo [--gateway PROGRAM] [--screenshot FILE [--bulk | --during-bulk | --editor |");
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
    QTest::newRow("market-sim --role api --help")
        << marketSim << QStringList{"--role", "api", "--help"} << QByteArray() << 0
        << QByteArray("usage: market-sim --role api [options]") << QByteArray();
    QTest::newRow("market-sim unknown role")
        << marketSim << QStringList{"--role", "gateway"} << QByteArray() << 2 << QByteArray()
        << QByteArray("market-sim: --role takes api, not 'gateway'");
    QTest::newRow("market-sim api wrong failure")
        << marketSim << QStringList{"--role", "api", "--fail-status", "503"} << QByteArray() << 2 << QByteArray()
        << QByteArray("market-sim: --fail-status takes CODE:COUNT[:METHOD], not '503'");
    QTest::newRow("market-sim api key without certificate")
        << marketSim << QStringList{"--role", "api", "--key", "k.pem"} << QByteArray() << 2 << QByteArray()
        << QByteArray("market-sim: --certificate and --key go together");
    QTest::newRow("market-sim api log it cannot write")
        << marketSim << QStringList{"--role", "api", "--log", missing} << QByteArray() << 1 << QByteArray()
        << "market-sim: cannot write " + m + ": No such file or directory";
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

// The exit status and the first lines written on each stream; a message goes to standard error, help to standard
// output, never both.
void ToolsTest::commandLine() {
    QFETCH(QString, tool);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, firstOut);
    QFETCH(QByteArray, firstErr);

    // Leading NAME=value arguments are set in the tool's environment, as env(1) takes them.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("TZ"), QStringLiteral("America/Caracas"));
    while (!arguments.isEmpty() &&
           QRegularExpression(QStringLiteral("^[A-Z_]+=")).match(arguments.first()).hasMatch()) {
        const QString setting = arguments.takeFirst();
        environment.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
    }
    QProcess p;
    p.setProcessEnvironment(environment);
    p.start(tool, arguments);
    QVERIFY(p.waitForStarted(10000));
    p.write(input);
    p.closeWriteChannel();
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    // As many lines as expected: an expectation ending in a line break says nothing more follows.
    const auto firstLines = [](const QByteArray& text, const QByteArray& expected) {
        return text.split('\n').mid(0, expected.count('\n') + 1).join('\n');
    };
    QCOMPARE(firstLines(p.readAllStandardOutput(), firstOut), firstOut);
    QCOMPARE(firstLines(p.readAllStandardError(), firstErr), firstErr);
    QCOMPARE(p.exitCode(), exitCode);
}

// The API double serves until it is stopped; the first line it writes is its base URL, and its log is written.
void ToolsTest::marketSimApiRolePrintsItsAddressFirst() {
    const QString log = dir.filePath(QStringLiteral("api.log"));
    QProcess p;
    p.start(QStringLiteral(TOOL_MARKET_SIM), {"--role", "api", "--items", "3", "--log", log});
    QVERIFY(p.waitForStarted(10000));
    QVERIFY(QTest::qWaitFor([&p] { return p.canReadLine(); }, 10000));
    const QByteArray first = p.readLine();
    p.terminate();
    QVERIFY(p.waitForFinished(10000));
    static const QRegularExpression url(QStringLiteral("^https://127\\.0\\.0\\.1:[1-9][0-9]*\n$"));
    QVERIFY2(url.match(QString::fromUtf8(first)).hasMatch(), first.constData());
    QVERIFY(QFile::exists(log));
}

// The demo serves the whole chain until it is stopped; SIGTERM ends it as its window's close does: the gateway it
// started stops and the sample folder, the gateway's store and key with it, is removed.
void ToolsTest::demoStopsItsGatewayAndRemovesItsFolderOnSigterm() {
    QProcess p;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(environment);
    p.start(QStringLiteral(TOOL_DEMO), {});
    QVERIFY(p.waitForStarted(10000));
    QByteArray out;
    QVERIFY(QTest::qWaitFor(
        [&] {
            out += p.readAllStandardOutput();
            return out.contains("Sign in with") || p.state() == QProcess::NotRunning;
        },
        30000));
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("^Vantoria demo: 400 products in ([^\n]+)\n.*the gateway at "
                                          "https://127\\.0\\.0\\.1:(\\d+)\\.\n"
                                          "Sign in with  Usuario: demo   Clave: vantoria\n$"),
                           QRegularExpression::DotMatchesEverythingOption)
            .match(QString::fromUtf8(out));
    QVERIFY2(m.hasMatch(), out.constData());
    const QString folder = m.captured(1);
    const auto gatewayAnswers = [port = quint16(m.captured(2).toUInt())] {
        QTcpSocket s;
        s.connectToHost(QStringLiteral("127.0.0.1"), port);
        return s.waitForConnected(5000);
    };
    QVERIFY(QFile::exists(folder + QStringLiteral("/pasarela/gateway.sqlite")));
    QVERIFY(gatewayAnswers());
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 128 + SIGTERM);
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(!gatewayAnswers());
}

QTEST_GUILESS_MAIN(ToolsTest)
#include "tst_tools.moc"
