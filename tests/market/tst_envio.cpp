// The single price push from the product grid's push icon, against the simulator.

#include "MarketWindow.h"

#include <QCheckBox>
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

    // Every price request leaves two lines in the journal, read back by vantoria-journal as CSV (the time left out).
    void everyPriceSentIsJournaled_data() {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("csv");
        QTest::addColumn<QStringList>("notices");
        const QString failed = QStringLiteral("El servidor cerró la conexión antes de terminar la respuesta.");
        const QString refused = QStringLiteral("Error: el servidor rechazó la solicitud.");
        QTest::newRow("single push applied") << "applied"
                                             << "0,100,Producto 001,MLV1000,10.50,aplicado,\r\n"
                                             << QStringList{Done};
        QTest::newRow("single push refused") << "refused"
                                             << "0,100,Producto 001,MLV1000,10.50,rechazado," + refused + "\r\n"
                                             << QStringList{Failed};
        QTest::newRow("single push failed") << "failed"
                                            << "0,100,Producto 001,MLV1000,10.50,con error," + failed + "\r\n"
                                            << QStringList{};
        QTest::newRow("a batch: applied, refused, failed")
            << "batch"
            << "1,100,Producto 001,MLV1000,10.50,aplicado,\r\n1,101,Producto 002,MLV1001,11.50,rechazado," + refused +
                   "\r\n1,102,Producto 003,MLV1002,12.50,con error," + failed + "\r\n"
            << QStringList{};
        QTest::newRow("quotes, commas, line breaks and other scripts in the name")
            << "name"
            << "0,100,\"Llave \"\"inglesa\"\", 12 mm\nключ 扳手\",MLV1000,10.50,aplicado,\r\n"
            << QStringList{Done};
        QTest::newRow("killed before the outcome") << "killed"
                                                   << "0,100,Producto 001,MLV1000,10.50,desconocido,\r\n"
                                                   << QStringList{};
        QTest::newRow("the month changes between two pushes") << "month"
                                                              << "0,100,Producto 001,MLV1000,10.50,aplicado,\r\n"
                                                              << QStringList{Done, Done};
        QTest::newRow("a journal that cannot be written")
            << "unwritable" << QString()
            << QStringList{
                   "No se pudo escribir el diario de precios \"{DIR}/archivo/journal/precios-{MONTH}.jsonl\": "
                   "no se pudo crear la carpeta.\rLos precios se siguen enviando.",
                   Done, Done};
    }
    void everyPriceSentIsJournaled() {
        QFETCH(QString, scenario);
        QFETCH(QString, csv);
        QFETCH(QStringList, notices);
        catalogo::Catalogo shop = MarketWindow::linkedShop(3);
        if (scenario == QLatin1String("name"))
            shop.productos[0].nombre = QStringLiteral("Llave \"inglesa\", 12 mm\nключ 扳手");
        // Each line reads the clock once: the first push falls in January (its outcome with it), the second in
        // February.
        QDateTime reloj = QDateTime::fromString(QStringLiteral("2026-01-31T23:59:59.850Z"), Qt::ISODate);
        MarketWindow mw;
        QString carpeta;
        QVERIFY(mw.open(
            3,
            [&](frmVantoria::Options& o) {
                if (scenario == QLatin1String("month"))
                    o.relojDiario = [&] { return reloj = reloj.addMSecs(100); };
                if (scenario == QLatin1String("unwritable")) {
                    QFile archivo(mw.dir.filePath(QStringLiteral("archivo")));
                    QVERIFY(archivo.open(QIODevice::WriteOnly));
                    o.carpetaDiario = mw.dir.filePath(QStringLiteral("archivo/journal"));
                }
                carpeta = o.carpetaDiario;
            },
            {}, shop));
        sim::Fault f;
        f.kind = scenario == QLatin1String("failed") ? sim::FaultKind::Drop : sim::FaultKind::Refuse;
        if (scenario == QLatin1String("refused") || scenario == QLatin1String("failed"))
            mw.server.addFault(sim::PathPrice, 1, f);
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
        } else if (scenario == QLatin1String("batch")) {
            mw.dialogs.answers = {true};
            mw.f().Command2->click();
            QVERIFY(mw.waitIdle());
            QCOMPARE(mw.f().VerEstado->text(),
                     QStringLiteral("Tanda terminada: 1 actualizado, 1 rechazado, 1 con error."));
        } else {
            for (int vez = scenario == QLatin1String("month") || scenario == QLatin1String("unwritable") ? 2 : 1;
                 vez > 0; --vez) {
                mw.dialogs.answers = {true};
                clickPush(mw, 1);
                QVERIFY(mw.waitIdle());
            }
        }
        notices.replaceInStrings(QStringLiteral("{DIR}"), mw.dir.path());
        notices.replaceInStrings(QStringLiteral("{MONTH}"), QDateTime::currentDateTimeUtc().toString("yyyy-MM"));
        QCOMPARE(mw.dialogs.notices(), notices);
        if (scenario == QLatin1String("unwritable")) {
            QCOMPARE(mw.f().Grid2->textMatrix(1, 3), QStringLiteral("10.50"));
            return;
        }
        QStringList archivos = QDir(carpeta).entryList({QStringLiteral("*.jsonl")}, QDir::Files, QDir::Name);
        QCOMPARE(archivos.size(), scenario == QLatin1String("month") ? 2 : 1);
        for (QString& a : archivos) {
            QFile f(QDir(carpeta).filePath(a));
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QByteArray lineas = f.readAll();
            QVERIFY(!lineas.contains(MarketWindow::Password.toUtf8()));
            QVERIFY(!lineas.contains(MarketWindow::Seller.toUtf8()));
            a = f.fileName();
        }
        if (scenario == QLatin1String("month"))
            QVERIFY(archivos[0].endsWith(QLatin1String("precios-2026-01.jsonl")) &&
                    archivos[1].endsWith(QLatin1String("precios-2026-02.jsonl")));
        for (const QString& archivo : archivos) {
            QProcess tool;
            tool.start(QStringLiteral(VANTORIA_JOURNAL_TOOL), {QStringLiteral("--csv"), archivo});
            QVERIFY(tool.waitForFinished(10000));
            QCOMPARE(tool.exitCode(), 0);
            QCOMPARE(tool.readAllStandardError(), QByteArray());
            static const QRegularExpression hora(QStringLiteral("(^|\r\n)[0-9-]+T[0-9:.]+Z,"));
            QString salida = QString::fromUtf8(tool.readAllStandardOutput()).replace(hora, QStringLiteral("\\1"));
            QCOMPARE(salida,
                     QStringLiteral("hora,tanda,producto,nombre,publicacion,precio,resultado,detalle\r\n") + csv);
        }
    }
};

QTEST_MAIN(EnvioTest)
#include "tst_envio.moc"
