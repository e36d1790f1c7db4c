// Every marketplace operation against every way a connection or an answer can go wrong: the window ends usable, no
// wait hangs, no row changes that should not, nothing is sent twice, and trying again afterwards works.

#include "MarketWindow.h"
#include "Mercado.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QTcpServer>

namespace {

enum class Op { SignIn, Page, Push, BulkItem, Pause };
enum class Fault {
    Refused,
    DroppedMidAnswer,
    ErrorPage,
    WrongCertificate,
    TimeOut,
    EndlessSlow,
    Oversized,
    Garbage,
    NotGzip,
    GzipCut,
    GzipBomb,
    BadChunks,
    HeaderFlood,
    CutWithoutAlert,
    CutByReset
};

const QString Rejected = QStringLiteral("No se pudo identificar el usuario.");
const QString Failed = QStringLiteral("No se pudo realizar la operación.");
const QString Done = QStringLiteral("Listo. Operación realizada con éxito.");
const QString NotJson =
    QStringLiteral("Error recibiendo info del servidor.\rEtapa  .007\rObject required\rPaso  2 State  12");

// A port of this machine where nothing listens.
quint16 closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

}  // namespace

Q_DECLARE_METATYPE(Op)
Q_DECLARE_METATYPE(Fault)

class FallasTest : public QObject {
    Q_OBJECT

    static constexpr int Items = 3;

