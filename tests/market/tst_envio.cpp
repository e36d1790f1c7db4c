// The single price push from the product grid's push icon, against the simulator.

#include "MarketWindow.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>

#include <limits>

namespace {

const QString Done = QStringLiteral("Listo. Operación realizada con éxito.");
const QString Failed = QStringLiteral("No se pudo realizar la operación.");

// Rows after the load: 1 Alicate 1234.50 MLV1000, 2 Brocha 5 "MLV1", 3 Cincel 7 "-", 4 Destornillador 8 (never
// linked), 5 Escalera (no price) MLV1001.
catalogo::Catalogo shop() {
    catalogo::Catalogo c;
    c.categorias = {{1, QStringLiteral("Ferretería")}};
    const auto add = [&](qint64 code, const char* name, std::optional<double> price, std::optional<QString> serial) {
        catalogo::Producto p;
        p.codigo = code;
        p.codProd = QStringLiteral("P-%1").arg(code);
        p.nombre = QString::fromUtf8(name);
        p.categoria = 1;
        p.precio = price;
        p.serial = serial;
        c.productos.push_back(p);
    };
    add(1, "Alicate", 1234.5, QStringLiteral("MLV1000"));
    add(2, "Brocha", 5, QStringLiteral("MLV1"));
    add(3, "Cincel", 7, QStringLiteral("-"));
    add(4, "Destornillador", 8, std::nullopt);
    add(5, "Escalera", std::nullopt, QStringLiteral("MLV1001"));
    return c;
}

sim::Fault fault(sim::FaultKind kind) {
    sim::Fault f;
    f.kind = kind;
    return f;
}

}  // namespace

class EnvioTest : public QObject {
    Q_OBJECT

    // The window signed in, with a second listing row of MLV1000 and one that differs only in letter case.
    bool open(MarketWindow& mw) {
        if (!mw.open(2, {}, {}, shop()) || !mw.signedIn())
            return false;
        FlexGrid& g = *mw.f().Grid2;
        for (const char* id : {"MLV1000", "mlv1000"}) {
            g.setRows(g.rows() + 1);
            g.setTextMatrix(g.rows() - 1, 0, QLatin1String(id));
        }
        return true;
    }

