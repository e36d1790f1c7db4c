// The request channel against the simulator, the status labels of every state, and the waits.

#include "Api.h"
#include "CatalogueGenerator.h"
#include "JSON.h"
#include "MarketWindow.h"
#include "Reloj.h"
#include "VbError.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
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
        // One request and its answer: "STATUS BODY".
        QString call(const QString& method, const QString& path, const QString& body, const QString& headers) {
            states.clear();
            inet->Execute(server.baseUrl() + path, method, body, headers);
            if (!waitEnd() || !states.contains(12))
                return QStringLiteral("failed: ") + inet->ResponseInfo();
            QString all;
            for (QString piece = inet->GetChunk(65535); !piece.isEmpty(); piece = inet->GetChunk(65535))
                all += piece;
            return inet->ResponseInfo().mid(9, 3) + u' ' + all;
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

    // The marketplace's API double, signed in as a gateway does it (the authorization form, its code, the token
    // endpoint with the PKCE verifier), then the row's calls: "[anon ]METHOD PATH[ BODY]", {names} replaced by what
    // the double gave. The last call's answer and the log line of every call of the row, without its time, are exact.
    void apiDoubleAnswersAsTheMarketplace_data() {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("log");
        const QString put = QStringLiteral("PUT /items/MLV700000000 ");
        const QString read = QStringLiteral("GET /items/MLV700000000?attributes=id,price");
        const QString putLog = QStringLiteral(R"({"method":"PUT","path":"/items/MLV700000000","status":)");
        const QString readLog = QStringLiteral(
            R"({"method":"GET","path":"/items/MLV700000000","query":"attributes=id,price","status":200})");
        const QString client = QStringLiteral("client_id=1234567890123456&client_secret=secreto-de-prueba");
        const QString invalid = QStringLiteral(
            R"(400 {"message":"Validation error","error":"validation_error","status":400,"cause":[{"cause_id":%1,)"
            R"("type":"error","code":"%2","references":["item.price"],"message":"%3"}]})");
        const QString invalidLog = QStringLiteral(R"(,"error":"validation_error","cause":%1})");
        const QString grant = QStringLiteral(
            "Error validating grant. Your authorization code or refresh token may be expired or it "
            "was already used");
        const QString refused =
            QStringLiteral(R"(400 {"message":"%1","error":"invalid_grant","status":400,"cause":[]})").arg(grant);

        QTest::newRow("a price applied and read back")
            << QString() << QStringList{put + R"({"price":60.25})", read}
            << R"(200 {"id":"MLV700000000","price":60.25})"
            << QStringList{putLog + R"(200,"item":"MLV700000000","price":60.25})", readLog};
        QTest::newRow("below the minimum: cause 109")
            << QString() << QStringList{put + R"({"price":49.99})", read} << R"(200 {"id":"MLV700000000","price":100})"
            << QStringList{putLog + R"(400,"item":"MLV700000000")" + invalidLog.arg(109), readLog};
        QTest::newRow("the answer of cause 109")
            << QString() << QStringList{put + R"({"price":49.99})"}
            << invalid.arg(109).arg("item.price.invalid", "The category MLV1574 requires a minimum price of 50")
            << QStringList{putLog + R"(400,"item":"MLV700000000")" + invalidLog.arg(109)};
        QTest::newRow("too high: cause 129")
            << QString() << QStringList{put + R"({"price":9999999999})"}
            << invalid.arg(129).arg("item.price.invalid", "Price must be less than 9999999999")
            << QStringList{putLog + R"(400,"item":"MLV700000000")" + invalidLog.arg(129)};
        QTest::newRow("automated: the price alone is refused")
            << QString() << QStringList{R"(PUT /items/MLV700000001 {"price":60})"}
            << R"(400 {"message":"Cannot modify price on items with dynamic pricing","error":"item.price.not_modifiable","status":400,"cause":[]})"
            << QStringList{
                   R"({"method":"PUT","path":"/items/MLV700000001","status":400,"item":"MLV700000001","error":"item.price.not_modifiable"})"};
        QTest::newRow("automated: with another field, 200 and the price ignored")
            << QString()
            << QStringList{R"(PUT /items/MLV700000001 {"price":60,"title":"x"})",
                           "GET /items/MLV700000001?attributes=price"}
            << R"(200 {"price":101.5})"
            << QStringList{R"({"method":"PUT","path":"/items/MLV700000001","status":200,"item":"MLV700000001"})",
                           R"({"method":"GET","path":"/items/MLV700000001","query":"attributes=price","status":200})"};
        const QString variations = QStringLiteral("PUT /items/MLV700000002 ");
        const QString varLog = QStringLiteral(R"({"method":"PUT","path":"/items/MLV700000002","status":)");
        QTest::newRow("variations: every id at one price")
            << QString()
            << QStringList{variations +
                               R"({"variations":[{"id":180000000021,"price":70},{"id":180000000022,"price":70},{"id":180000000023,"price":70}]})",
                           "GET /items/MLV700000002?attributes=price"}
            << R"(200 {"price":70})"
            << QStringList{
                   varLog +
                       R"(200,"item":"MLV700000002","variations":[180000000021,180000000022,180000000023],"price":70})",
                   R"({"method":"GET","path":"/items/MLV700000002","query":"attributes=price","status":200})"};
        QTest::newRow("variations: an id left out is deleted")
            << QString() << QStringList{variations + R"({"variations":[{"id":180000000021,"price":70}]})"}
            << QString()  // the item
            << QStringList{
                   varLog +
                   R"(200,"item":"MLV700000002","variations":[180000000021],"deleted":[180000000022,180000000023],"price":70})"};
        QTest::newRow("variations: two prices refused")
            << QString()
            << QStringList{variations +
                           R"({"variations":[{"id":180000000021,"price":70},{"id":180000000022,"price":71}]})"}
            << invalid.arg(101).arg("item.variations.price.invalid",
                                    "All the variations of an item must have the same price")
            << QStringList{varLog + R"(400,"item":"MLV700000002")" + invalidLog.arg(101)};
        QTest::newRow("variations: the price on the item refused")
            << QString() << QStringList{variations + R"({"price":70})"}
            << invalid.arg(101).arg("item.price.variations",
                                    "The price of an item with variations is set on its variations")
            << QStringList{varLog + R"(400,"item":"MLV700000002")" + invalidLog.arg(101)};
        QTest::newRow("another seller's item: 403")
            << QString() << QStringList{R"(PUT /items/MLV710000000 {"price":60})"}
            << R"(403 {"message":"caller.id is not the owner of item MLV710000000","error":"forbidden","status":403,"cause":[]})"
            << QStringList{
                   R"({"method":"PUT","path":"/items/MLV710000000","status":403,"item":"MLV710000000","error":"forbidden"})"};
        QTest::newRow("an unknown item: 404")
            << QString() << QStringList{R"(PUT /items/MLV1 {"price":60})"}
            << R"(404 {"message":"Item with id MLV1 not found","error":"not_found","status":404,"cause":[]})"
            << QStringList{R"({"method":"PUT","path":"/items/MLV1","status":404,"item":"MLV1","error":"not_found"})"};
        QTest::newRow("409 once, then applied")
            << QString()
            << QStringList{R"(PUT /items/MLV700000003 {"price":60})", R"(PUT /items/MLV700000003 {"price":60})",
                           "GET /items/MLV700000003?attributes=price"}
            << R"(200 {"price":60})"
            << QStringList{
                   R"({"method":"PUT","path":"/items/MLV700000003","status":409,"item":"MLV700000003","error":"conflict"})",
                   R"({"method":"PUT","path":"/items/MLV700000003","status":200,"item":"MLV700000003","price":60})",
                   R"({"method":"GET","path":"/items/MLV700000003","query":"attributes=price","status":200})"};
        QTest::newRow("a page of active ids")
            << QString() << QStringList{"GET /users/123456789/items/search?status=active&offset=1&limit=2"}
            << R"(200 {"seller_id":"123456789","query":null,"paging":{"limit":2,"offset":1,"total":4},"results":["MLV700000001","MLV700000002"],"orders":[{"id":"stop_time_asc","name":"Finalizan primero"}]})"
            << QStringList{
                   R"({"method":"GET","path":"/users/123456789/items/search","query":"status=active&offset=1&limit=2","status":200})"};
        QTest::newRow("a limit over 100")
            << QString() << QStringList{"GET /users/123456789/items/search?limit=101"}
            << R"(400 {"message":"Invalid limit. Max value: 100","error":"bad_request","status":400,"cause":[]})"
            << QStringList{
                   R"({"method":"GET","path":"/users/123456789/items/search","query":"limit=101","status":400,"error":"bad_request"})"};
        QTest::newRow("an offset over 1000")
            << QString() << QStringList{"GET /users/123456789/items/search?offset=1001"}
            << R"(400 {"message":"Invalid offset. Max value: 1000; use search_type=scan","error":"bad_request","status":400,"cause":[]})"
            << QStringList{
                   R"({"method":"GET","path":"/users/123456789/items/search","query":"offset=1001","status":400,"error":"bad_request"})"};
        QTest::newRow("another seller's search: 403")
            << QString() << QStringList{"GET /users/987654321/items/search"}
            << R"(403 {"message":"caller.id does not match the user of the path","error":"forbidden","status":403,"cause":[]})"
            << QStringList{
                   R"({"method":"GET","path":"/users/987654321/items/search","status":403,"error":"forbidden"})"};
        QTest::newRow("a scan to its end")
            << QString()
            << QStringList{"GET /users/123456789/items/search?search_type=scan&limit=3",
                           "GET /users/123456789/items/search?search_type=scan&limit=3&scroll_id={scroll}",
                           "GET /users/123456789/items/search?search_type=scan&limit=3&scroll_id={scroll}"}
            << R"(200 {"seller_id":"123456789","scroll_id":"{scroll}","paging":{"limit":3,"total":5},"results":null})"
            << QStringList{
                   R"({"method":"GET","path":"/users/123456789/items/search","query":"search_type=scan&limit=3","status":200})",
                   R"({"method":"GET","path":"/users/123456789/items/search","query":"search_type=scan&limit=3&scroll_id={scroll}","status":200})",
                   R"({"method":"GET","path":"/users/123456789/items/search","query":"search_type=scan&limit=3&scroll_id={scroll}","status":200})"};
        QTest::newRow("a multiget with an unknown id")
            << QString() << QStringList{"GET /items?ids=MLV700000004,MLV9&attributes=id,status"}
            << R"(200 [{"code":200,"body":{"id":"MLV700000004","status":"paused"}},{"code":404,"body":{"message":"Item with id MLV9 not found","error":"not_found","status":404,"cause":[]}}])"
            << QStringList{
                   R"({"method":"GET","path":"/items","query":"ids=MLV700000004,MLV9&attributes=id,status","status":200})"};
        QStringList many;
        for (int i = 0; i < 21; ++i)
            many << QStringLiteral("MLV%1").arg(700000000 + i);
        QTest::newRow("a multiget of 21 ids")
            << QString() << QStringList{"GET /items?ids=" + many.join(u',')}
            << R"(400 {"message":"Max ids allowed: 20","error":"bad_request","status":400,"cause":[]})"
            << QStringList{"{\"method\":\"GET\",\"path\":\"/items\",\"query\":\"ids=" + many.join(u',') +
                           "\",\"status\":400,\"error\":\"bad_request\"}"};
        QTest::newRow("the seller")
            << QString() << QStringList{"GET /users/me"}
            << R"(200 {"id":123456789,"nickname":"TIENDA123456789","site_id":"MLV","country_id":"VE","user_type":"normal","tags":["normal"]})"
            << QStringList{R"({"method":"GET","path":"/users/me","status":200})"};
        QTest::newRow("the currency")
            << QString() << QStringList{"anon GET /currencies/VES"}
            << R"(200 {"id":"VES","symbol":"Bs.","description":"Bolívar soberano","decimal_places":2})"
            << QStringList{R"({"method":"GET","path":"/currencies/VES","status":200})"};
        const QString unauthorized =
            R"(401 {"message":"invalid access token","error":"unauthorized","status":401,"cause":[]})";
        QTest::newRow("no token") << QString() << QStringList{"anon GET /users/me"} << unauthorized
                                  << QStringList{
                                         R"({"method":"GET","path":"/users/me","status":401,"error":"unauthorized"})"};
        QTest::newRow("an expired token")
            << QString() << QStringList{"anon POST /_sim/expire", "GET /users/me"} << unauthorized
            << QStringList{R"({"method":"POST","path":"/_sim/expire","status":200})",
                           R"({"method":"GET","path":"/users/me","status":401,"error":"unauthorized"})"};
        const QString refresh =
            "anon POST /oauth/token grant_type=refresh_token&" + client + "&refresh_token={refresh0}";
        QTest::newRow("a refresh token is good once; the new access token works")
            << QString() << QStringList{refresh, refresh, "GET /users/me"}
            << R"(200 {"id":123456789,"nickname":"TIENDA123456789","site_id":"MLV","country_id":"VE","user_type":"normal","tags":["normal"]})"
            << QStringList{
                   R"({"method":"POST","path":"/oauth/token","status":200,"grant_type":"refresh_token","user_id":"123456789","access_token":"{access}","refresh_token":"{refresh}"})",
                   R"({"method":"POST","path":"/oauth/token","status":400,"grant_type":"refresh_token","error":"invalid_grant"})",
                   R"({"method":"GET","path":"/users/me","status":200})"};
        QTest::newRow("the second refresh's answer")
            << QString() << QStringList{refresh, refresh} << refused
            << QStringList{
                   R"({"method":"POST","path":"/oauth/token","status":200,"grant_type":"refresh_token","user_id":"123456789","access_token":"{access}","refresh_token":"{refresh}"})",
                   R"({"method":"POST","path":"/oauth/token","status":400,"grant_type":"refresh_token","error":"invalid_grant"})"};
        QTest::newRow("a code exchanged twice")
            << QString()
            << QStringList{"anon POST /oauth/token grant_type=authorization_code&" + client +
                           "&code={code0}&redirect_uri=https://gw.example/cb&code_verifier={verifier}"}
            << refused
            << QStringList{
                   R"({"method":"POST","path":"/oauth/token","status":400,"grant_type":"authorization_code","error":"invalid_grant"})"};
        QTest::newRow("revoked: the refresh token is dead too")
            << QString() << QStringList{"anon POST /_sim/revoke", refresh} << refused
            << QStringList{
                   R"({"method":"POST","path":"/_sim/revoke","status":200})",
                   R"({"method":"POST","path":"/oauth/token","status":400,"grant_type":"refresh_token","error":"invalid_grant"})"};
        QTest::newRow("503 twice for PUT, then applied")
            << "fail" << QStringList{put + R"({"price":60})", put + R"({"price":60})", put + R"({"price":60})", read}
            << R"(200 {"id":"MLV700000000","price":60})"
            << QStringList{putLog + R"(503,"error":"service_unavailable"})",
                           putLog + R"(503,"error":"service_unavailable"})",
                           putLog + R"(200,"item":"MLV700000000","price":60})", readLog};
        QTest::newRow("a second PUT within the lock: 409")
            << "lock" << QStringList{put + R"({"price":60})", put + R"({"price":61})", read}
            << R"(200 {"id":"MLV700000000","price":60})"
            << QStringList{putLog + R"(200,"item":"MLV700000000","price":60})",
                           putLog + R"(409,"item":"MLV700000000","error":"conflict"})", readLog};
        QTest::newRow("429 for a minute on GET")
            << "fail-for" << QStringList{"GET /users/me", read}
            << R"(429 {"message":"Failure played by the double","error":"local_rate_limited","status":429,"cause":[]})"
            << QStringList{
                   R"({"method":"GET","path":"/users/me","status":429,"error":"local_rate_limited"})",
                   R"({"method":"GET","path":"/items/MLV700000000","query":"attributes=id,price","status":429,"error":"local_rate_limited"})"};
        QTest::newRow("answers to GET 400 ms late")
            << "slow" << QStringList{"GET /users/me"}
            << R"(200 {"id":123456789,"nickname":"TIENDA123456789","site_id":"MLV","country_id":"VE","user_type":"normal","tags":["normal"]})"
            << QStringList{R"({"method":"GET","path":"/users/me","status":200})"};
        QTest::newRow("two calls a second: the third is 429")
            << "rate" << QStringList{"GET /users/me", "GET /users/me"}
            << R"(429 {"message":"Too many requests","error":"local_rate_limited","status":429,"cause":[]})"
            << QStringList{R"({"method":"GET","path":"/users/me","status":200})",
                           R"({"method":"GET","path":"/users/me","status":429,"error":"local_rate_limited"})"};
    }
    void apiDoubleAnswersAsTheMarketplace() {
        QFETCH(QString, options);
        QFETCH(QStringList, calls);
        QFETCH(QString, answer);
        QFETCH(QStringList, log);
        sim::ApiOptions o;
        o.items = 5;
        o.otherItems = 1;
        o.minPrice = QStringLiteral("50");
        o.automated = {QStringLiteral("MLV700000001")};
        o.variations = {QStringLiteral("MLV700000002")};
        o.conflictOnce = {QStringLiteral("MLV700000003")};
        o.paused = {QStringLiteral("MLV700000004")};
        if (options == QLatin1String("fail"))
            o.failures = {{503, 2, 0, "PUT"}};
        if (options == QLatin1String("rate"))
            o.rate = 2;  // the token exchange is the first call
        if (options == QLatin1String("lock"))
            o.lockSeconds = 60;
        if (options == QLatin1String("fail-for"))
            o.failures = {{429, 0, 60'000, "GET"}};
        if (options == QLatin1String("slow")) {
            o.slowMs = 400;
            o.slowMethod = "GET";
        }
        Channel c;
        QVERIFY(c.server.serveApi(o));
        QVERIFY(c.start());
        const QString form = QStringLiteral("Content-Type: application/x-www-form-urlencoded");
        QHash<QString, QString> named;
        named["verifier"] = QStringLiteral("el-verificador-de-prueba-0123456789-abcdefghijkl");
        const QString challenge =
            QString::fromLatin1(QCryptographicHash::hash(named["verifier"].toLatin1(), QCryptographicHash::Sha256)
                                    .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
        const QString query =
            "response_type=code&client_id=1234567890123456&redirect_uri=https://gw.example/cb"
            "&state=s1&code_challenge=" +
            challenge + "&code_challenge_method=S256";
        const QString page = c.call(QStringLiteral("GET"), "/authorization?" + query, QString(), QString());
        QVERIFY2(page.startsWith(QLatin1String("200 ")) &&
                     page.contains(QLatin1String("<button type=\"submit\">Autorizar</button>")),
                 qPrintable(page));
        QVERIFY(c.call(QStringLiteral("POST"), QStringLiteral("/authorization"), query + "&user_id=123456789", form)
                    .startsWith(QLatin1String("302 ")));
        const auto lastLogged = [&c](const char* key) {
            const std::optional<json::JsonValue> line =
                ParseJsonUtf8(c.server.apiLog().value(c.server.apiLog().size() - 1));
            return line && line->isDictionary() && line->dictionary().Item(QString::fromLatin1(key)).isText()
                       ? line->dictionary().Item(QString::fromLatin1(key)).text()
                       : QString();
        };
        named["code0"] = lastLogged("code");
        QVERIFY(!named["code0"].isEmpty());
        const QString issued =
            c.call(QStringLiteral("POST"), QStringLiteral("/oauth/token"),
                   "grant_type=authorization_code&client_id=1234567890123456&client_secret=secreto-de-prueba&code=" +
                       named["code0"] + "&redirect_uri=https://gw.example/cb&code_verifier=" + named["verifier"],
                   form);
        QVERIFY2(issued.startsWith(QLatin1String("200 {\"access_token\":\"APP_USR-1234567890123456-")),
                 qPrintable(issued));
        named["access"] = lastLogged("access_token");
        named["refresh0"] = named["refresh"] = lastLogged("refresh_token");
        QVERIFY(issued.contains(named["access"]) && issued.contains(named["refresh"]));
        const qsizetype before = c.server.apiLog().size();

        const auto fill = [&named](QString text) {
            for (auto it = named.cbegin(); it != named.cend(); ++it)
                text.replace(u'{' + it.key() + u'}', it.value());
            return text;
        };
        QString last;
        QElapsedTimer clock;
        clock.start();
        for (const QString& step : calls) {
            QString rest = fill(step);
            const bool anon = rest.startsWith(QLatin1String("anon "));
            if (anon)
                rest.remove(0, 5);
            const QStringList parts = rest.split(u' ');
            const QString body = parts.mid(2).join(u' ');
            QString headers = anon ? QString() : "Authorization: Bearer " + named["access"];
            if (!body.isEmpty())
                headers += QStringLiteral("\r\n") +
                           (body.startsWith(u'{') ? QStringLiteral("Content-Type: application/json") : form);
            last = c.call(parts[0], parts[1], body, headers);
            const std::optional<json::JsonValue> v = ParseJsonUtf8(last.mid(4).toUtf8());
            const json::Dictionary* d = v ? v->asDictionary() : nullptr;
            for (const auto& [key, name] : {std::pair{"scroll_id", "scroll"}, std::pair{"access_token", "access"},
                                            std::pair{"refresh_token", "refresh"}})
                if (d && d->Item(QString::fromLatin1(key)).isText())
                    named[QString::fromLatin1(name)] = d->Item(QString::fromLatin1(key)).text();
        }
        if (options == QLatin1String("slow"))
            QVERIFY2(clock.elapsed() >= 400, qPrintable(QString::number(clock.elapsed())));
        if (!answer.isEmpty())
            QCOMPARE(last, fill(answer));
        else
            QVERIFY2(last.startsWith(QLatin1String("200 {\"id\"")), qPrintable(last));
        QStringList lines;
        static const QRegularExpression time(QStringLiteral("^\\{\"ms\":\\d+,"));
        for (const QByteArray& line : c.server.apiLog().mid(before))
            lines << QString::fromUtf8(line).replace(time, QStringLiteral("{"));
        QStringList expected;
        for (const QString& line : log)
            expected << fill(line);
        QCOMPARE(lines, expected);
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
