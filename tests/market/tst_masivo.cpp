// The paced bulk price push, against the simulator with the clock sped up.

#include "MarketWindow.h"
#include "SimGateway.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProgressBar>

#include <limits>
#include <new>

namespace {

const QString Question = QStringLiteral(
    "¿Está seguro de querer actualizar los precios de todos los productos listados en su publicación mercado libre "
    "segun la configuración?");
const QColor Cyan(208, 255, 255), Orange(255, 127, 10);

sim::Fault fault(sim::FaultKind kind, QByteArray body = {}) {
    sim::Fault f;
    f.kind = kind;
    f.body = std::move(body);
    return f;
}

QString progress(int row, int item, int product) {
    return QStringLiteral("Pos  %1 Actualizando (%2) precio de Producto %3         Espere...")
        .arg(row)
        .arg(item)
        .arg(product, 3, 10, QChar(u'0'));
}

}  // namespace

class MasivoTest : public QObject {
    Q_OBJECT

    static constexpr double Speed = 100;  // one second of the batch's clock takes 10 ms

    // The window on `shop`, signed in to a seller with `listings` listings, the clock sped up.
    static bool open(MarketWindow& mw, const catalogo::Catalogo& shop, int listings, double speed = Speed,
                     int idleMs = 5000) {
        return mw.open(
                   listings,
                   [&](frmVantoria::Options& o) {
                       o.velocidadReloj = speed;
                       o.sinDatosMs = idleMs;
                   },
                   {}, shop) &&
               mw.signedIn();
    }

    // Presses the button between the grids, answers Yes, and waits for the batch to end.
    static bool runBatch(MarketWindow& mw, int millis = 30000) {
        mw.dialogs.answers = {true};
        mw.f().Command2->click();
        return mw.waitIdle(millis) && mw.f().Frame1->isHidden() && ventanaHabilitada(mw.f());
    }

    static QColor colour(MarketWindow& mw, int row) { return mw.f().Grid1->cellBackColor(row, 2); }

  private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void itemsArePacedWithAPauseBeforeEvery30th_data() {
        QTest::addColumn<int>("items");
        QTest::newRow("29: no pause") << 29;
        QTest::newRow("30: a pause before the 30th") << 30;
        QTest::newRow("61: pauses before the 30th and the 60th") << 61;
    }
    void itemsArePacedWithAPauseBeforeEvery30th() {
        QFETCH(int, items);
        MarketWindow mw;
        QVERIFY(open(mw, MarketWindow::linkedShop(items), items));
        mw.server.clearLog();
        mw.enabledAtState.clear();
        QVERIFY(runBatch(mw));
        // The window took no input from the answer Yes to the end of the batch.
        QVERIFY(!mw.enabledAtState.isEmpty() && !mw.enabledAtState.contains(true));
        QCOMPARE(mw.dialogs.shown.size(), 1);
        QCOMPARE(mw.dialogs.shown[0].text, Question);

        QList<QByteArray> expected;
        for (int i = 1; i <= items; ++i) {
            if (i % 30 == 0)
                expected << sim::PathPause;
            expected << QByteArray("/mercadolibre/ml00000102_meliGet.php?men=480613&item_id=MLV") +
                            QByteArray::number(999 + i) + "&precio_item=" + QByteArray::number(9.5 + i, 'f', 2);
        }
        const QList<sim::Request> log = mw.server.log();
        QList<QByteArray> targets;
        for (const sim::Request& r : log)
            targets << r.target;
        QCOMPARE(targets, expected);
        // One second of the clock before every item, after the answer before it; twenty after a pause's answer.
        for (qsizetype i = 1; i < log.size(); ++i) {
            const double gap = double(log[i].receivedNs - log[i - 1].answeredNs) / 1e9 * Speed;
            const double least = log[i - 1].path == sim::PathPause ? 20.0 : 1.0;
            QVERIFY2(gap >= least, qPrintable(QStringLiteral("request %1 after %2 s").arg(i).arg(gap)));
        }
        FlexGrid& g = *mw.f().Grid1;
        for (int r = 1; r <= items; ++r) {
            QCOMPARE(colour(mw, r), Cyan);
            QCOMPARE(g.textMatrix(r, 7), QStringLiteral("1"));
            QCOMPARE(mw.f().Grid2->textMatrix(r, 3), g.textMatrix(r, 3));
        }
        QCOMPARE(mw.f().Label3->text(), progress(items, items, items));
        QCOMPARE(mw.f().Barra1->value(), items);
        QCOMPARE(mw.f().Barra1->maximum(), items);
    }