    static void clickPush(MarketWindow& mw, int row) {
        FlexGrid* grid = mw.f().Grid1;
        grid->cells().flush();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                          grid->visualRect(grid->model()->index(row - 1, 5)).center());
    }

  private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void onlyALinkedProductWithAPriceIsPushed_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("answer");
        QTest::addColumn<QString>("question");  // empty: none asked
        QTest::addColumn<QByteArray>("query");  // empty: nothing sent
        QTest::newRow("linked") << 1 << true
                                << "¿Está seguro de querer sincronizar este precio de Alicate para ponerlo en 1,234.50?"
                                << QByteArray("men=480613&item_id=MLV1000&precio_item=1234.50");
        QTest::newRow("answered No") << 1 << false
                                     << "¿Está seguro de querer sincronizar este precio de Alicate para ponerlo en "
                                        "1,234.50?"
                                     << QByteArray();
        QTest::newRow("serial of four characters") << 2 << true << "" << QByteArray();
        QTest::newRow("unlinked") << 3 << true << "" << QByteArray();
        QTest::newRow("never linked") << 4 << true << "" << QByteArray();
        QTest::newRow("no price") << 5 << true << "" << QByteArray();
    }
    void onlyALinkedProductWithAPriceIsPushed() {
        QFETCH(int, row);
        QFETCH(bool, answer);
        QFETCH(QString, question);
        QFETCH(QByteArray, query);
        MarketWindow mw;
        QVERIFY(open(mw));
        mw.dialogs.answers = {answer};
        clickPush(mw, row);
        QVERIFY(mw.waitIdle());
        QCOMPARE(mw.dialogs.shown.isEmpty() ? QString() : mw.dialogs.shown.first().text, question);
        const QList<sim::Request> sent = mw.server.log(sim::PathPrice);
        QCOMPARE(sent.size(), query.isEmpty() ? 0 : 1);
        if (!query.isEmpty()) {
            QCOMPARE(sent[0].rawQuery, query);
            QCOMPARE(sent[0].method, QByteArray("POST"));
        }
        QVERIFY(ventanaHabilitada(mw.f()));
        QVERIFY(mw.f().Casilla->isHidden());
    }

    void theAnswerDecidesWhatChanges_data() {
        QTest::addColumn<int>("kind");  // -1: the gateway accepts
        QTest::addColumn<QStringList>("notices");
        QTest::addColumn<bool>("pushed");
        QTest::newRow("accepted") << -1 << QStringList{Done} << true;
        QTest::newRow("refused") << int(sim::FaultKind::Refuse) << QStringList{Failed} << false;
        QTest::newRow("error page") << int(sim::FaultKind::Status) << QStringList{Failed} << false;
        QTest::newRow("connection dropped") << int(sim::FaultKind::Drop) << QStringList() << false;
    }
    void theAnswerDecidesWhatChanges() {
        QFETCH(int, kind);
        QFETCH(QStringList, notices);
        QFETCH(bool, pushed);
        MarketWindow mw;
        QVERIFY(open(mw));
        if (kind >= 0)
            mw.server.addFault(sim::PathPrice, 1, fault(sim::FaultKind(kind)));
        mw.dialogs.answers = {true};
        clickPush(mw, 1);
        // Another row is current when the answer arrives: it still belongs to the row pushed.
        mw.f().Grid1->setRow(4);
        // A single push cannot be cancelled: it is one request.
        QVERIFY(mw.f().operacionEnCurso && mw.w->findChild<QPushButton*>(QStringLiteral("CmdCancelar"))->isHidden());
        QVERIFY(mw.waitIdle());
        mw.dialogs.shown.removeFirst();
        QCOMPARE(mw.dialogs.notices(), notices);
        FlexGrid& listings = *mw.f().Grid2;
        const QString shown = pushed ? QStringLiteral("1,234.50") : QString();
        QCOMPARE(listings.textMatrix(1, 3), shown);                        // MLV1000 from the marketplace
        QCOMPARE(listings.textMatrix(listings.rows() - 2, 3), shown);      // the same id again
        QCOMPARE(listings.textMatrix(listings.rows() - 1, 3), QString());  // "mlv1000" is another id
        QCOMPARE(listings.textMatrix(2, 3), QString());
        QCOMPARE(mw.f().Grid1->textMatrix(1, 7), pushed ? QStringLiteral("1") : QStringLiteral("0"));
        QCOMPARE(mw.f().Grid1->textMatrix(4, 7), QStringLiteral("0"));
        QCOMPARE(mw.server.log(sim::PathPrice).size(), 1);
        QVERIFY(ventanaHabilitada(mw.f()));
        // Nothing is coloured by a single push.
        QVERIFY(!mw.f().Grid1->cells().cell(1, 2).hasBack);
    }

    void aPriceThatIsNotANumberIsNotSent_data() {
        QTest::addColumn<double>("stored");  // the catalogue's price of the first product
        QTest::addColumn<QString>("cell");   // what its cell is made to show; empty: as loaded
        QTest::addColumn<QString>("shown");
        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("words") << 1234.5 << "12 pesos"
                               << "12 pesos";
        QTest::newRow("infinite in the catalogue") << inf << ""
                                                   << "inf";
        QTest::newRow("minus infinite in the catalogue") << -inf << ""
                                                         << "-inf";
        QTest::newRow("not a number") << 1234.5 << "nan"
                                      << "nan";
    }
    void aPriceThatIsNotANumberIsNotSent() {
        QFETCH(double, stored);
        QFETCH(QString, cell);
        QFETCH(QString, shown);
        catalogo::Catalogo c = shop();
        c.productos[0].precio = stored;
        MarketWindow mw;
        QVERIFY(mw.open(2, {}, {}, c) && mw.signedIn());
        if (!cell.isEmpty())
            mw.f().Grid1->setTextMatrix(1, 3, cell);
        QCOMPARE(mw.f().Grid1->textMatrix(1, 3), shown);
        mw.dialogs.answers = {true};
        clickPush(mw, 1);
        QCOMPARE(mw.dialogs.notices(), QStringList{"El precio \"" + shown + "\" no es un número; no se envió."});
        QCOMPARE(mw.dialogs.shown.size(), 1);
        QVERIFY(ventanaHabilitada(mw.f()));
        QTest::qWait(50);
        QCOMPARE(mw.server.log(sim::PathPrice).size(), 0);
    }

    void theDisplayedPriceIsReadUnderTheUsersSettings() {
        QLocale::setDefault(QLocale(QLocale::Spanish, QLocale::Spain));
        MarketWindow mw;
        QVERIFY(open(mw));
        QCOMPARE(mw.f().Grid1->textMatrix(1, 3), QStringLiteral("1.234,50"));
        mw.dialogs.answers = {true};
        clickPush(mw, 1);
        QVERIFY(mw.waitIdle());
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(mw.dialogs.shown.first().text,
                 QStringLiteral("¿Está seguro de querer sincronizar este precio de Alicate para ponerlo en 1.234,50?"));
        QCOMPARE(mw.server.log(sim::PathPrice).value(0).query.value(QStringLiteral("precio_item")),
                 QStringLiteral("1234.50"));
        QCOMPARE(mw.f().Grid2->textMatrix(1, 3), QStringLiteral("1.234,50"));
    }

    // Every price request leaves two lines in the journal, read back by vantoria-journal (times shown as {hora}).
    void everyPriceSentIsJournaled_data() {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QStringList>("arguments");  // the tool's, before the journal's files
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("notices");
        QTest::addColumn<QString>("status");  // the status line after the last batch; empty: not looked at
        QTest::addColumn<QString>("errors");  // what the tool writes on standard error
        const QString failed = QStringLiteral("El servidor cerró la conexión antes de terminar la respuesta.");
        const QString refused = QStringLiteral("Error: el servidor rechazó la solicitud.");
        const QString header = QStringLiteral("hora,tanda,producto,nombre,publicacion,precio,resultado,detalle\r\n");
        const QStringList csv{QStringLiteral("--csv-rfc")};
        const auto row = [](int batch, int product, const QString& outcome) {
            return QStringLiteral("{hora},%1,%2,Producto %3,MLV%4,%5.50,%6\r\n")
                .arg(batch)
                .arg(100 + product)
                .arg(product + 1, 3, 10, QChar(u'0'))
                .arg(1000 + product)
                .arg(10 + product)
                .arg(outcome);
        };
        const QString all = QStringLiteral("Tanda terminada: 3 actualizados, 0 rechazados, 0 con error.");
        QTest::newRow("single push applied")
            << "applied" << csv << header + row(0, 0, "aplicado,") << QStringList{Done} << ""
            << "";
        QTest::newRow("single push refused")
            << "refused" << csv << header + row(0, 0, "rechazado," + refused) << QStringList{Failed} << ""
            << "";
        QTest::newRow("single push failed")
            << "failed" << csv << header + row(0, 0, "con error," + failed) << QStringList{} << ""
            << "";
        QTest::newRow("a batch: applied, refused, failed")
            << "batch" << csv
            << header + row(1, 0, "aplicado,") + row(1, 1, "rechazado," + refused) + row(1, 2, "con error," + failed)
            << QStringList{} << "Tanda terminada: 1 actualizado, 1 rechazado, 1 con error."
            << "";
        QTest::newRow("quotes, commas, line breaks and other scripts in the name")
            << "name" << csv
            << header + "{hora},0,100,\"Llave \"\"inglesa\"\", 12 mm\nключ 扳手\",MLV1000,10.50,aplicado,\r\n"
            << QStringList{Done} << ""
            << "";
        // The answer: "-", a NUL, 497 letters and a character outside the 16-bit range where the cut falls.
        QTest::newRow("formulas stay text, a NUL shows as U+FFFD, the cut keeps whole characters")
            << "formula" << csv
            << header + "{hora},0,100,'=Pala+1,MLV1000,10.50,rechazado,'-\uFFFD" + QString(497, u'x') + "\r\n"
            << QStringList{Failed} << ""
            << "";
        QTest::newRow("killed before the outcome")
            << "killed" << csv << header + row(0, 0, "desconocido,") << QStringList{} << ""
            << "";
        QTest::newRow("the month changes between two pushes")
            << "month" << csv << header + row(0, 0, "aplicado,") + row(0, 0, "aplicado,") << QStringList{Done, Done}
            << ""
            << "";
        // The first batch starts in January and sends in February, where the second one runs.
        QTest::newRow("a batch across the month's end is not mixed with a later one")
            << "batches" << QStringList{"--csv-rfc", "--batch", "last"}
            << header + row(2, 0, "aplicado,") + row(2, 1, "aplicado,") + row(2, 2, "aplicado,") << QStringList{} << all
            << "";
        QTest::newRow("a batch stopped by a product without a price")
            << "stopped" << QStringList{}
            << "{hora}  tanda 1  100 Producto 001  MLV1000  10.50  aplicado\nTanda 1 ({hora}): 1 aplicado, 0 "
               "rechazados, 0 con error, 0 desconocidos; detenida, 2 sin enviar\n"
            << QStringList{"Error actualizando sincronizando con el servidor.\rType mismatch (producto 101 \"Producto "
                           "002\")\rChequear etapa  4"}
            << "Tanda detenida: 1 actualizado, 0 rechazados, 0 con error, 2 sin enviar." << "";
        QTest::newRow("a batch stopped by Cancelar while the first item awaits its answer")
            << "cancelled" << QStringList{}
            << "{hora}  tanda 1  100 Producto 001  MLV1000  10.50  aplicado\nTanda 1 ({hora}): 1 aplicado, 0 "
               "rechazados, 0 con error, 0 desconocidos; cancelada, 2 sin enviar\n"
            << QStringList{} << "Tanda cancelada: 1 actualizado, 0 rechazados, 0 con error, 2 sin enviar."
            << "";
        QTest::newRow("a line torn by a crash does not swallow the next")
            << "torn" << csv << header + row(0, 0, "rechazado," + refused) << QStringList{Failed} << ""
            << "vantoria-journal: {FILE}, línea 1: no se puede leer; se omite.\nvantoria-journal: {FILE}: 1 línea no "
               "se pudo leer.\n";
        QTest::newRow("a journal that cannot be written")
            << "unwritable" << csv << QString()
            << QStringList{
                   "No se pudo escribir el diario de precios \"{DIR}/archivo/journal/precios-{MONTH}.jsonl\": "
                   "no se pudo crear la carpeta.\rLos precios se siguen enviando.",
                   Done, Done}
            << "" << "";
        QTest::newRow("a full disk: a tiny file system filled up")
            << "tmpfs" << csv << QString()
            << QStringList{"No se pudo escribir el diario de precios \"{DIR}/journal/precios-{MONTH}.jsonl\": "
                           "el disco está lleno.\rLos precios se siguen enviando.",
                           Done, Done}
            << "" << "";
        QTest::newRow("a full disk")
            << "full" << csv << QString()
            << QStringList{"No se pudo escribir el diario de precios \"{DIR}/journal/precios-{MONTH}.jsonl\": "
                           "el disco está lleno.\rLos precios se siguen enviando.",
                           Done, Done}
            << "" << "";
    }
    void everyPriceSentIsJournaled() {
        QFETCH(QString, scenario);
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        QFETCH(QStringList, notices);
        QFETCH(QString, status);
        QFETCH(QString, errors);
        catalogo::Catalogo shop = MarketWindow::linkedShop(3);
        if (scenario == QLatin1String("name"))
            shop.productos[0].nombre = QStringLiteral("Llave \"inglesa\", 12 mm\nключ 扳手");
        if (scenario == QLatin1String("formula"))
            shop.productos[0].nombre = QStringLiteral("=Pala+1");
        if (scenario == QLatin1String("stopped"))
            shop.productos[1].precio.reset();
        if (scenario == QLatin1String("full") && !QFileInfo(QStringLiteral("/dev/full")).exists())
            QSKIP("no /dev/full to stand for a full disk");
        // A file system of 16 KB mounted over the journal's folder (only root may) and filled up.
        struct Desmonto {
            QString carpeta;
            ~Desmonto() {
                if (!carpeta.isEmpty())
                    QProcess::execute(QStringLiteral("umount"), {carpeta});
            }
        };
        MarketWindow mw;
        Desmonto desmonto;
        if (scenario == QLatin1String("tmpfs")) {
            const QString carpeta = mw.dir.filePath(QStringLiteral("journal"));
            QVERIFY(QDir().mkpath(carpeta));
            if (QProcess::execute(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=16k", "tmpfs", carpeta}) != 0)
                QSKIP("a small file system cannot be mounted here (root only)");
            desmonto.carpeta = carpeta;
            QFile relleno(QDir(carpeta).filePath(QStringLiteral("relleno")));
            QVERIFY(relleno.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
            for (int i = 0; i < 64 && relleno.write(QByteArray(1024, 'x')) == 1024; ++i) {
            }
            QVERIFY(relleno.size() < 64 * 1024);
        }
        const QByteArray torn("{\"time\":\"2026-");
        // Each line reads the clock once: the first push falls in January (its outcome with it), the second in
        // February.
        QDateTime reloj = QDateTime::fromString(QStringLiteral("2026-01-31T23:59:59.850Z"), Qt::ISODate);
        QString carpeta;
        QVERIFY(mw.open(
            3,
            [&](frmVantoria::Options& o) {
                if (scenario == QLatin1String("month") || scenario == QLatin1String("batches"))
                    o.relojDiario = [&] { return reloj = reloj.addMSecs(100); };
                if (scenario == QLatin1String("unwritable")) {
                    QFile archivo(mw.dir.filePath(QStringLiteral("archivo")));
                    QVERIFY(archivo.open(QIODevice::WriteOnly));
                    o.carpetaDiario = mw.dir.filePath(QStringLiteral("archivo/journal"));
                }
                carpeta = o.carpetaDiario;
                const QString mes = archivoDelMes(carpeta, QDateTime::currentDateTimeUtc());
                if (scenario == QLatin1String("full")) {
                    QVERIFY(QDir().mkpath(carpeta));
                    QVERIFY(QFile::link(QStringLiteral("/dev/full"), mes));
                }
                if (scenario == QLatin1String("torn")) {
                    QVERIFY(QDir().mkpath(carpeta));
                    QFile archivo(mes);
                    QVERIFY(archivo.open(QIODevice::WriteOnly) && archivo.write(torn) == torn.size());
                }
            },
            {}, shop));
        sim::Fault f;
        f.kind = scenario == QLatin1String("failed") ? sim::FaultKind::Drop : sim::FaultKind::Refuse;
        if (scenario == QLatin1String("formula")) {
            f.kind = sim::FaultKind::Body;
            f.body = "-" + QByteArray(1, '\0') + QByteArray(497, 'x') + "\xF0\x9F\x98\x80 y algo m\xC3\xA1s";
        }
        if (scenario == QLatin1String("refused") || scenario == QLatin1String("failed") ||
            scenario == QLatin1String("formula") || scenario == QLatin1String("torn"))
            mw.server.addFault(sim::PathPrice, 1, f);
        QTimer cancelo;
        if (scenario == QLatin1String("cancelled")) {
            sim::Fault slow;
            slow.millis = 300;
            mw.server.addFault(sim::PathPrice, 1, slow);
            connect(&cancelo, &QTimer::timeout, this, [&] {
                if (mw.server.log(sim::PathPrice).size() != 1)
                    return;
                cancelo.stop();
                QTest::mouseClick(mw.w->findChild<QPushButton*>(QStringLiteral("CmdCancelar")), Qt::LeftButton);
            });
            cancelo.start(5);
        }
        if (scenario == QLatin1String("batch")) {
            mw.server.addFault(sim::PathPrice, 2, f);
            f.kind = sim::FaultKind::Drop;
            mw.server.addFault(sim::PathPrice, 3, f);
        }
        QVERIFY(mw.signedIn());
        if (scenario == QLatin1String("killed")) {
            Diario(Diario::Opciones{carpeta, {}, {}})
                .intencion(0, QStringLiteral("100"), QStringLiteral("Producto 001"), QStringLiteral("MLV1000"),
                           QStringLiteral("10.50"));
        } else if (scenario == QLatin1String("batch") || scenario == QLatin1String("batches") ||
                   scenario == QLatin1String("stopped") || scenario == QLatin1String("cancelled")) {
            mw.f().Check1->setChecked(false);
            for (int vez = scenario == QLatin1String("batches") ? 2 : 1; vez > 0; --vez) {
                mw.dialogs.answers = {true};
                mw.f().Command2->click();
                QVERIFY(mw.waitIdle());
            }
        } else {
            for (int vez = QStringList{"month", "unwritable", "full", "tmpfs"}.contains(scenario) ? 2 : 1; vez > 0;
                 --vez) {
                mw.dialogs.answers = {true};
                clickPush(mw, 1);
                QVERIFY(mw.waitIdle());
            }
        }
        if (!status.isEmpty())
            QCOMPARE(mw.f().VerEstado->text(), status);
        notices.replaceInStrings(QStringLiteral("{DIR}"), mw.dir.path());
        notices.replaceInStrings(QStringLiteral("{MONTH}"), QDateTime::currentDateTimeUtc().toString("yyyy-MM"));
        QCOMPARE(mw.dialogs.notices(), notices);
        if (QStringList{"unwritable", "full", "tmpfs"}.contains(scenario)) {
            QCOMPARE(mw.f().Grid2->textMatrix(1, 3), QStringLiteral("10.50"));
            return;
        }
        QStringList archivos = QDir(carpeta).entryList({QStringLiteral("*.jsonl")}, QDir::Files, QDir::Name);
        QCOMPARE(archivos.size(), scenario == QLatin1String("month") || scenario == QLatin1String("batches") ? 2 : 1);
        for (QString& a : archivos) {
            QFile f(QDir(carpeta).filePath(a));
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QByteArray lineas = f.readAll();
            QVERIFY(!lineas.contains(MarketWindow::Password.toUtf8()));
            QVERIFY(!lineas.contains(MarketWindow::Seller.toUtf8()));
            if (scenario == QLatin1String("formula"))
                QVERIFY(lineas.contains("\"name\":\"=Pala+1\""));
            // The torn line stays alone on its line; the next line is whole.
            if (scenario == QLatin1String("torn"))
                QVERIFY(lineas.startsWith(torn + "\n{\"") && lineas.endsWith("}\n"));
            a = f.fileName();
        }
        if (scenario == QLatin1String("month"))
            QVERIFY(archivos[0].endsWith(QLatin1String("precios-2026-01.jsonl")) &&
                    archivos[1].endsWith(QLatin1String("precios-2026-02.jsonl")));
        QProcess tool;
        tool.start(QStringLiteral(VANTORIA_JOURNAL_TOOL), arguments + archivos);
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(tool.readAllStandardError()), QString(errors).replace("{FILE}", archivos.value(0)));
        static const QRegularExpression hora(QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d"));
        QCOMPARE(QString::fromUtf8(tool.readAllStandardOutput()).replace(hora, QStringLiteral("{hora}")), output);
    }
};

QTEST_MAIN(EnvioTest)
#include "tst_envio.moc"
