// Sign-in and the listing download through the window's own controls, against the simulator.

#include "EstadoCanal.h"
#include "MarketWindow.h"
#include "Mercado.h"
#include "ResultBox.h"
#include "SearchBox.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QGroupBox>
#include <QLabel>
#include <QRandomGenerator>

#include <new>

namespace {

sim::Fault fault(sim::FaultKind kind, qint64 number = 0, QByteArray body = {}) {
    sim::Fault f;
    f.kind = kind;
    f.number = number;
    f.body = std::move(body);
    return f;
}

QString report(const char* etapa, const char* description, int paso = 2) {
    return QStringLiteral("Error recibiendo info del servidor.\rEtapa ") + QLatin1String(etapa) + u'\r' +
           QLatin1String(description) + QStringLiteral("\rPaso  %1 State  12").arg(paso);
}

}  // namespace

class IngresoTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void listingsArriveInPagesOfTwenty_data() {
        QTest::addColumn<int>("listings");
        QTest::addColumn<int>("shrinkTo");  // the total the second page announces; -1 keeps it
        QTest::addColumn<QStringList>("offsets");
        QTest::addColumn<int>("rows");
        QTest::newRow("none") << 0 << -1 << QStringList{"0"} << 0;
        QTest::newRow("exactly 40") << 40 << -1 << QStringList{"0", "20"} << 40;
        QTest::newRow("45") << 45 << -1 << QStringList{"0", "20", "40"} << 45;
        QTest::newRow("total shrinks to 30") << 45 << 30 << QStringList{"0", "20"} << 30;
    }
    void listingsArriveInPagesOfTwenty() {
        QFETCH(int, listings);
        QFETCH(int, shrinkTo);
        QFETCH(QStringList, offsets);
        QFETCH(int, rows);
        MarketWindow mw;
        QVERIFY(mw.open(listings));
        if (shrinkTo >= 0)
            mw.server.addFault(sim::PathSearch, 2, fault(sim::FaultKind::Total, shrinkTo));
        mw.signIn();
        QVERIFY(!ventanaHabilitada(mw.f()));
        QVERIFY(mw.waitIdle());

        QCOMPARE(mw.offsetsRequested(), offsets);
        const QList<sim::Request> signIn = mw.server.log(sim::PathSignIn);
        QCOMPARE(signIn.size(), 1);
        // The password's "&", "=" and "%" reach the gateway as typed.
        QCOMPARE(signIn[0].body, QByteArray("fusuario=ana&fclave=cl%26ve%3D1%25"));
        QCOMPARE(signIn[0].form.value(QStringLiteral("fclave")), MarketWindow::Password);
        for (const sim::Request& r : mw.server.log(sim::PathSearch)) {
            QCOMPARE(r.method, QByteArray("POST"));
            QCOMPARE(r.query.value(QStringLiteral("limit")), QStringLiteral("20"));
            QCOMPARE(r.query.value(QStringLiteral("seller_id")), MarketWindow::Seller);
        }

        FlexGrid& g = *mw.f().Grid2;
        QCOMPARE(g.rows(), rows + 1);
        for (int r = 1; r <= rows; ++r) {
            QCOMPARE(g.textMatrix(r, 0), QStringLiteral("MLV%1").arg(999 + r));
            QCOMPARE(g.textMatrix(r, 2), QStringLiteral("Publicación %1").arg(r));
            QCOMPARE(g.textMatrix(r, 3), QString());
            QCOMPARE(g.textMatrix(r, 4), QString::number(r));
            QVERIFY(!g.cellPicture(r, 1).isNull());
        }
        // The window took no input from the click until the last page had been handled.
        QVERIFY(!mw.enabledAtState.isEmpty());
        QVERIFY(!mw.enabledAtState.mid(0, mw.enabledAtState.size() - 1).contains(true));
        QVERIFY(ventanaHabilitada(mw.f()));
        QVERIFY(!mw.f().Command1->isEnabled() && !mw.f().Usuario->isEnabled() && !mw.f().Clave->isEnabled());
        QVERIFY(mw.f().Command2->isEnabled() && mw.f().Buscar->isEnabled());
        QCOMPARE(mw.f().IdVendedor, MarketWindow::Seller);
        QVERIFY(mw.dialogs.shown.isEmpty());
    }

    // "Cancelar" on the wait panel stops the download after the page in flight: its rows and those before stay, no
    // further page is asked for, and the window is given back as after a finished download.
    void cancelarStopsTheDownloadAfterThePageInFlight_data() {
        QTest::addColumn<int>("page");  // of 10, in flight when "Cancelar" is clicked
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("status");
        QTest::newRow("page 1 of 10") << 1 << 20 << "Descarga cancelada: 20 publicaciones.";
        QTest::newRow("page 3 of 10") << 3 << 60 << "Descarga cancelada: 60 publicaciones.";
        // The last page ends the download anyway.
        QTest::newRow("page 10 of 10") << 10 << 200 << "La respuesta recibida satisfactoriamente del servidor";
    }
    void cancelarStopsTheDownloadAfterThePageInFlight() {
        QFETCH(int, page);
        QFETCH(int, rows);
        QFETCH(QString, status);
        MarketWindow mw;
        QVERIFY(mw.open(200));
        auto* cancelar = mw.w->findChild<QPushButton*>(QStringLiteral("CmdCancelar"));
        QVERIFY(cancelar && cancelar->isHidden());
        sim::Fault slow;
        slow.millis = 300;
        mw.server.addFault(sim::PathSearch, page, slow);
        mw.signIn();
        QVERIFY(cancelar->isHidden());  // not during the sign-in
        QVERIFY(mw.waitFor([&] { return mw.server.log(sim::PathSearch).size() == page; }));
        QVERIFY(mw.f().Frame1->isVisible() && cancelar->isVisible() && cancelar->isEnabled());
        QCOMPARE(mw.f().Label3->text(), QStringLiteral("Descargando publicaciones...     Por favor espere..."));
        // The page in flight is still awaited; nothing but "Cancelar" takes a click.
        QTest::mouseClick(mw.f().Check1, Qt::LeftButton);
        QVERIFY(mw.f().Check1->isChecked());
        QTest::mouseClick(cancelar, Qt::LeftButton);
        QVERIFY(!cancelar->isEnabled());
        QVERIFY(mw.waitIdle());
        QTest::qWait(100);
        QCOMPARE(mw.server.log(sim::PathSearch).size(), page);
        QCOMPARE(mw.f().Grid2->rows(), rows + 1);
        QCOMPARE(mw.f().Grid2->textMatrix(rows, 0), QStringLiteral("MLV%1").arg(999 + rows));
        QCOMPARE(mw.f().VerEstado->text(), status);
        QVERIFY(ventanaHabilitada(mw.f()));
        QVERIFY(mw.f().Frame1->isHidden() && cancelar->isHidden());
        QCOMPARE(mw.f().Label3->text(), QStringLiteral("Cargando productos...     Por favor espere..."));
        QVERIFY(!mw.signInEnabled());
        QVERIFY(mw.f().Command2->isEnabled() && mw.f().Buscar->isEnabled());
        QVERIFY(mw.dialogs.shown.isEmpty());
    }

    // A title of megabytes would freeze the window; the grid keeps its first thousand characters.
    void aLongTitleIsCutToAThousandCharacters_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("shown");
        const QString huge = QString::fromUtf16(u"Ñandú ").repeated(250'000);
        QTest::newRow("1.5 MB title") << huge << huge.left(1000);
        QTest::newRow("no surrogate pair split")
            << QString(999, u'a') + QString::fromUtf16(u"\U0001F600") + QString(5, u'b') << QString(999, u'a');
    }
    void aLongTitleIsCutToAThousandCharacters() {
        QFETCH(QString, title);
        QFETCH(QString, shown);
        MarketWindow mw;
        QVERIFY(mw.open(1));
        mw.server.addListing(MarketWindow::Seller, {QStringLiteral("MLV7"), title, 5.0});
        QVERIFY(mw.signedIn());
        FlexGrid& g = *mw.f().Grid2;
        QCOMPARE(g.rows(), 3);
        QCOMPARE(g.textMatrix(2, 0), QStringLiteral("MLV7"));
        QCOMPARE(g.textMatrix(2, 2), shown);
        QCOMPARE(g.textMatrix(1, 2), QStringLiteral("Publicación 1"));
    }

    void windowStaysDisabledWhateverTheChannelReportsBetweenPages() {
        MarketWindow mw;
        QVERIFY(mw.open(45));
        sim::Fault slow;
        slow.kind = sim::FaultKind::Delay;
        slow.millis = 300;
        mw.server.addFault(sim::PathSearch, 2, slow);
        mw.signIn();
        QVERIFY(mw.waitFor([&] { return mw.server.log().size() == 3; }));
        emit mw.w->Inet1().StateChanged(10);
        QVERIFY(!ventanaHabilitada(mw.f()));
        // A second "Conectar" cannot start while the download runs.
        mw.f().Command1->setEnabled(true);
        mw.f().Command1->click();
        QVERIFY(mw.waitIdle());
        QCOMPARE(mw.server.log(sim::PathSignIn).size(), 1);
        QCOMPARE(mw.f().Grid2->rows(), 46);
    }

    void failuresLeaveTheWindowReadyToSignInAgain_data() {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("nth");
        QTest::addColumn<int>("kind");
        QTest::addColumn<qint64>("number");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("notices");
        QTest::addColumn<int>("rows");
        QTest::addColumn<bool>("signedIn");  // Command2 and Buscar enabled
        QTest::addColumn<int>("listings");   // the seller's listings on the marketplace
        const QString pw = MarketWindow::Password;
        const QByteArray search = sim::PathSearch;
        const QByteArray signIn = sim::PathSignIn;
        const int none = -1;
        QTest::newRow("rejected") << "otra" << QByteArray() << 0 << none << qint64(0) << QByteArray()
                                  << QStringList{"No se pudo identificar el usuario."} << 0 << false << 45;
        QTest::newRow("sign-in dropped") << pw << signIn << 1 << int(sim::FaultKind::Drop) << qint64(0) << QByteArray()
                                         << QStringList() << 0 << false << 45;
        QTest::newRow("sign-in time-out") << pw << signIn << 1 << int(sim::FaultKind::NoAnswer) << qint64(0)
                                          << QByteArray() << QStringList() << 0 << false << 45;
        QTest::newRow("page not JSON") << pw << search << 1 << int(sim::FaultKind::Body) << qint64(0)
                                       << QByteArray("<html><body>Servicio no disponible</body></html>")
                                       << QStringList{report(" .007", "Object required")} << 0 << true << 45;
        // On the connection the first page kept, an answer that is not the page asked for fails as a lost request.
        QTest::newRow("second page an error page") << pw << search << 2 << int(sim::FaultKind::Status) << qint64(500)
                                                   << QByteArray() << QStringList() << 20 << true << 45;
        QTest::newRow("fewer results than announced")
            << pw << search << 1 << int(sim::FaultKind::FewerResults) << qint64(3) << QByteArray()
            << QStringList{report(" .011", "Subscript out of range")} << 17 << true << 45;
        QTest::newRow("page without paging")
            << pw << search << 1 << int(sim::FaultKind::Body) << qint64(0) << QByteArray(R"({"results":[]})")
            << QStringList{report(" .007", "Object required")} << 0 << true << 45;
        QTest::newRow("total beyond 32 bits")
            << pw << search << 1 << int(sim::FaultKind::Total) << qint64(9'000'000'000) << QByteArray()
            << QStringList{report(" .007", "Overflow")} << 0 << true << 45;
        // Dropped on the kept connection, and again on the new one it is sent on once more.
        QTest::newRow("second page dropped") << pw << search << 2 << int(sim::FaultKind::Drop) << qint64(0)
                                             << QByteArray() << QStringList() << 20 << true << 45;
        QTest::newRow("page over 32 MiB")
            << pw << search << 1 << int(sim::FaultKind::Oversized) << qint64(40) * 1024 * 1024 << QByteArray()
            << QStringList() << 0 << true << 45;
        // A server that announces a billion listings and sends the first page's listings again as the second page:
        // the download stops at the first page that brings nothing new.
        QByteArray repeated =
            R"({"seller":{"id":12345},"paging":{"total":1000000000,"primary_results":1000000000,"offset":20},"results":[)";
        for (int i = 0; i < 20; ++i)
            repeated += (i ? "," : "") + QByteArray(R"({"id":"MLV)") + QByteArray::number(1000 + i) +
                        R"(","title":"Publicación )" + QByteArray::number(i + 1) + "\"}";
        repeated += "]}";
        QTest::newRow("the same full page again")
            << pw << search << 2 << int(sim::FaultKind::Body) << qint64(0) << repeated
            << QStringList{report(" .01", "This key is already associated with an element of this collection")} << 20
            << true << 45;
    }

    void failuresLeaveTheWindowReadyToSignInAgain() {
        QFETCH(QString, password);
        QFETCH(QByteArray, path);
        QFETCH(int, nth);
        QFETCH(int, kind);
        QFETCH(qint64, number);
        QFETCH(QByteArray, body);
        QFETCH(QStringList, notices);
        QFETCH(int, rows);
        QFETCH(bool, signedIn);
        QFETCH(int, listings);
        MarketWindow mw;
        QVERIFY(mw.open(listings, [](frmVantoria::Options& o) { o.sinDatosMs = 300; }));
        if (kind >= 0)
            mw.server.addFault(path, nth, fault(sim::FaultKind(kind), number, body));
        if (sim::FaultKind(kind) == sim::FaultKind::Drop && path == sim::PathSearch && nth > 1)
            mw.server.addFault(path, nth + 1, fault(sim::FaultKind(kind), number, body));
        mw.signIn(MarketWindow::User, password);
        QVERIFY(mw.waitIdle());
        QCOMPARE(mw.dialogs.notices(), notices);
        QCOMPARE(mw.f().Grid2->rows(), rows + 1);
        for (int r = 1; r <= rows; ++r)
            QVERIFY(!mw.f().Grid2->textMatrix(r, 0).isEmpty());
        QVERIFY(ventanaHabilitada(mw.f()));
        QVERIFY(mw.signInEnabled());
        QCOMPARE(mw.f().Command2->isEnabled(), signedIn);
        QCOMPARE(mw.f().Buscar->isEnabled(), signedIn);
        if (notices.isEmpty() && kind >= 0)
            QCOMPARE(mw.f().VerEstado->text(), QStringLiteral("Un error ha ocurrido conectando al servidor."));

        // Signing in again works and downloads everything afresh.
        mw.server.clearFaults();
        mw.dialogs.shown.clear();
        mw.signIn();
        QVERIFY(mw.waitIdle());
        QVERIFY(mw.dialogs.shown.isEmpty());
        QCOMPARE(mw.f().Grid2->rows(), listings + 1);
    }

    // A failure that is none of the program's numbered errors, before the sign-in is sent, still gives the window
    // back.
    void aFailureBeforeTheSignInIsSentGivesTheWindowBack() {
        struct FallaUnaVez : QObject {
            bool fallo = false;
            bool eventFilter(QObject*, QEvent* e) override {
                if (e->type() == QEvent::EnabledChange && !fallo) {
                    fallo = true;
                    throw std::bad_alloc();
                }
                return false;
            }
        } falla;
        MarketWindow mw;
        QVERIFY(mw.open(3));
        mw.f().Command1->installEventFilter(&falla);
        mw.signIn();
        QVERIFY(mw.waitIdle());
        QVERIFY(falla.fallo);
        QCOMPARE(mw.dialogs.notices(), QStringList{"Se produjo un error inesperado:\rstd::bad_alloc"});
        QVERIFY(ventanaHabilitada(mw.f()));
        QVERIFY(mw.signInEnabled());
        QCOMPARE(mw.server.log().size(), 0);
        mw.dialogs.shown.clear();
        QVERIFY(mw.signedIn());
        QCOMPARE(mw.f().Grid2->rows(), 4);
    }

    // Full pages of new listings under an announced billion: the download ends by itself after 5,000 pages, with
    // 100,000 listings shown. The pages are handed to the window as complete answers, as the channel would deliver
    // them, so that the test does not wait for 5,000 requests.
    void aDownloadThatWouldNotEndStopsAfter5000Pages() {
        MarketWindow mw;
        QVERIFY(mw.open(0));
        Form& f = mw.f();
        Inet& canal = mw.w->Inet1();
        f.Paso = 2;
        f.OffsetActual = 0;
        f.IdVendedor = MarketWindow::Seller;
        f.Grid2->setRows(1);
        empiezoOperacion(f);
        f.Command1->setEnabled(false);
        f.Usuario->setEnabled(false);
        f.Clave->setEnabled(false);
        int paginas = 0;
        while (f.operacionEnCurso && paginas < 5100) {
            QString pagina =
                QStringLiteral(R"({"paging":{"total":1000000000,"primary_results":1000000000},"results":[)");
            for (int i = 0; i < 20; ++i)
                pagina += QStringLiteral(R"(%1{"id":"MLV%2","title":"Publicación %2"})")
                              .arg(i ? "," : "")
                              .arg(paginas * 20 + i + 1);
            pagina += u"]}";
            RespuestaCompleta(f, mw.w->mercado(), pagina);
            ++paginas;
            // The next page was asked for; it is answered here instead.
            QCOMPARE(canal.StillExecuting(), f.operacionEnCurso);
            canal.Cancel();
        }
        QCOMPARE(paginas, 5000);
        QCOMPARE(f.Grid2->rows(), 100'001);
        QCOMPARE(f.Grid2->textMatrix(100'000, 0), QStringLiteral("MLV100000"));
        QCOMPARE(mw.dialogs.notices(), QStringList{report(" .016", "Overflow")});
        QVERIFY(ventanaHabilitada(f));
        QVERIFY(mw.signInEnabled());
    }

    // A gateway that answers with `&`, `#`, `?` or a line break in the seller id cannot add a key to the next request
    // or end its line: the page request carries the id as its value and nothing more.
    void aSmuggledSellerIdStaysOneValue() {
        MarketWindow mw;
        const QString hostile = QStringLiteral("7&seller_id=8#x?y\r\nX-Extra: 1");
        mw.server.addAccount(QStringLiteral("rara"), QStringLiteral("clave"), hostile);
        QVERIFY(mw.open());
        mw.signIn(QStringLiteral("rara"), QStringLiteral("clave"));
        QVERIFY(mw.waitIdle());
        const QList<sim::Request> pages = mw.server.log(sim::PathSearch);
        QCOMPARE(pages.size(), 1);
        QCOMPARE(pages[0].rawQuery,
                 QByteArray("limit=20&offset=0&seller_id=7%26seller_id%3D8%23x%3Fy%0D%0AX-Extra%3A%201"));
        QCOMPARE(pages[0].query.value(QStringLiteral("seller_id")), hostile);
        QCOMPARE(pages[0].query.size(), 3);
        QVERIFY(pages[0].header("X-Extra").isEmpty());
    }

    // The password goes to the gateway and nowhere else: not to a file, a message of Qt's, a label, a text box or a
    // message box, whatever the sign-in comes to.
    void thePasswordGoesNowhereButTheGateway() {
        static QStringList messages;
        messages.clear();
        const QtMessageHandler previous =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) { messages << text; });
        // Made at run time, so that no other file (the compiler's of this very source, say) holds it.
        const QString secret =
            QStringLiteral("Ñandú&=%s3cr3t") + QString::number(QRandomGenerator::global()->bounded(100000, 999999));
        const QByteArray encoded = secret.toUtf8().toPercentEncoding();
        MarketWindow mw;
        mw.server.addAccount(QStringLiteral("dueno"), secret, QStringLiteral("999"));
        QVERIFY(mw.open(3, [](frmVantoria::Options& o) { o.sinDatosMs = 300; }));
        const QDateTime start = QDateTime::currentDateTime().addSecs(-1);
        sim::Fault page;
        page.kind = sim::FaultKind::Status;
        page.number = 500;
        mw.server.addFault(sim::PathSignIn, 1, page);  // an error page: rejected
        sim::Fault drop;
        drop.kind = sim::FaultKind::Drop;
        mw.server.addFault(sim::PathSignIn, 2, drop);  // the request fails
        sim::Fault garbage;
        garbage.kind = sim::FaultKind::Body;
        garbage.body = "{\"paging\":";
        mw.server.addFault(sim::PathSearch, 1, garbage);  // signed in, then the error report
        for (int attempt = 0; attempt < 3; ++attempt) {
            mw.signIn(QStringLiteral("dueno"), secret);
            QVERIFY(mw.waitIdle());
        }
        qInstallMessageHandler(previous);
        QCOMPARE(mw.dialogs.notices().size(), 2);
        QCOMPARE(mw.server.log(sim::PathSignIn).last().form.value(QStringLiteral("fclave")), secret);

        const auto holds = [&](const QString& text) {
            return text.contains(secret) || text.contains(QString::fromLatin1(encoded), Qt::CaseInsensitive);
        };
        for (const ScriptedDialogs::Shown& box : mw.dialogs.shown)
            QVERIFY2(!holds(box.text), qPrintable(box.text));
        for (const QString& m : messages)
            QVERIFY2(!holds(m), qPrintable(m));
        for (QLabel* label : mw.w->findChildren<QLabel*>())
            QVERIFY2(!holds(label->text()), qPrintable(label->objectName()));
        for (QLineEdit* box : mw.w->findChildren<QLineEdit*>())
            if (box != mw.f().Clave)
                QVERIFY2(!holds(box->text()), qPrintable(box->objectName()));
        QVERIFY(!holds(mw.f().Resultado->text()));
        // Files written since the sign-in began, in the program's folder and the temporary folder.
        for (const QString& folder : {mw.dir.path(), QDir::tempPath()}) {
            QDirIterator it(folder, QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QFileInfo file(it.next());
                if (file.lastModified() < start || file.size() > 64 * 1024 * 1024)
                    continue;
                QFile f(file.filePath());
                if (!f.open(QIODevice::ReadOnly))
                    continue;
                const QByteArray bytes = f.readAll();
                QVERIFY2(!bytes.contains(secret.toUtf8()) && !bytes.contains(encoded), qPrintable(file.filePath()));
            }
        }
    }

    void enterInThePasswordBoxSignsIn() {
        MarketWindow mw;
        QVERIFY(mw.open(3));
        mw.f().Usuario->setText(MarketWindow::User);
        mw.f().Clave->setText(QString());
        QTest::keyClick(mw.f().Clave, Qt::Key_Return);
        QTest::mouseClick(mw.f().Command1, Qt::LeftButton);
        QTest::qWait(100);
        QCOMPARE(mw.server.log().size(), 0);
        mw.f().Clave->setText(MarketWindow::Password);
        QTest::keyClick(mw.f().Clave, Qt::Key_Return);
        QVERIFY(mw.waitIdle());
        QCOMPARE(mw.f().Grid2->rows(), 4);
        QCOMPARE(mw.f().Clave->text(), MarketWindow::Password);
    }
};

QTEST_MAIN(IngresoTest)
#include "tst_ingreso.moc"