    void whichRowsArePushed_data() {
        QTest::addColumn<bool>("onlyUnpushed");
        QTest::addColumn<QStringList>("sent");
        QTest::newRow("Solo los no afectados ticked") << true << QStringList{"MLV1000", "MLV1"};
        QTest::newRow("Solo los no afectados clear") << false << QStringList{"MLV1000", "MLV1002", "MLV1"};
    }
    void whichRowsArePushed() {
        QFETCH(bool, onlyUnpushed);
        QFETCH(QStringList, sent);
        // Rows: 1 linked, 2 unlinked ("-"), 3 linked and already pushed, 4 never linked, 5 a serial of four characters.
        catalogo::Catalogo shop = MarketWindow::linkedShop(5);
        shop.productos[1].serial = QStringLiteral("-");
        shop.productos[3].serial.reset();
        shop.productos[4].serial = QStringLiteral("MLV1");
        MarketWindow mw;
        QVERIFY(open(mw, shop, 5));
        mw.f().Grid1->setTextMatrix(3, 7, QStringLiteral("1"));
        mw.f().Grid1->setTextMatrix(4, 7, QString());
        mw.f().Check1->setChecked(onlyUnpushed);
        mw.server.clearLog();
        QVERIFY(runBatch(mw));
        QStringList ids;
        for (const sim::Request& r : mw.server.log())
            ids << r.query.value(QStringLiteral("item_id"));
        QCOMPARE(ids, sent);
        // Skipped rows still move the progress bar; an empty mark becomes "0"; a refused item keeps its colour.
        QCOMPARE(mw.f().Barra1->value(), 5);
        QCOMPARE(mw.f().Grid1->textMatrix(4, 7), QStringLiteral("0"));
        QCOMPARE(colour(mw, 1), Cyan);
        QVERIFY(!mw.f().Grid1->cells().cell(5, 2).hasBack);
        QCOMPARE(mw.f().Label3->text(), progress(5, int(sent.size()), 5));
    }