    // A click on a product's push icon.
    static void clickPush(MarketWindow& mw, int row = 1) {
        FlexGrid* grid = mw.f().Grid1;
        grid->cells().flush();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {},
                          grid->visualRect(grid->model()->index(row - 1, 5)).center());
    }

  private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void everyOperationSurvivesEveryFault_data() {
        QTest::addColumn<Op>("op");
        QTest::addColumn<Fault>("fault");
        // What the operator is told: none for a failed request (the status line says it), the branch's own answer
        // for a page that arrived whole but holds no success.
        QTest::addColumn<QStringList>("notices");
        const struct {
            Op op;
            const char* name;
            QString answerNotice;  // the notice for an answer that arrived but says nothing useful
        } ops[] = {{Op::SignIn, "sign-in", Rejected},
                   {Op::Page, "listing page", NotJson},
                   {Op::Push, "single push", Failed},
                   {Op::BulkItem, "bulk item", {}},
                   {Op::Pause, "pause", {}}};
        const struct {
            Fault fault;
            const char* name;
            bool arrives;  // the answer arrives whole
        } faults[] = {{Fault::Refused, "connection refused", false},
                      {Fault::DroppedMidAnswer, "dropped mid-answer", false},
                      {Fault::ErrorPage, "HTTP 500 with a page", true},
                      {Fault::WrongCertificate, "a wrong certificate", false},
                      {Fault::TimeOut, "no answer", false},
                      {Fault::EndlessSlow, "an endless slow answer", false},
                      {Fault::Oversized, "an answer over 32 MiB", false},
                      {Fault::Garbage, "NUL bytes and invalid UTF-8", true},
                      {Fault::NotGzip, "a body labelled gzip that is not", false},
                      {Fault::GzipCut, "gzip cut short", false},
                      {Fault::GzipBomb, "a gzip bomb", false},
                      {Fault::BadChunks, "malformed chunk sizes", false},
                      {Fault::HeaderFlood, "a flood of header lines", false},
                      {Fault::CutWithoutAlert, "a body to the close cut by a bare FIN", false},
                      {Fault::CutByReset, "a body to the close cut by a reset", false}};
        for (const auto& o : ops)
            for (const auto& f : faults)
                QTest::addRow("%s: %s", o.name, f.name)
                    << o.op << f.fault
                    << (f.arrives && !o.answerNotice.isEmpty() ? QStringList{o.answerNotice} : QStringList());
    }

    void everyOperationSurvivesEveryFault() {
        QFETCH(Op, op);
        QFETCH(Fault, fault);
        QFETCH(QStringList, notices);
        const int listings = op == Op::Pause ? 30 : Items;
        MarketWindow mw;
        QVERIFY(mw.open(
            listings,
            [](frmVantoria::Options& o) {
                // Short enough for the rows that wait for them, long enough that the 30 requests of a pause row
                // do not time out on a machine busy with other tests (ASan, the gateway's password hashing).
                o.sinDatosMs = 1000;
                o.totalMs = 3000;
                o.velocidadReloj = 200;
            },
            {}, MarketWindow::linkedShop(listings)));
        sim::MarketSim stranger;
        stranger.addAccount(MarketWindow::User, MarketWindow::Password, MarketWindow::Seller);
        sim::MarketSim::Options strangerOptions;
        strangerOptions.strangerCertificate = true;
        QVERIFY(stranger.start(strangerOptions));

        Mercado& m = mw.w->mercado();
        const QString good = mw.server.baseUrl();
        const QString bad =
            fault == Fault::Refused ? QStringLiteral("https://127.0.0.1:%1").arg(closedPort()) : stranger.baseUrl();
        const bool byAddress = fault == Fault::Refused || fault == Fault::WrongCertificate;
        const QByteArray path = op == Op::SignIn  ? QByteArray(sim::PathSignIn)
                                : op == Op::Page  ? QByteArray(sim::PathSearch)
                                : op == Op::Pause ? QByteArray(sim::PathPause)
                                                  : QByteArray(sim::PathPrice);
        const int nth = op == Op::BulkItem ? 2 : 1;
        if (!byAddress) {
            sim::Fault f;
            f.kind = fault == Fault::DroppedMidAnswer  ? sim::FaultKind::DropMidAnswer
                     : fault == Fault::ErrorPage       ? sim::FaultKind::Status
                     : fault == Fault::TimeOut         ? sim::FaultKind::NoAnswer
                     : fault == Fault::EndlessSlow     ? sim::FaultKind::Trickle
                     : fault == Fault::Oversized       ? sim::FaultKind::Oversized
                     : fault == Fault::NotGzip         ? sim::FaultKind::GzipNotGzip
                     : fault == Fault::GzipCut         ? sim::FaultKind::GzipCut
                     : fault == Fault::GzipBomb        ? sim::FaultKind::GzipBomb
                     : fault == Fault::BadChunks       ? sim::FaultKind::BadChunks
                     : fault == Fault::HeaderFlood     ? sim::FaultKind::HeaderFlood
                     : fault == Fault::CutWithoutAlert ? sim::FaultKind::CutWithoutAlert
                     : fault == Fault::CutByReset      ? sim::FaultKind::CutByReset
                                                       : sim::FaultKind::Body;
            f.number = fault == Fault::ErrorPage                                       ? 500
                       : fault == Fault::CutWithoutAlert || fault == Fault::CutByReset ? 0
                                                                                       : qint64(33) * 1024 * 1024;
            f.millis = 50;
            if (fault == Fault::Garbage)
                f.body = QByteArray("\0\xff\xfe{\"paging\":\0\xc3(", 14);
            mw.server.addFault(path, nth, f);
        }

        // The address goes bad as the answer before the operation's request lands, and good again once it failed.
        // States arrive on the window's thread in order, before the batch sends its next request.
        int failedSeen = 0;
        bool batchRuns = false;
        const QMetaObject::Connection probe = connect(&mw.w->Inet1(), &Inet::StateChanged, this, [&](int s) {
            if (!byAddress || !batchRuns || failedSeen != 0)
                return;
            // The request that follows the first item's answer is the second item; the one that follows the
            // 29th is the pause.
            if (s == 11) {
                failedSeen = 1;
                m.urlPasarela = good;
            } else if (s == 12 && mw.states.count(12) == (op == Op::BulkItem ? 1 : 29)) {
                m.urlPasarela = bad;
            }
        });

        if (op == Op::SignIn && byAddress)
            m.urlPasarela = bad;
        if (op == Op::Page && byAddress)
            m.urlMercado = bad;
        mw.signIn();
        QVERIFY(mw.waitIdle());
        const bool signedIn = op != Op::SignIn && op != Op::Page;
        if (signedIn)
            QCOMPARE(mw.f().Grid2->rows(), listings + 1);
        mw.server.clearLog();
        mw.states.clear();

        if (op == Op::Push) {
            if (byAddress)
                m.urlPasarela = bad;
            mw.dialogs.answers = {true};
            clickPush(mw);
            QVERIFY(mw.waitIdle());
            QVERIFY(!mw.dialogs.shown.isEmpty());
            mw.dialogs.shown.removeFirst();  // the question
        } else if (op == Op::BulkItem || op == Op::Pause) {
            mw.dialogs.answers = {true};
            batchRuns = true;
            mw.f().Command2->click();
            batchRuns = false;
            QVERIFY(mw.waitIdle());
            QVERIFY(!mw.dialogs.shown.isEmpty());
            mw.dialogs.shown.removeFirst();
        }

        QCOMPARE(mw.dialogs.notices(), notices);
        QVERIFY(ventanaHabilitada(mw.f()));
        QVERIFY(mw.f().Frame1->isHidden());
        QVERIFY(!mw.f().Esperando);
        // Nothing was sent twice.
        const QList<sim::Request> log = mw.server.log();
        QSet<QByteArray> targets;
        for (const sim::Request& r : log)
            QVERIFY2(!targets.contains(r.target) || r.path == sim::PathSearch, r.target.constData());
        for (const sim::Request& r : log)
            targets.insert(r.target);

        FlexGrid& products = *mw.f().Grid1;
        const auto colour = [&](int row) {
            const FlexGridModel::Cell& c = products.cells().cell(row, 2);
            return c.hasBack ? QColor(c.back) : QColor();
        };
        switch (op) {
            case Op::SignIn:
            case Op::Page:
                QCOMPARE(mw.f().Grid2->rows(), 1);
                QVERIFY(mw.signInEnabled());
                break;
            case Op::Push:
                QCOMPARE(mw.f().Grid2->textMatrix(1, 3), QString());
                QCOMPARE(products.textMatrix(1, 7), QStringLiteral("0"));
                QCOMPARE(log.size(), byAddress ? 0 : 1);
                break;
            case Op::BulkItem: {
                // Items 1 and 3 pushed; the second failed (orange) unless an answer arrived that said no.
                const bool answered = fault == Fault::ErrorPage || fault == Fault::Garbage;
                QCOMPARE(colour(1), QColor(208, 255, 255));
                QCOMPARE(colour(2), answered ? QColor() : QColor(255, 127, 10));
                QCOMPARE(colour(3), QColor(208, 255, 255));
                QCOMPARE(products.textMatrix(2, 7), QStringLiteral("0"));
                QCOMPARE(mw.server.log(sim::PathPrice).size(), byAddress ? 2 : 3);
                break;
            }
            case Op::Pause:
                // Whatever became of the pause, every item was pushed once, after it.
                for (int r = 1; r <= listings; ++r)
                    QCOMPARE(colour(r), QColor(208, 255, 255));
                QCOMPARE(mw.server.log(sim::PathPrice).size(), listings);
                QCOMPARE(mw.server.log(sim::PathPause).size(), byAddress ? 0 : 1);
                break;
        }

        // Trying again works.
        disconnect(probe);
        mw.server.clearFaults();
        m.urlMercado = m.urlPasarela = good;
        mw.dialogs.shown.clear();
        if (op == Op::SignIn || op == Op::Page) {
            mw.signIn();
            QVERIFY(mw.waitIdle());
            QCOMPARE(mw.f().Grid2->rows(), listings + 1);
        } else if (op == Op::Push) {
            mw.dialogs.answers = {true};
            clickPush(mw);
            QVERIFY(mw.waitIdle());
            QCOMPARE(mw.dialogs.notices(), QStringList{Done});
            QCOMPARE(mw.f().Grid2->textMatrix(1, 3), products.textMatrix(1, 3));
        } else {
            mw.dialogs.answers = {true};
            mw.f().Command2->click();
            QVERIFY(mw.waitIdle());
            for (int r = 1; r <= listings; ++r)
                QCOMPARE(colour(r), QColor(208, 255, 255));
        }
        QVERIFY(ventanaHabilitada(mw.f()));
    }

    // The gateway's session goes back with every later request to its host, and a new sign-in starts without it.
    void theSessionCookieGoesBackUntilTheNextSignIn() {
        MarketWindow mw;
        QVERIFY(mw.open(Items, {}, {}, MarketWindow::linkedShop(Items)));
        mw.server.requireSessions(true);
        QVERIFY(mw.signedIn());
        mw.dialogs.answers = {true};
        clickPush(mw);
        QVERIFY(mw.waitIdle());
        QCOMPARE(mw.dialogs.notices(), QStringList{Done});
        mw.dialogs.shown.clear();
        mw.f().Command1->setEnabled(true);  // the window offers no second sign-in in a run; the handler takes one
        QVERIFY(mw.signedIn());
        mw.dialogs.answers = {true};
        clickPush(mw, 2);
        QVERIFY(mw.waitIdle());
        QCOMPARE(mw.dialogs.notices(), QStringList{Done});

        QStringList sent;  // the path of each request and the session it carried: 1 or 2, in the order opened
        QList<QByteArray> sessions;
        for (const sim::Request& r : mw.server.log()) {
            const QByteArray cookie = r.header("Cookie");
            if (!cookie.isEmpty() && !sessions.contains(cookie))
                sessions << cookie;
            sent << QString::fromLatin1(r.path.sliced(r.path.lastIndexOf('/') + 1) + ' ' +
                                        (cookie.isEmpty() ? "-" : QByteArray::number(sessions.indexOf(cookie) + 1)));
        }
        QCOMPARE(sent, (QStringList{"ml00000316_LogeandoEspecial.php -", "search 1", "ml00000102_meliGet.php 1",
                                    "ml00000316_LogeandoEspecial.php -", "search 2", "ml00000102_meliGet.php 2"}));
        QVERIFY(sessions.value(0).startsWith("sesion="));
        QCOMPARE(sessions.value(0).size(), 7 + 64);
    }

    // Answers that a kept-alive connection, an interim answer, chunks or cookies could have shifted onto the wrong
    // request: a batch of three (applied, refused, applied), then a single push that is refused.
    void everyAnswerBelongsToItsOwnRequest_data() {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("nth");
        QTest::addColumn<int>("kind");
        QTest::addColumn<qint64>("number");
        QTest::addColumn<QByteArray>("body");
        const QByteArray price = sim::PathPrice;
        QTest::newRow("a stale second answer after the first item")
            << price << 1 << int(sim::FaultKind::StaleSecond) << qint64(0) << QByteArray("Listo!!!");
        QTest::newRow("bytes past the first item's length")
            << price << 1 << int(sim::FaultKind::OverlongBody) << qint64(0) << QByteArray("Listo!!!");
        QTest::newRow("a stale answer after the last page")
            << QByteArray(sim::PathSearch) << 1 << int(sim::FaultKind::StaleSecond) << qint64(0)
            << QByteArray("Listo!!!");
        QTest::newRow("a stale answer after the third item")
            << price << 3 << int(sim::FaultKind::StaleSecond) << qint64(0) << QByteArray("Listo!!!");
        QTest::newRow("103 Early Hints before the sign-in")
            << QByteArray(sim::PathSignIn) << 1 << int(sim::FaultKind::Interim) << qint64(103) << QByteArray();
        QTest::newRow("102 before a page")
            << QByteArray(sim::PathSearch) << 1 << int(sim::FaultKind::Interim) << qint64(102) << QByteArray();
        QTest::newRow("100 before the first item")
            << price << 1 << int(sim::FaultKind::Interim) << qint64(100) << QByteArray();
        QTest::newRow("the closure alert after the first item, the TCP connection kept open")
            << price << 1 << int(sim::FaultKind::AlertKeptOpen) << qint64(0) << QByteArray();
        QTest::newRow("the sign-in answered to the closure alert")
            << QByteArray(sim::PathSignIn) << 0 << int(sim::FaultKind::ToTheAlert) << qint64(0) << QByteArray();
        QTest::newRow("chunked answers") << price << 1 << int(sim::FaultKind::Chunked) << qint64(3) << QByteArray();
        QTest::newRow("cookies on every answer")
            << QByteArray() << 0 << int(sim::FaultKind::SetCookie) << qint64(10) << QByteArray();
    }
    void everyAnswerBelongsToItsOwnRequest() {
        QFETCH(QByteArray, path);
        QFETCH(int, nth);
        QFETCH(int, kind);
        QFETCH(qint64, number);
        QFETCH(QByteArray, body);
        MarketWindow mw;
        QVERIFY(mw.open(
            Items, [](frmVantoria::Options& o) { o.velocidadReloj = 200; }, {}, MarketWindow::linkedShop(Items)));
        sim::Fault f;
        f.kind = sim::FaultKind(kind);
        f.number = number;
        f.body = body;
        for (const char* p : {sim::PathSignIn, sim::PathSearch, sim::PathPrice})
            if (path.isEmpty() || path == p)
                mw.server.addFault(p, nth, f);
        sim::Fault refuse;
        refuse.kind = sim::FaultKind::Refuse;
        mw.server.addFault(sim::PathPrice, 2, refuse);
        mw.server.addFault(sim::PathPrice, 4, refuse);

        mw.signIn();
        QVERIFY(mw.waitIdle());
        QCOMPARE(mw.f().Grid2->rows(), Items + 1);
        mw.dialogs.answers = {true};
        mw.f().Command2->click();
        QVERIFY(mw.waitIdle());
        FlexGrid& products = *mw.f().Grid1;
        const auto colour = [&](int row) {
            const FlexGridModel::Cell& c = products.cells().cell(row, 2);
            return c.hasBack ? QColor(c.back) : QColor();
        };
        const QStringList marks{products.textMatrix(1, 7), products.textMatrix(2, 7), products.textMatrix(3, 7)};
        QCOMPARE(marks, (QStringList{"1", "0", "1"}));
        QCOMPARE(colour(1), QColor(208, 255, 255));
        QCOMPARE(colour(2), QColor());
        QCOMPARE(colour(3), QColor(208, 255, 255));
        QCOMPARE(mw.f().Grid2->textMatrix(2, 3), QString());

        mw.dialogs.answers = {true};
        clickPush(mw, 2);
        QVERIFY(mw.waitIdle());
        QCOMPARE(mw.dialogs.notices(), QStringList{Failed});
        QCOMPARE(mw.f().Grid2->textMatrix(2, 3), QString());
        QVERIFY(ventanaHabilitada(mw.f()));
        // Every request reached the server once, on a connection of its own, and carried back exactly what the
        // host had set before it: the cookies of 4,000 bytes only as many as fit in a line of 8 KB, two.
        const QList<sim::Request> log = mw.server.log();
        QCOMPARE(mw.server.log(sim::PathPrice).size(), Items + 1);
        const QByteArray big = QByteArray(4000, 'x');
        QByteArray set;
        QSet<int> connections;
        for (const sim::Request& r : log) {
            QVERIFY(!connections.contains(r.connection));
            connections.insert(r.connection);
            QCOMPARE(r.header("Cookie"), set);
            if (sim::FaultKind(kind) == sim::FaultKind::SetCookie)
                set = "c1=" + big + "; c2=" + big;
        }
    }

    // Pages of a download follow one another on one kept connection; an answer that comes on it must be the page
    // asked for, or the download fails as a lost request does (no report, the rows received so far kept), and a
    // kept connection the server ended goes on a new one, each page sent once. 50 listings: three pages.
    void pagesOnAKeptConnectionAreTheirOwn_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("nth");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("rows");             // listing rows when the download has ended
        QTest::addColumn<int>("pageConnections");  // connections the pages came on
        const auto page = [](int offset, const QByteArray& seller, const QByteArray& listingSeller) {
            return "{\"seller\":{\"id\":" + seller +
                   "},\"paging\":{\"total\":50,\"primary_results\":50,\"offset\":" + QByteArray::number(offset) +
                   ",\"limit\":20},\"results\":[{\"id\":\"MLV9000\",\"title\":\"Otra\",\"seller\":{\"id\":" +
                   listingSeller + "}}]}";
        };
        QTest::newRow("no fault: one connection") << int(sim::FaultKind::Delay) << 0 << QByteArray() << 50 << 1;
        QTest::newRow("a stale copy of the first page before the second")
            << int(sim::FaultKind::StaleSecond) << 1 << page(0, "12345", "12345") << 20 << 1;
        QTest::newRow("the second page of another seller")
            << int(sim::FaultKind::Body) << 2 << page(20, "999", "999") << 20 << 1;
        QTest::newRow("a listing of another seller on the second page")
            << int(sim::FaultKind::Body) << 2 << page(20, "12345", "999") << 20 << 1;
        QTest::newRow("the second page without its offset")
            << int(sim::FaultKind::Body) << 2 << QByteArray("{\"seller\":{\"id\":12345},\"paging\":{}}") << 20 << 1;
        QTest::newRow("an error page on the kept connection")
            << int(sim::FaultKind::Status) << 2 << QByteArray() << 20 << 1;
        // Kept only after an answer framed by a length or chunks with nothing after it.
        QTest::newRow("every page chunked: one connection")
            << int(sim::FaultKind::Chunked) << 0 << QByteArray() << 50 << 1;
        QTest::newRow("bytes past the first page's length: not kept")
            << int(sim::FaultKind::OverlongBody) << 1 << QByteArray("x") << 50 << 2;
        QTest::newRow("the first page to the closure alert: not kept")
            << int(sim::FaultKind::ToTheAlert) << 1 << QByteArray() << 50 << 2;
        QTest::newRow("the server ends the kept connection after the first page")
            << int(sim::FaultKind::CloseAfterAnswer) << 1 << QByteArray() << 50 << 2;
        QTest::newRow("the server ends the kept connection after every page")
            << int(sim::FaultKind::CloseAfterAnswer) << 0 << QByteArray() << 50 << 3;
    }
    void pagesOnAKeptConnectionAreTheirOwn() {
        QFETCH(int, kind);
        QFETCH(int, nth);
        QFETCH(QByteArray, body);
        QFETCH(int, rows);
        QFETCH(int, pageConnections);
        MarketWindow mw;
        QVERIFY(mw.open(50));
        if (sim::FaultKind(kind) != sim::FaultKind::Delay) {
            sim::Fault f;
            f.kind = sim::FaultKind(kind);
            f.number = 500;
            f.body = body;
            mw.server.addFault(sim::PathSearch, nth, f);
        }
        mw.signIn();
        QVERIFY(mw.waitIdle());
        QCOMPARE(mw.dialogs.notices(), QStringList());
        QCOMPARE(mw.f().Grid2->rows(), rows + 1);
        QCOMPARE(mw.states.last(), rows == 50 ? 12 : 11);
        QCOMPARE(mw.signInEnabled(), rows < 50);
        // Every page asked for once; the sign-in on a connection of its own.
        QCOMPARE(mw.offsetsRequested(), rows == 50 ? (QStringList{"0", "20", "40"}) : (QStringList{"0", "20"}));
        QSet<int> pages;
        for (const sim::Request& r : mw.server.log(sim::PathSearch))
            pages.insert(r.connection);
        QCOMPARE(int(pages.size()), pageConnections);
        QVERIFY(!pages.contains(mw.server.log(sim::PathSignIn).value(0).connection));
        for (const sim::Request& r : mw.server.log(sim::PathSearch))
            QCOMPARE(r.header("Connection"), QByteArray("keep-alive"));
        QCOMPARE(mw.server.log(sim::PathSignIn).value(0).header("Connection"), QByteArray("close"));

        if (rows == 50)
            return;
        // Trying again downloads everything.
        mw.server.clearFaults();
        mw.server.clearLog();
        mw.signIn();
        QVERIFY(mw.waitIdle());
        QCOMPARE(mw.f().Grid2->rows(), 51);
        QCOMPARE(mw.offsetsRequested(), (QStringList{"0", "20", "40"}));
    }
};

QTEST_MAIN(FallasTest)
#include "tst_fallas.moc"
