// The request channel against the simulator, the status labels of every state, and the waits.

#include "CatalogueGenerator.h"
#include "MarketWindow.h"
#include "Reloj.h"
#include "VbError.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSslSocket>
#include <QTemporaryDir>

#include <zlib.h>

namespace {

sim::Fault fault(sim::FaultKind kind, qint64 number = 0, int millis = 0, QByteArray body = {}) {
    sim::Fault f;
    f.kind = kind;
    f.number = number;
    f.millis = millis;
    f.body = std::move(body);
    return f;
}

// The head of a plain-text answer as the simulator writes it; an empty `length` announces chunks.
QByteArray textHead(const QByteArray& length, bool close = false, const QByteArray& more = {}) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n" +
           (length.isEmpty() ? QByteArray("Transfer-Encoding: chunked\r\n") : "Content-Length: " + length + "\r\n") +
           (close ? "Connection: close\r\n" : "Connection: keep-alive\r\n") + more + "\r\n";
}

// What a gzip body decodes to, or a marker when it is not one whole gzip stream.
QByteArray gunzip(const QByteArray& packed) {
    z_stream z{};
    inflateInit2(&z, 16 + MAX_WBITS);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.constData()));
    z.avail_in = uInt(packed.size());
    QByteArray out;
    static char buffer[1 << 16];
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        status = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, qsizetype(sizeof buffer - z.avail_out));
    }
    const bool whole = status == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return whole ? out : QByteArray("<not a whole gzip stream>");
}

}  // namespace

class CanalTest : public QObject {
    Q_OBJECT

    // A bare channel against the simulator, with the states it delivered.
    struct Channel {
        sim::MarketSim server;
        std::unique_ptr<Inet> inet;
        QList<int> states;

        bool start(int idleMs = 5000, int totalMs = 10000, const sim::MarketSim::Options& o = {}) {
            if (!server.start(o))
                return false;
            Inet::Ajustes a;
            a.autoridadesExtra = sim::MarketSim::caCertificates();
            a.sinDatosMs = idleMs;
            a.totalMs = totalMs;
            inet = std::make_unique<Inet>(a);
            QObject::connect(inet.get(), &Inet::StateChanged, inet.get(), [this](int s) { states << s; });
            return true;
        }
        void post(const char* path) {
            inet->Execute(server.baseUrl() + QLatin1String(path), QStringLiteral("POST"), QString(),
                          QStringLiteral("Content-Type: application/x-www-form-urlencoded"));
        }
        bool waitEnd(int millis = 15000) {
            return QTest::qWaitFor([this] { return states.contains(11) || states.contains(12); }, millis);
        }
    };

  private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void everyStateShowsItsText_data() {
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "Información no disponible.";
        QTest::newRow("1") << 1 << "Buscando ip de servidor.";
        QTest::newRow("2") << 2 << "Hayado ip de servidor.";
        QTest::newRow("3") << 3 << "Conectando con servidor.";
        QTest::newRow("4") << 4 << "Conectado con servidor.";
        QTest::newRow("5") << 5 << "Obteniendo información de servidor remoto.";
        QTest::newRow("6") << 6 << "El requerimiento enviado al servidor exitosamente.";
        QTest::newRow("7") << 7 << "Recibiendo respuesta del servidor.";
        QTest::newRow("8") << 8 << "La respuesta recibida satisfactoriamente del servidor";
        QTest::newRow("9") << 9 << "Desconectando del servidor.";
        QTest::newRow("10") << 10 << "Desconectado del servidor.";
        QTest::newRow("11") << 11 << "Un error ha ocurrido conectando al servidor.";
        QTest::newRow("12 leaves the text") << 12 << "Conectado con servidor.";
        QTest::newRow("13") << 13 << "Estado desconocido: 13";
    }
    void everyStateShowsItsText() {
        QFETCH(int, state);
        QFETCH(QString, text);
        MarketWindow mw;
        QVERIFY(mw.open());
        emit mw.w->Inet1().StateChanged(4);
        emit mw.w->Inet1().StateChanged(state);
        QCOMPARE(mw.f().GetState->text(), text);
        // The visible copy shows it within 30 ms of the change before.
        QTRY_COMPARE_WITH_TIMEOUT(mw.f().VerEstado->text(), text, 1000);
        // No operation ran: whatever the state, nothing was shown and the window takes input.
        QVERIFY(mw.dialogs.shown.isEmpty());
        QVERIFY(ventanaHabilitada(mw.f()));
    }