    // Whatever the pause request comes to, the row about to be pushed gets only its own request's outcome.
    void thePauseSaysNothingAboutTheNextRow_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("pause answers Listo!!!") << int(sim::FaultKind::Body) << QByteArray("Listo!!!");
        QTest::newRow("pause request dropped") << int(sim::FaultKind::Drop) << QByteArray();
    }
    void thePauseSaysNothingAboutTheNextRow() {
        QFETCH(int, kind);
        QFETCH(QByteArray, body);
        constexpr int Items = 30;
        MarketWindow mw;
        QVERIFY(open(mw, MarketWindow::linkedShop(Items), Items));
        mw.server.addFault(sim::PathPause, 1, fault(sim::FaultKind(kind), body));
        mw.server.addFault(sim::PathPrice, Items, fault(sim::FaultKind::Refuse));
        mw.server.clearLog();
        QVERIFY(runBatch(mw));
        FlexGrid& g = *mw.f().Grid1;
        for (int r = 1; r < Items; ++r) {
            QCOMPARE(colour(mw, r), Cyan);
            QCOMPARE(g.textMatrix(r, 7), QStringLiteral("1"));
        }
        QVERIFY(!g.cells().cell(Items, 2).hasBack);
        QCOMPARE(g.textMatrix(Items, 7), QStringLiteral("0"));
        QCOMPARE(mw.f().Grid2->textMatrix(Items, 3), QString());
        QCOMPARE(mw.server.log(sim::PathPrice).size(), Items);
        QCOMPARE(mw.server.log(sim::PathPause).size(), 1);

        // The refused item is still to be pushed, and is the only one sent again.
        mw.f().Check1->setChecked(true);
        mw.server.clearLog();
        QVERIFY(runBatch(mw));
        QStringList ids;
        for (const sim::Request& r : mw.server.log())
            ids << r.query.value(QStringLiteral("item_id"));
        QCOMPARE(ids, QStringList{QStringLiteral("MLV%1").arg(999 + Items)});
        QCOMPARE(colour(mw, Items), Cyan);
        QCOMPARE(g.textMatrix(Items, 7), QStringLiteral("1"));
        QCOMPARE(mw.f().Grid2->textMatrix(Items, 3), g.textMatrix(Items, 3));
        QCOMPARE(mw.dialogs.shown.size(), 2);
        QVERIFY(ventanaHabilitada(mw.f()));
    }

    void everyItemEndsWithExactlyOneOutcome() {
        constexpr int Items = 100;
        MarketWindow mw;
        QVERIFY(open(mw, MarketWindow::linkedShop(Items), Items, Speed, 300));
        // One item in five misbehaves, in turn: refused, dropped, never answered, answered with garbage.
        const QList<sim::Fault> faults{fault(sim::FaultKind::Refuse), fault(sim::FaultKind::Drop),
                                       fault(sim::FaultKind::NoAnswer),
                                       fault(sim::FaultKind::Body, QByteArray("\0\xff\xfeListo!!", 9))};
        const QList<QColor> outcomes{QColor(), Orange, Orange, QColor()};
        for (int i = 5; i <= Items; i += 5)
            mw.server.addFault(sim::PathPrice, i, faults[(i / 5 - 1) % 4]);
        mw.server.clearLog();
        QVERIFY(runBatch(mw, 60000));
        QCOMPARE(mw.dialogs.shown.size(), 1);
        QStringList ids;
        for (const sim::Request& r : mw.server.log(sim::PathPrice))
            ids << r.query.value(QStringLiteral("item_id"));
        QCOMPARE(ids.size(), Items);
        QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), Items);
        QCOMPARE(mw.server.log(sim::PathPause).size(), 3);
        for (int r = 1; r <= Items; ++r) {
            const bool faulted = r % 5 == 0;
            const QColor expected = faulted ? outcomes[(r / 5 - 1) % 4] : Cyan;
            const FlexGridModel::Cell& cell = mw.f().Grid1->cells().cell(r, 2);
            QCOMPARE(cell.hasBack ? QColor(cell.back) : QColor(), expected);
            QCOMPARE(mw.f().Grid1->textMatrix(r, 7), faulted ? QStringLiteral("0") : QStringLiteral("1"));
        }
    }

    void atRealSpeedEveryItemWaitsASecondAfterTheAnswerBefore() {
        MarketWindow mw;
        QVERIFY(open(mw, MarketWindow::linkedShop(3), 3, 1.0));
        mw.server.clearLog();
        QVERIFY(runBatch(mw));
        const QList<sim::Request> log = mw.server.log();
        QCOMPARE(log.size(), 3);
        for (qsizetype i = 1; i < log.size(); ++i)
            QVERIFY(log[i].receivedNs - log[i - 1].answeredNs >= 1'000'000'000);
    }

    // Any failure inside the batch ends it with its report, the wait panel hidden and the window taking input; the
    // report names the product the failure belongs to, and the status line tells what was never sent.
    void aFailureEndsTheBatchWithItsReport_data() {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("progressRow");
        QTest::addColumn<QString>("status");
        const QString report =
            QStringLiteral("Error actualizando sincronizando con el servidor.\r%1\rChequear etapa %2");
        const QString third = QStringLiteral("Type mismatch (producto 102 \"Producto 003\")");
        const QString twoLeft =
            QStringLiteral("Tanda detenida: 2 actualizados, 0 rechazados, 0 con error, 2 sin enviar.");
        QTest::newRow("no price") << "no price" << report.arg(third, " 4") << 2 << 3 << twoLeft;
        QTest::newRow("infinite price") << "infinite price" << report.arg(third, " 4") << 2 << 3 << twoLeft;
        QTest::newRow("minus infinite price") << "minus infinite price" << report.arg(third, " 4") << 2 << 3 << twoLeft;
        QTest::newRow("no price on the last product")
            << "no price last" << report.arg("Type mismatch (producto 103 \"Producto 004\")", " 4") << 3 << 4
            << "Tanda detenida: 3 actualizados, 0 rechazados, 0 con error, 1 sin enviar.";
        QTest::newRow("out of memory") << "out of memory" << report.arg("std::bad_alloc", " 7") << 2 << 2 << twoLeft;
    }
    void aFailureEndsTheBatchWithItsReport() {
        QFETCH(QString, failure);
        QFETCH(QString, notice);
        QFETCH(int, sent);
        QFETCH(int, progressRow);
        QFETCH(QString, status);
        catalogo::Catalogo shop = MarketWindow::linkedShop(4);
        if (failure == QLatin1String("no price"))
            shop.productos[2].precio.reset();
        else if (failure == QLatin1String("no price last"))
            shop.productos[3].precio.reset();
        else if (failure == QLatin1String("infinite price"))
            shop.productos[2].precio = std::numeric_limits<double>::infinity();
        else if (failure == QLatin1String("minus infinite price"))
            shop.productos[2].precio = -std::numeric_limits<double>::infinity();
        MarketWindow mw;
        QVERIFY(open(mw, shop, 4));
        if (failure.endsWith(QLatin1String("infinite price")))
            QCOMPARE(mw.f().Grid1->textMatrix(3, 3), failure.startsWith(u'm') ? "-inf" : "inf");
        if (failure == QLatin1String("out of memory"))
            connect(mw.f().Barra1, &QProgressBar::valueChanged, this, [](int value) {
                if (value == 2)
                    throw std::bad_alloc();
            });
        mw.server.clearLog();
        QVERIFY(runBatch(mw));
        QCOMPARE(mw.dialogs.notices(), QStringList{notice});
        QCOMPARE(mw.server.log().size(), sent);
        QCOMPARE(mw.f().Label3->text(), progress(progressRow, progressRow, progressRow));
        QCOMPARE(mw.f().VerEstado->text(), status);
        QVERIFY(!mw.f().Esperando);
        QVERIFY(mw.f().Command2->isEnabled());
        // Nothing more was sent after the report.
        QTest::qWait(50);
        QCOMPARE(mw.server.log().size(), sent);
    }

    // "Cancelar" stops the batch before its next item: a wait before an item or a pause ends at once, an item
    // sent is awaited to its verdict. A second batch with "Solo los no afectados" sends the rest, nothing twice.
    void cancelarStopsTheBatchBeforeItsNextItem_data() {
        QTest::addColumn<int>("items");
        QTest::addColumn<double>("speed");
        QTest::addColumn<QString>("during");
        QTest::addColumn<int>("sent");
        QTest::addColumn<QString>("status");
        QTest::newRow("the wait before the first item")
            << 3 << 10.0 << "first wait" << 0
            << "Tanda cancelada: 0 actualizados, 0 rechazados, 0 con error, 3 sin enviar.";
        QTest::newRow("the second item's wait for its answer")
            << 5 << Speed << "answer" << 2
            << "Tanda cancelada: 2 actualizados, 0 rechazados, 0 con error, 3 sin enviar.";
        QTest::newRow("the twenty-second pause") << 35 << 20.0 << "pause" << 29
                                                 << "Tanda cancelada: 29 actualizados, 0 rechazados, 0 con error, 6 "
                                                    "sin enviar.";
    }
    void cancelarStopsTheBatchBeforeItsNextItem() {
        QFETCH(int, items);
        QFETCH(double, speed);
        QFETCH(QString, during);
        QFETCH(int, sent);
        QFETCH(QString, status);
        MarketWindow mw;
        QVERIFY(open(mw, MarketWindow::linkedShop(items), items, speed));
        auto* cancelar = mw.w->findChild<QPushButton*>(QStringLiteral("CmdCancelar"));
        QVERIFY(cancelar && cancelar->isHidden());
        if (during == QLatin1String("answer")) {
            sim::Fault slow;
            slow.millis = 400;
            mw.server.addFault(sim::PathPrice, 2, slow);
        }
        mw.server.clearLog();
        bool clicked = false, shownAtClick = false, otherInputTaken = false;
        qint64 clickedNs = 0;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] {
            if (clicked || !mw.f().operacionEnCurso)
                return;
            const QList<sim::Request> prices = mw.server.log(sim::PathPrice);
            const QList<sim::Request> pauses = mw.server.log(sim::PathPause);
            const bool now = during == QLatin1String("first wait") ? prices.isEmpty()
                             : during == QLatin1String("answer")   ? prices.size() == 2 && prices[1].answeredNs == 0
                                                                   : !pauses.isEmpty() && pauses[0].answeredNs != 0;
            if (!now)
                return;
            clicked = true;
            shownAtClick = cancelar->isVisible() && cancelar->isEnabled();
            // The window still takes no other input.
            const bool ticked = mw.f().Check1->isChecked();
            QTest::mouseClick(mw.f().Check1, Qt::LeftButton);
            otherInputTaken = mw.f().Check1->isChecked() != ticked;
            clickedNs = sim::MarketSim::now();
            QTest::mouseClick(cancelar, Qt::LeftButton);
        });
        probe.start(2);
        QVERIFY(runBatch(mw));
        probe.stop();
        const qint64 endedNs = sim::MarketSim::now();
        QVERIFY(clicked && shownAtClick && !otherInputTaken);
        QVERIFY(cancelar->isHidden());
        QCOMPARE(mw.f().VerEstado->text(), status);
        // A pause cut short ends the batch long before its twenty seconds.
        if (during == QLatin1String("pause"))
            QVERIFY2(double(endedNs - clickedNs) / 1e9 * speed < 10.0,
                     qPrintable(QString::number(endedNs - clickedNs)));
        QStringList first;
        for (const sim::Request& r : mw.server.log(sim::PathPrice))
            first << r.query.value(QStringLiteral("item_id"));
        QCOMPARE(first.size(), sent);
        FlexGrid& g = *mw.f().Grid1;
        // The item awaited when "Cancelar" came still got its verdict.
        for (int r = 1; r <= items; ++r)
            QCOMPARE(g.textMatrix(r, 7), r <= sent ? QStringLiteral("1") : QStringLiteral("0"));
        QFile journal(mw.dir.filePath(QStringLiteral("journal/")) +
                      QDir(mw.dir.filePath(QStringLiteral("journal"))).entryList({"*.jsonl"}).value(0));
        QVERIFY(journal.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = journal.readAll().trimmed().split('\n');
        QVERIFY(lines.last().contains("\"event\":\"batch-end\""));
        QVERIFY(lines.last().contains("\"stopped\":true") && lines.last().contains("\"cancelled\":true"));
        QVERIFY(lines.last().contains("\"unsent\":" + QByteArray::number(items - sent)));

        // "Solo los no afectados" sends the rest, each once.
        QVERIFY(mw.f().Check1->isChecked());
        mw.server.clearLog();
        QVERIFY(runBatch(mw));
        QStringList rest;
        for (const sim::Request& r : mw.server.log(sim::PathPrice))
            rest << r.query.value(QStringLiteral("item_id"));
        QStringList expected;
        for (int i = sent; i < items; ++i)
            expected << QStringLiteral("MLV%1").arg(1000 + i);
        QCOMPARE(rest, expected);
        QCOMPARE(mw.f().VerEstado->text(),
                 QStringLiteral("Tanda terminada: %1 actualizados, 0 rechazados, 0 con error.").arg(items - sent));
        for (int r = 1; r <= items; ++r)
            QCOMPARE(colour(mw, r), Cyan);
    }

    void closingTheWindowEndsTheBatchAtOnce() {
        MarketWindow mw;
        QVERIFY(open(mw, MarketWindow::linkedShop(40), 40, 10));
        mw.server.clearLog();
        int sentAtClose = -1;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] {
            if (sentAtClose >= 0 || mw.server.log().size() < 3)
                return;
            // A second batch cannot start inside the running one.
            mw.f().Command2->click();
            mw.w->close();
            sentAtClose = mw.w->Inet1().enviadas();
        });
        probe.start(5);
        mw.dialogs.answers = {true, true};
        mw.f().Command2->click();  // returns when the batch has ended
        probe.stop();
        QCOMPARE(mw.dialogs.shown.size(), 1);
        QVERIFY(sentAtClose >= 0);
        QVERIFY(!mw.f().operacionEnCurso && !mw.f().Esperando);
        QTest::qWait(200);
        QCOMPARE(mw.w->Inet1().enviadas(), sentAtClose);
        QVERIFY(mw.server.log().size() <= sentAtClose);
    }

    // The whole chain over HTTPS: the window signs in to the gateway program, downloads 45 listings through it and
    // pushes 6 prices, which the gateway puts on the marketplace's API double; two are refused there, and the grid
    // shows exactly what the double applied.
    void throughTheGatewayToTheMarketplace_data() {
        QTest::addColumn<int>("items");
        QTest::addColumn<QString>("minPrice");
        QTest::addColumn<QString>("automated");
        QTest::addColumn<QString>("paused");
        QTest::addColumn<QString>("stranger");      // a product linked to another seller's item: the row, or none
        QTest::addColumn<QStringList>("refusals");  // the gateway's sentence for each product row; empty: applied
        const QString below = QStringLiteral("El precio está por debajo del mínimo de la categoría en Mercado Libre.");
        const QString automated = QStringLiteral(
            "La publicación tiene precio automático en Mercado Libre. Desactive la automatización para cambiarlo.");
        const QString paused = QStringLiteral(
            "La publicación está pausada o cerrada en Mercado Libre. Actívela antes de cambiar el precio.");
        const QString notYours = QStringLiteral("La publicación no pertenece a su cuenta de Mercado Libre.");
        QTest::newRow("below the minimum, automated") << 45 << "11"
                                                      << "MLV700000004"
                                                      << ""
                                                      << "" << QStringList{below, {}, {}, {}, automated, {}};
        QTest::newRow("paused, another seller's") << 46 << ""
                                                  << ""
                                                  << "MLV700000002"
                                                  << "4" << QStringList{{}, {}, paused, notYours, {}, {}};
    }
    void throughTheGatewayToTheMarketplace() {
        QFETCH(int, items);
        QFETCH(QString, minPrice);
        QFETCH(QString, automated);
        QFETCH(QString, paused);
        QFETCH(QString, stranger);
        QFETCH(QStringList, refusals);
        constexpr int Products = 6;
        catalogo::Catalogo shop = MarketWindow::linkedShop(Products);
        for (int i = 0; i < Products; ++i)
            shop.productos[size_t(i)].serial = QStringLiteral("MLV%1").arg(sim::ApiFirstItem + i);
        if (!stranger.isEmpty())
            shop.productos[size_t(stranger.toInt() - 1)].serial = QStringLiteral("MLV%1").arg(sim::ApiFirstOtherItem);
        sim::ApiOptions api;
        api.seller = MarketWindow::Seller;
        api.items = items;
        api.minPrice = minPrice;
        if (!automated.isEmpty())
            api.automated = {automated};
        if (!paused.isEmpty())
            api.paused = {paused};

        MarketWindow mw;
        QVERIFY(mw.server.serveApi(api));
        sim::GatewayProgram gateway(QStringLiteral(VANTORIA_GATEWAY), mw.dir.filePath(QStringLiteral("pasarela")));
        bool serving = false;
        QVERIFY(mw.open(
            0,
            [&](frmVantoria::Options& o) {
                serving = gateway.start(mw.server, api, MarketWindow::User, MarketWindow::Password);
                sim::apuntoALaPasarela(o, gateway);
                o.velocidadReloj = Speed;
            },
            {}, shop));
        QVERIFY2(serving, qPrintable(gateway.error()));
        QVERIFY(mw.signedIn());
        FlexGrid& listings = *mw.f().Grid2;
        QCOMPARE(listings.rows(), 45 + 1);
        for (int r = 1, i = 0; r < listings.rows(); ++r, ++i) {
            if (QStringLiteral("MLV%1").arg(sim::ApiFirstItem + i) == paused)
                ++i;
            QCOMPARE(listings.textMatrix(r, 0), QStringLiteral("MLV%1").arg(sim::ApiFirstItem + i));
        }
        QCOMPARE(listings.textMatrix(1, 2), QStringLiteral("Licuadora Oster 10 Velocidades Vaso De Vidrio"));

        QVERIFY(runBatch(mw));
        // What the double applied: the price of every PUT it answered 200.
        QHash<QString, double> applied;
        QStringList tokens;
        for (const QByteArray& line : mw.server.apiLog()) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o.value("method").toString() == u"PUT" && o.value("status").toInt() == 200)
                applied.insert(o.value("item").toString(), o.value("price").toDouble());
            for (const char* token : {"access_token", "refresh_token"})
                if (o.contains(QLatin1String(token)))
                    tokens << o.value(QLatin1String(token)).toString();
        }
        FlexGrid& g = *mw.f().Grid1;
        QCOMPARE(applied.size(), refusals.count(QString()));
        const QByteArray audit = gateway.run({QStringLiteral("audit"), QStringLiteral("--csv")});
        for (int r = 1; r <= Products; ++r) {
            const QString id = g.textMatrix(r, 4);
            const QString asked = QString::number(10.5 + r - 1, 'f', 2);
            if (refusals[r - 1].isEmpty()) {
                QCOMPARE(applied.value(id, -1), 10.5 + r - 1);
                QCOMPARE(colour(mw, r), Cyan);
                QCOMPARE(g.textMatrix(r, 7), QStringLiteral("1"));
            } else {
                QVERIFY2(!applied.contains(id), qPrintable(id));
                QVERIFY(!g.cells().cell(r, 2).hasBack);
                QCOMPARE(g.textMatrix(r, 7), QStringLiteral("0"));
                const QString line =
                    QStringLiteral(",ana,%1,%2,%3,,%4,").arg(MarketWindow::Seller, id, asked, refusals[r - 1]);
                QVERIFY2(QString::fromUtf8(audit).contains(line), qPrintable(line + u'\n' + QString::fromUtf8(audit)));
            }
        }
        QCOMPARE(mw.f().VerEstado->text(),
                 QStringLiteral("Tanda terminada: 4 actualizados, 2 rechazados, 0 con error."));
        QCOMPARE(gateway.stop(), 0);
        // No token the double issued is in the gateway's store, its log or its audit.
        QVERIFY(tokens.size() >= 2);
        QByteArray kept = gateway.log() + audit;
        for (const char* name : {"gateway.sqlite", "gateway.sqlite-wal"}) {
            QFile f(mw.dir.filePath(QStringLiteral("pasarela/") + QLatin1String(name)));
            if (f.open(QIODevice::ReadOnly))
                kept += f.readAll();
        }
        for (const QString& token : tokens)
            QVERIFY2(!kept.contains(token.toUtf8()), qPrintable(token));
    }
};

QTEST_MAIN(MasivoTest)
#include "tst_masivo.moc"