    void channelReportsWhatItObserves() {
        Channel c;
        QVERIFY(c.start());
        // The first answer comes on a connection the server keeps open, with a stale second answer to follow.
        c.server.addFault(sim::PathPause, 1, fault(sim::FaultKind::StaleSecond));
        c.post(sim::PathPause);
        QVERIFY(c.waitEnd());
        QCOMPARE(c.states, (QList<int>{3, 4, 6, 7, 8, 12}));
        QCOMPARE(c.inet->GetChunk(65535), QStringLiteral("ok"));
        QCOMPARE(c.inet->ResponseInfo(), QStringLiteral("HTTP/1.1 200 OK"));
        // The next request has a connection of its own: nothing a server sends late can be taken for its answer.
        c.states.clear();
        c.post(sim::PathPause);
        QVERIFY(c.waitEnd());
        QCOMPARE(c.states, (QList<int>{3, 4, 6, 7, 8, 12}));
        const QList<sim::Request> log = c.server.log();
        QCOMPARE(log.size(), 2);
        QVERIFY(log[0].connection != log[1].connection);
        // The kept connection was ended with our closure alert, which a TLS terminator may wait for.
        QTRY_COMPARE_WITH_TIMEOUT(c.server.closureAlerts(), 1, 2000);
        QCOMPARE(log[0].method, QByteArray("POST"));
        QCOMPARE(log[0].header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    }

    void responseIsReadInPiecesOf65535() {
        Channel c;
        QVERIFY(c.start());
        QByteArray body(150000, 'x');
        body[0] = 'a';
        body[149999] = 'z';
        c.server.addFault(sim::PathPause, 1, fault(sim::FaultKind::Body, 0, 0, body));
        c.post(sim::PathPause);
        QVERIFY(c.waitEnd());
        QCOMPARE(c.states.last(), 12);
        QList<qsizetype> sizes;
        QString joined;
        for (QString piece = c.inet->GetChunk(65535);; piece = c.inet->GetChunk(65535)) {
            sizes << piece.size();
            joined += piece;
            if (piece.isEmpty())
                break;
        }
        QCOMPARE(sizes, (QList<qsizetype>{65535, 65535, 18930, 0}));
        QCOMPARE(joined, QString::fromLatin1(body));
    }

    void failuresAreState11_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<qint64>("number");
        QTest::addColumn<bool>("stranger");
        QTest::addColumn<int>("finalState");
        QTest::addColumn<QString>("info");
        QTest::newRow("error page is a response")
            << int(sim::FaultKind::Status) << qint64(500) << false << 12 << "HTTP/1.1 500 Internal Server Error";
        QTest::newRow("redirect is a response")
            << int(sim::FaultKind::Status) << qint64(302) << false << 12 << "HTTP/1.1 302 Found";
        QTest::newRow("dropped") << int(sim::FaultKind::Drop) << qint64(0) << false << 11 << "";
        QTest::newRow("dropped mid-answer") << int(sim::FaultKind::DropMidAnswer) << qint64(0) << false << 11 << "";
        QTest::newRow("no answer") << int(sim::FaultKind::NoAnswer) << qint64(0) << false << 11
                                   << "Tiempo de espera agotado: el servidor no envió datos en 0.3 s.";
        QTest::newRow("endless slow answer") << int(sim::FaultKind::Trickle) << qint64(0) << false << 11
                                             << "Tiempo de espera agotado: la solicitud no terminó en 1 s.";
        QTest::newRow("over 32 MiB") << int(sim::FaultKind::Oversized) << qint64(33) * 1024 * 1024 << false << 11
                                     << "La respuesta anuncia 33 MiB; se aceptan hasta 32 MiB.";
        QTest::newRow("wrong certificate") << -1 << qint64(0) << true << 11 << "";
        // A body without a length is whole only when the server's closure alert ends it.
        const QString cut = QStringLiteral(
            "La conexión se cortó sin el aviso de cierre del servidor: la respuesta puede estar incompleta.");
        QTest::newRow("to the closure alert is a response")
            << int(sim::FaultKind::ToTheAlert) << qint64(0) << false << 12 << "HTTP/1.1 200 OK";
        QTest::newRow("closure alert, the TCP connection kept open")
            << int(sim::FaultKind::AlertKeptOpen) << qint64(0) << false << 12 << "HTTP/1.1 200 OK";
        QTest::newRow("cut, then a bare FIN")
            << int(sim::FaultKind::CutWithoutAlert) << qint64(0) << false << 11 << cut;
        QTest::newRow("cut, then a reset") << int(sim::FaultKind::CutByReset) << qint64(0) << false << 11 << "";
    }
    void failuresAreState11() {
        QFETCH(int, kind);
        QFETCH(qint64, number);
        QFETCH(bool, stranger);
        QFETCH(int, finalState);
        QFETCH(QString, info);
        Channel c;
        sim::MarketSim::Options o;
        o.strangerCertificate = stranger;
        QVERIFY(c.start(300, 1000, o));
        // A connection kept open after the closure alert stays so past the idle time-out.
        const int millis = kind == int(sim::FaultKind::AlertKeptOpen) ? 5000 : 100;
        if (kind >= 0)
            c.server.addFault(sim::PathPause, 1, fault(sim::FaultKind(kind), number, millis));
        QElapsedTimer clock;
        clock.start();
        c.post(sim::PathPause);
        QVERIFY(c.waitEnd());
        if (finalState == 12)
            QVERIFY2(clock.elapsed() < 250, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(c.states.last(), finalState);
        QCOMPARE(c.states.count(11) + c.states.count(12), 1);
        QVERIFY(!c.inet->StillExecuting());
        if (!info.isEmpty())
            QCOMPARE(c.inet->ResponseInfo(), info);
        // A certificate nobody vouches for ends the handshake: no request reaches the server.
        QCOMPARE(c.server.log().size(), stranger ? 0 : 1);
        // The channel is usable again.
        c.server.clearFaults();
        c.states.clear();
        if (!stranger) {
            c.post(sim::PathPause);
            QVERIFY(c.waitEnd());
            QCOMPARE(c.states.last(), 12);
        }
    }

    void aConnectionThatFailsAtOnceEndsOnceWithItsReason() {
        Inet::Ajustes a;
        a.sinDatosMs = 150;
        a.totalMs = 300;
        Inet inet(a);
        QList<int> states;
        QObject::connect(&inet, &Inet::StateChanged, &inet, [&](int s) { states << s; });
        // The broadcast address: the system refuses the connection inside connectToHostEncrypted, and nothing
        // leaves the machine.
        inet.Execute(QStringLiteral("https://255.255.255.255:9/x"), QStringLiteral("POST"), {}, {});
        QTest::qWait(600);
        QCOMPARE(states, (QList<int>{3, 11}));
        QVERIFY(!inet.StillExecuting());
        QVERIFY(!inet.ResponseInfo().isEmpty());
        QVERIFY2(!inet.ResponseInfo().startsWith(QStringLiteral("Tiempo de espera")), qPrintable(inet.ResponseInfo()));
    }

    // The system's authorities stay trusted beside an extra one: the configuration every connection uses holds
    // them all (adding to Qt's default one would leave the extra one alone, and public hosts would fail).
    void extraAuthoritiesAreTrustedBesideTheSystems() {
        Inet::Ajustes a;
        a.autoridadesExtra = sim::MarketSim::caCertificates();
        QCOMPARE(a.autoridadesExtra.size(), 1);
        const Inet inet(a);
        const QList<QSslCertificate> trusted = inet.configuracionTls().caCertificates();
        const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
        QCOMPARE(trusted.size(), system.size() + 1);
        QCOMPARE(QSet<QSslCertificate>(trusted.begin(), trusted.end()),
                 QSet<QSslCertificate>(system.begin(), system.end()) + QSet<QSslCertificate>{a.autoridadesExtra[0]});
    }

    // A rehearsal against the simulator: the sample catalogue's linked products are its listings for the same
    // seed, the items told are refused or failed, and every other answer comes late.
    void aRehearsalFindsTheSampleLinksAndMisbehavesAsTold() {
        const catalogo::Catalogo shop = catalogo::muestra(300, 7);
        QStringList linked;
        for (const catalogo::Producto& p : shop.productos)
            if (p.serial && *p.serial != QLatin1String("-"))
                linked << *p.serial;
        QVERIFY(linked.size() > 20);
        sim::MarketSim::Options o;
        o.refuseItems = {linked[0]};
        o.failItems = {linked[1]};
        o.slowMs = 200;
        Channel c;
        QVERIFY(c.start(5000, 10000, o));
        for (int n = 0; n < linked.size(); ++n)
            c.server.addListing(QStringLiteral("1"), {catalogo::idMuestra(7, n), QStringLiteral("t"), 1.0});
        const auto push = [&](const QString& id) {
            c.states.clear();
            c.inet->Execute(
                c.server.baseUrl() + QLatin1String(sim::PathPrice) + "?men=480613&item_id=" + id + "&precio_item=2",
                QStringLiteral("POST"), {}, {});
            QElapsedTimer clock;
            clock.start();
            const bool ended = c.waitEnd();
            return std::tuple{ended, c.states.last(), c.inet->GetChunk(65535), clock.elapsed()};
        };
        const auto [refusedEnded, refusedState, refused, refusedMs] = push(linked[0]);
        QVERIFY(refusedEnded);
        QCOMPARE(refusedState, 12);
        QCOMPARE(refused, QStringLiteral("Error: el servidor rechazó la solicitud."));
        const auto [failedEnded, failedState, failed, failedMs] = push(linked[1]);
        QVERIFY(failedEnded);
        QCOMPARE(failedState, 11);
        for (const QString& id : {linked[2], linked.last()}) {
            const auto [ended, state, answer, ms] = push(id);
            QVERIFY(ended);
            QCOMPARE(state, 12);
            QCOMPARE(answer, QStringLiteral("Listo!!! Precio actualizado."));
            QVERIFY2(ms >= 200, qPrintable(QString::number(ms)));
        }
    }

    // A host whose certificate the system vouches for is reached although an extra authority is set. The test runs
    // itself again in a private mount namespace where the system's certificate folder holds one root only, the
    // simulator's test authority, standing for a public one; the extra authority is another (the stranger's).
    void aHostTheSystemTrustsIsReachedBesideAnExtraAuthority() {
        const auto resource = [](const char* name) {
            QFile file(QStringLiteral(":/marketsim/") + QLatin1String(name));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        if (qEnvironmentVariableIsSet("VANTORIA_SYSTEM_STORE")) {
            sim::MarketSim server;
            QVERIFY(server.start());
            Inet::Ajustes a;
            a.autoridadesExtra = QSslCertificate::fromData(resource("stranger.pem"), QSsl::Pem);
            QCOMPARE(a.autoridadesExtra.size(), 1);
            Inet inet(a);
            QList<int> states;
            QObject::connect(&inet, &Inet::StateChanged, &inet, [&](int st) { states << st; });
            inet.Execute(server.baseUrl() + QLatin1String(sim::PathPause), QStringLiteral("POST"), {}, {});
            QVERIFY(QTest::qWaitFor([&] { return states.contains(11) || states.contains(12); }, 10000));
            QCOMPARE(inet.ResponseInfo(), QStringLiteral("HTTP/1.1 200 OK"));
            return;
        }
        QTemporaryDir store;
        // As Debian keeps it: the certificate under its own name and under OpenSSL's hash of its subject, the link
        // by which Qt looks roots up on demand (with no such link Qt reads the folder whole, and the fault hides).
        QProcess hash;
        hash.start(QStringLiteral("openssl"),
                   {QStringLiteral("x509"), QStringLiteral("-hash"), QStringLiteral("-noout")});
        if (!hash.waitForStarted(5000))
            QSKIP("no openssl program to name the root by its hash");
        hash.write(resource("ca.pem"));
        hash.closeWriteChannel();
        QVERIFY(hash.waitForFinished(5000));
        const QString hashName = QString::fromLatin1(hash.readAllStandardOutput().trimmed()) + QStringLiteral(".0");
        QCOMPARE(hashName.size(), 10);
        for (const QString& name : {QStringLiteral("ca.pem"), hashName}) {
            QFile copy(store.filePath(name));
            QVERIFY(copy.open(QIODevice::WriteOnly));
            QVERIFY(copy.write(resource("ca.pem")) > 0);
        }
        QProcess inner;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VANTORIA_SYSTEM_STORE"), store.path());
        inner.setProcessEnvironment(env);
        // Exit status 77 when this machine gives no private mount namespace (not root, no unshare).
        inner.start(QStringLiteral("unshare"),
                    {QStringLiteral("-m"), QStringLiteral("--propagation"), QStringLiteral("private"),
                     QStringLiteral("sh"), QStringLiteral("-c"),
                     QStringLiteral("mount --bind \"$VANTORIA_SYSTEM_STORE\" /etc/ssl/certs || exit 77; exec \"$0\" "
                                    "aHostTheSystemTrustsIsReachedBesideAnExtraAuthority"),
                     QCoreApplication::applicationFilePath()});
        if (!inner.waitForStarted(5000))
            QSKIP("unshare cannot be run here");
        QVERIFY(inner.waitForFinished(30000));
        const QByteArray out = inner.readAllStandardOutput();
        if (inner.exitCode() == 77 || (inner.exitCode() == 1 && out.isEmpty()))
            QSKIP("no private mount namespace here");
        QVERIFY2(inner.exitCode() == 0 && out.contains("Totals: 3 passed, 0 failed"), out.constData());
    }

    void secondRequestIsRefusedWhileOneIsOutstanding() {
        Channel c;
        QVERIFY(c.start());
        c.server.addFault(sim::PathPause, 1, fault(sim::FaultKind::Delay, 0, 200));
        c.post(sim::PathPause);
        QVERIFY_THROWS_EXCEPTION(vb::Error, c.post(sim::PathPause));
        QVERIFY(c.waitEnd());
        QCOMPARE(c.server.log().size(), 1);
    }

    void plainHttpIsNeverSent() {
        Channel c;
        QVERIFY(c.start());
        c.inet->Execute(QStringLiteral("http://127.0.0.1:%1/x").arg(c.server.port()), QStringLiteral("POST"), {}, {});
        QVERIFY(c.waitEnd());
        QCOMPARE(c.states, QList<int>{11});
        QCOMPARE(c.server.log().size(), 0);
    }

    void delayMiliWaitsOnTheClock_data() {
        QTest::addColumn<double>("speed");
        QTest::addColumn<int>("hundredths");
        QTest::addColumn<int>("atLeastMs");
        QTest::addColumn<int>("atMostMs");
        QTest::newRow("one second sped up 10x") << 10.0 << 100 << 100 << 400;
        QTest::newRow("twenty seconds sped up 100x") << 100.0 << 2000 << 200 << 500;
        QTest::newRow("a tenth, real time") << 1.0 << 10 << 100 << 400;
        QTest::newRow("zero") << 1.0 << 0 << 0 << 50;
        QTest::newRow("negative") << 1.0 << -5 << 0 << 50;
    }
    void delayMiliWaitsOnTheClock() {
        QFETCH(double, speed);
        QFETCH(int, hundredths);
        QFETCH(int, atLeastMs);
        QFETCH(int, atMostMs);
        Form f;
        Reloj reloj(speed);
        int ticks = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
        tick.start(10);
        QElapsedTimer t;
        t.start();
        DelayMili(f, reloj, hundredths);
        const qint64 ms = t.elapsed();
        QVERIFY2(ms >= atLeastMs && ms <= atMostMs, qPrintable(QString::number(ms)));
        // Events ran while it waited.
        if (atLeastMs >= 100)
            QVERIFY(ticks >= 5);
    }

    void waitEndsWhenTheWindowCloses() {
        Form f;
        Reloj reloj;
        QTimer::singleShot(50, [&] { f.cerrando = true; });
        QElapsedTimer t;
        t.start();
        DelayMili(f, reloj, 6000);
        QVERIFY(t.elapsed() < 1000);
    }

    void closingAbortsTheRequestInFlight() {
        MarketWindow mw;
        QVERIFY(mw.open());
        mw.server.addFault(sim::PathSignIn, 1, fault(sim::FaultKind::NoAnswer));
        mw.signIn();
        QVERIFY(mw.waitFor([&] { return mw.server.log().size() == 1; }));
        mw.w->close();
        QTest::qWait(300);
        QVERIFY(!mw.w->Inet1().StillExecuting());
        QCOMPARE(mw.w->Inet1().enviadas(), 1);
        QCOMPARE(mw.server.log().size(), 1);
        QVERIFY(mw.dialogs.shown.isEmpty());
        // A request asked for after the close is not sent.
        mw.w->Inet1().Execute(mw.server.baseUrl() + QLatin1String(sim::PathPause), QStringLiteral("POST"), {}, {});
        QTest::qWait(100);
        QCOMPARE(mw.server.log().size(), 1);
    }

    void eachFaultPutsItsExactBytesOnTheWire_data() {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<int>("kind");
        QTest::addColumn<qint64>("number");
        QTest::addColumn<int>("millis");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("roundTripMs");
        QTest::addColumn<bool>("gzipped");  // the answer's body is compared decoded, its length as "N"
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<bool>("closes");
        const QByteArray pause = sim::PathPause, signIn = sim::PathSignIn;
        const QByteArray ok = textHead("2") + "ok";
        using K = sim::FaultKind;
        QTest::newRow("a stale second answer follows on the kept connection")
            << pause << int(K::StaleSecond) << qint64(0) << 100 << QByteArray() << 0 << false
            << ok + textHead("8") + "Listo!!!" << false;
        QTest::newRow("bytes past the announced length")
            << pause << int(K::OverlongBody) << qint64(0) << 0 << QByteArray("Listo!!!") << 0 << false
            << ok + "Listo!!!" << false;
        QTest::newRow("100 Continue, then the answer") << pause << int(K::Interim) << qint64(100) << 50 << QByteArray()
                                                       << 0 << false << "HTTP/1.1 100 Continue\r\n\r\n" + ok << false;
        QTest::newRow("102 Processing, then the answer")
            << pause << int(K::Interim) << qint64(102) << 50 << QByteArray() << 0 << false
            << "HTTP/1.1 102 Processing\r\n\r\n" + ok << false;
        QTest::newRow("103 Early Hints with a link, then the answer")
            << pause << int(K::Interim) << qint64(103) << 50 << QByteArray() << 0 << false
            << "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n" + ok << false;
        QTest::newRow("labelled gzip, sent plain")
            << pause << int(K::GzipNotGzip) << qint64(0) << 0 << QByteArray() << 0 << false
            << textHead("2", false, "Content-Encoding: gzip\r\n") + "ok" << false;
        QTest::newRow("gzip cut in half")
            << signIn << int(K::GzipCut) << qint64(0) << 0 << QByteArray() << 0 << true
            << textHead("N", false, "Content-Encoding: gzip\r\n") + "<not a whole gzip stream>" << false;
        QTest::newRow("gzip that swells to 3 MiB and 5 zeros")
            << pause << int(K::GzipBomb) << qint64(3 * 1024 * 1024 + 5) << 0 << QByteArray() << 0 << true
            << textHead("N", false, "Content-Encoding: gzip\r\n") + QByteArray(3 * 1024 * 1024 + 5, '0') << false;
        QTest::newRow("chunk size not hex") << pause << int(K::BadChunks) << qint64(0) << 0 << QByteArray() << 0
                                            << false << textHead({}, true) + "zz\r\nok\r\n0\r\n\r\n"
                                            << true;
        QTest::newRow("chunk size past the data") << pause << int(K::BadChunks) << qint64(1) << 0 << QByteArray() << 0
                                                  << false << textHead({}, true) + "66\r\nok" << true;
        QTest::newRow("no CRLF after the chunk") << pause << int(K::BadChunks) << qint64(2) << 0 << QByteArray() << 0
                                                 << false << textHead({}, true) + "2\r\nok0\r\n\r\n"
                                                 << true;
        // The sign-in answers an empty form with "Usuario o clave incorrectos.", 28 bytes.
        QTest::newRow("chunks of 7") << signIn << int(K::Chunked) << qint64(0) << 0 << QByteArray() << 0 << false
                                     << textHead({}) +
                                            "7\r\nUsuario\r\n7\r\n o clav\r\n7\r\ne incor\r\n7\r\nrectos.\r\n0\r\n\r\n"
                                     << false;
        QByteArray flood = "HTTP/1.1 200 OK\r\n";
        for (int n = 1; n <= 9; ++n)  // a tenth line would pass 10,000 bytes
            flood += "X-Flood-" + QByteArray::number(n) + ": " + QByteArray(1000, 'a') + "\r\n";
        QTest::newRow("header flood up to 10,000 bytes, then closed")
            << pause << int(K::HeaderFlood) << qint64(10000) << 0 << QByteArray() << 0 << false << flood << true;
        const QByteArray cookie = QByteArray(4000, 'x') + "; Path=/\r\n";
        QTest::newRow("two big cookies") << pause << int(K::SetCookie) << qint64(2) << 0 << QByteArray() << 0 << false
                                         << textHead("2", false,
                                                     "Set-Cookie: c1=" + cookie + "Set-Cookie: c2=" + cookie) +
                                                "ok"
                                         << false;
        const QByteArray toClose =
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\n\r\n";
        QTest::newRow("to the closure alert, then closed")
            << pause << int(K::ToTheAlert) << qint64(0) << 0 << QByteArray() << 0 << false << toClose + "ok" << true;
        QTest::newRow("the closure alert, the TCP connection kept open")
            << pause << int(K::AlertKeptOpen) << qint64(0) << 0 << QByteArray() << 0 << false << toClose + "ok"
            << false;
        QTest::newRow("cut to 1 byte, then a bare FIN") << pause << int(K::CutWithoutAlert) << qint64(1) << 0
                                                        << QByteArray() << 0 << false << toClose + "o" << true;
        QTest::newRow("cut in half, then a reset")
            << pause << int(K::CutByReset) << qint64(0) << 0 << QByteArray() << 0 << false << toClose + "o" << true;
        QTest::newRow("a round trip before the handshake and the answer")
            << pause << int(K::Delay) << qint64(0) << 0 << QByteArray() << 150 << false << ok << false;
    }
    void eachFaultPutsItsExactBytesOnTheWire() {
        QFETCH(QByteArray, path);
        QFETCH(int, kind);
        QFETCH(qint64, number);
        QFETCH(int, millis);
        QFETCH(QByteArray, body);
        QFETCH(int, roundTripMs);
        QFETCH(bool, gzipped);
        QFETCH(QByteArray, wire);
        QFETCH(bool, closes);
        sim::MarketSim server;
        sim::MarketSim::Options o;
        o.roundTripMs = roundTripMs;
        QVERIFY(server.start(o));
        server.addFault(path, 1, fault(sim::FaultKind(kind), number, millis, body));
        QSslSocket socket;
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(sim::MarketSim::caCertificates());
        socket.setSslConfiguration(tls);
        QElapsedTimer clock;
        clock.start();
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
        QVERIFY(socket.waitForEncrypted(5000));
        socket.write("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");
        // Everything until the server closes, or stays quiet for 400 ms after the first byte.
        QByteArray got;
        qint64 firstByteMs = -1;
        for (int wait = 5000; got.size() < (64 << 20) && socket.waitForReadyRead(wait); wait = 400) {
            if (firstByteMs < 0)
                firstByteMs = clock.elapsed();
            got += socket.readAll();
        }
        got += socket.readAll();
        if (roundTripMs > 0)
            QVERIFY2(firstByteMs >= 2 * roundTripMs, qPrintable(QString::number(firstByteMs)));
        QCOMPARE(socket.state() == QAbstractSocket::UnconnectedState, closes);
        if (gzipped) {
            const qsizetype end = got.indexOf("\r\n\r\n") + 4;
            QVERIFY(end >= 4);
            QByteArray head = got.first(end);
            const QByteArray length = "Content-Length: " + QByteArray::number(got.size() - end) + "\r\n";
            QVERIFY2(head.contains(length), head.constData());
            got = head.replace(length, "Content-Length: N\r\n") + gunzip(got.sliced(end));
        }
        QCOMPARE(got, wire);
    }
};

QTEST_MAIN(CanalTest)
#include "tst_canal.moc"
