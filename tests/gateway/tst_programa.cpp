// The gateway as a process: settings, commands, serving, and its libcurl client against an HTTPS stand-in of the
// marketplace's API on 127.0.0.1.
#include <httplib.h>

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUrlQuery>

#include <atomic>
#include <mutex>
#include <thread>

#include <signal.h>

namespace {

// Just enough of the API for one shop with three listings.
class StandInApi {
  public:
    StandInApi(const char* cert, const char* key) : server(cert, key) {
        server.Post("/oauth/token", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex);
            const std::string grant = req.get_param_value("grant_type");
            const QByteArray verifier = QByteArray::fromStdString(req.get_param_value("code_verifier"));
            const QByteArray challenge = QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
                                             .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
            const bool ok = req.get_param_value("client_secret") == "secreto" &&
                            ((grant == "authorization_code" && req.get_param_value("code") == "code-1" &&
                              challenge == expectedChallenge) ||
                             (grant == "refresh_token" && req.get_param_value("refresh_token") == refresh));
            if (!ok) {
                res.status = 400;
                res.set_content(R"({"message":"invalid","error":"invalid_grant","status":400,"cause":[]})",
                                "application/json");
                return;
            }
            ++issued;
            access = "APP_USR-acceso-" + std::to_string(issued);
            refresh = "TG-renovacion-" + std::to_string(issued);
            res.set_content(R"({"access_token":")" + access + R"(","expires_in":21600,"user_id":777,)" +
                                R"("scope":"offline_access read write","refresh_token":")" + refresh + "\"}",
                            "application/json");
        });
        const auto authorized = [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex);
            if (access.empty() || req.get_header_value("Authorization") != "Bearer " + access) {
                res.status = 401;
                res.set_content(R"({"message":"invalid token","error":"unauthorized","status":401})",
                                "application/json");
                return false;
            }
            return true;
        };
        server.Get("/users/me", [this, authorized](const httplib::Request& req, httplib::Response& res) {
            if (authorized(req, res)) {
                res.set_content(R"({"id":777,"nickname":"TIENDA"})", "application/json");
            }
        });
        server.Get("/users/777/items/search", [this, authorized](const httplib::Request& req, httplib::Response& res) {
            if (authorized(req, res)) {
                res.set_content(R"({"paging":{"total":3,"offset":0,"limit":100},"results":["MLV1","MLV2","MLV3"]})",
                                "application/json");
            }
        });
        server.Get("/items", [this, authorized](const httplib::Request& req, httplib::Response& res) {
            if (!authorized(req, res)) {
                return;
            }
            std::string out = "[";
            std::string ids = req.get_param_value("ids") + ",";
            for (size_t at = 0, comma; (comma = ids.find(',', at)) != std::string::npos; at = comma + 1) {
                out += (out.size() > 1 ? "," : "") + std::string(R"({"code":200,"body":)") +
                       item(ids.substr(at, comma - at)) + "}";
            }
            res.set_content(out + "]", "application/json");
        });
        server.Get(R"(/items/(MLV\d+))", [this, authorized](const httplib::Request& req, httplib::Response& res) {
            if (authorized(req, res)) {
                res.set_content(item(req.matches[1]), "application/json");
            }
        });
        server.Put(R"(/items/(MLV\d+))", [this, authorized](const httplib::Request& req, httplib::Response& res) {
            if (authorized(req, res)) {
                ++putsStarted;
                std::this_thread::sleep_for(std::chrono::milliseconds(putDelayMs.load()));
                std::lock_guard lock(mutex);
                puts.push_back(req.matches[1].str() + " " + req.body);
                price = req.body.substr(req.body.find(':') + 1);
                price.pop_back();
                res.set_content(item(req.matches[1]), "application/json");
            }
        });
        server.Get("/currencies/VES", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(R"({"id":"VES","decimal_places":2})", "application/json");
        });
        server.set_tcp_nodelay(true);
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~StandInApi() {
        server.stop();
        thread.join();
    }
    std::string item(const std::string& id) {
        return R"({"id":")" + id + R"(","title":"Producto )" + id + R"(","seller_id":777,"price":)" + price +
               R"(,"currency_id":"VES","status":"active","permalink":"https://articulo.example/)" + id + "\"}";
    }

    httplib::SSLServer server;
    int port = -1;
    std::thread thread;
    std::mutex mutex;
    std::string access;
    std::string refresh;
    int issued = 0;
    std::string price = "10";
    QByteArray expectedChallenge;
    std::vector<std::string> puts;
    std::atomic<int> putDelayMs{0};
    std::atomic<int> putsStarted{0};
};

struct Setup {
    QTemporaryDir dir;
    QString ini;
    void write(const QByteArray& server, int apiPort, bool extraCa = true) {
        QFile secret(dir.filePath("secret.txt"));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("secreto\n");
        secret.close();
        ini = dir.filePath("gateway.ini");
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[server]\n" + server + "\n[marketplace]\napi_url = https://127.0.0.1:" + QByteArray::number(apiPort) +
                "\nauth_url = https://127.0.0.1:" + QByteArray::number(apiPort) +
                "/authorization\nclient_id = app-1\nclient_secret_file = secret.txt\n"
                "redirect_uri = https://pasarela.example/oauth/callback\n" +
                (extraCa ? QByteArray("extra_ca = " TLS_DIR "/ca.pem\n") : QByteArray()) +
                "[store]\ndatabase = gateway.sqlite\nkey_file = gateway.key\n");
    }
    // Runs a command to its end; returns standard output.
    QByteArray run(const QStringList& args, const QByteArray& input = {}, int* code = nullptr,
                   QByteArray* err = nullptr) {
        QProcess p;
        p.start(VANTORIA_GATEWAY, QStringList{"--config", ini} + args);
        p.write(input);
        p.closeWriteChannel();
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
        }
        if (code) {
            *code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        }
        if (err) {
            *err = p.readAllStandardError();
        }
        return p.readAllStandardOutput();
    }
    // Starts `serve` and waits for its one line.
    QString serve(QProcess& p) {
        p.start(VANTORIA_GATEWAY, {"--config", ini, "serve"});
        for (int i = 0; i < 100 && !p.canReadLine(); ++i) {
            p.waitForReadyRead(100);
        }
        return QString::fromUtf8(p.readLine()).trimmed();
    }
    static int stop(QProcess& p) {
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        if (!p.waitForFinished(10000)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
};

}  // namespace

class tst_Programa : public QObject {
    Q_OBJECT

  private slots:
    void wholeChainFromLinkToPriceChange();
    void servesHttpsWithItsCertificate();
    void badSettingStopsWithOneLine_data();
    void badSettingStopsWithOneLine();
    void marketplaceWithAnUntrustedCertificateIsNotUsed();
};

void tst_Programa::wholeChainFromLinkToPriceChange() {
    StandInApi api(TLS_DIR "/server.pem", TLS_DIR "/server.key");
    QVERIFY(api.port > 0);
    Setup s;
    s.write("listen = 127.0.0.1:0", api.port);
    int code = 0;
    const QByteArray link = s.run({"account", "add", "tienda"}, "clave1\n", &code).trimmed();
    QCOMPARE(code, 0);
    QVERIFY2(link.startsWith("https://pasarela.example/vincular/"), link.constData());

    QProcess server;
    const QString listening = s.serve(server);
    const QRegularExpressionMatch m =
        QRegularExpression("^Escuchando en http://127\\.0\\.0\\.1:(\\d+)$").match(listening);
    QVERIFY2(m.hasMatch(), qPrintable(listening));
    httplib::Client client("127.0.0.1", m.captured(1).toInt());
    client.set_read_timeout(30, 0);

    const auto page = client.Get(link.mid(strlen("https://pasarela.example")).toStdString());
    QVERIFY(page);
    QCOMPARE(page->status, 302);
    const QUrlQuery query(QUrl(QString::fromStdString(page->get_header_value("Location"))));
    api.expectedChallenge = query.queryItemValue("code_challenge").toUtf8();
    const auto linked =
        client.Get(("/oauth/callback?code=code-1&state=" + query.queryItemValue("state")).toStdString());
    QVERIFY(linked);
    QCOMPARE(linked->status, 200);
    QVERIFY(linked->body.find("<h1>Cuenta vinculada</h1>") != std::string::npos);

    const auto signIn = client.Post("/mercadolibre/ml00000316_LogeandoEspecial.php", "fusuario=tienda&fclave=clave1",
                                    "application/x-www-form-urlencoded");
    QVERIFY(signIn);
    QCOMPARE(signIn->body, std::string("Listo!!!777"));
    const std::string setCookie = signIn->get_header_value("Set-Cookie");
    const httplib::Headers cookie{{"Cookie", setCookie.substr(0, setCookie.find(';'))}};

    const auto search = client.Post("/sites/MLV/search?limit=20&offset=0&seller_id=777", cookie, "",
                                    "application/x-www-form-urlencoded");
    QVERIFY(search);
    QVERIFY2(search->body.rfind(
                 R"({"paging":{"total":3,"primary_results":3,"offset":0,"limit":20},"results":[{"id":"MLV1")", 0) == 0,
             search->body.c_str());
    const auto price = client.Post("/mercadolibre/ml00000102_meliGet.php?men=480613&item_id=MLV2&precio_item=1234.567",
                                   cookie, "", "application/x-www-form-urlencoded");
    QVERIFY(price);
    QCOMPARE(price->body, std::string("Listo!!! Precio actualizado."));
    // What the request waited on the marketplace: two calls, so more than nothing.
    const std::string timing = price->get_header_value("Server-Timing");
    QVERIFY2(timing.rfind("mercado;dur=", 0) == 0 && std::stod(timing.substr(12)) > 0, timing.c_str());
    QCOMPARE(api.puts, std::vector<std::string>{R"(MLV2 {"price":1234.57})"});
    const auto pause = client.Post("/mercadolibre/ml00000319_Blank.php", "", "application/x-www-form-urlencoded");
    QVERIFY(pause);
    QCOMPARE(pause->status, 200);
    QCOMPARE(pause->body, std::string());

    // SIGTERM while a price is being changed: the answer still arrives, then the program ends with 0.
    api.putDelayMs = 1500;
    std::string inFlight;
    std::thread late([&] {
        httplib::Client other("127.0.0.1", m.captured(1).toInt());
        other.set_read_timeout(30, 0);
        const auto r = other.Post("/mercadolibre/ml00000102_meliGet.php?men=480613&item_id=MLV3&precio_item=7", cookie,
                                  "", "application/x-www-form-urlencoded");
        inFlight = r ? r->body : "no answer";
    });
    for (int i = 0; i < 500 && api.putsStarted < 2; ++i) {
        QTest::qWait(10);
    }
    QCOMPARE(api.putsStarted.load(), 2);
    QCOMPARE(Setup::stop(server), 0);
    late.join();
    QCOMPARE(inFlight, std::string("Listo!!! Precio actualizado."));
    const QByteArray log = server.readAllStandardError();
    QVERIFY(log.contains("POST /mercadolibre/ml00000102_meliGet.php -> 200"));
    const QByteArray audit = s.run({"audit", "--csv"});
    QVERIFY2(audit.contains(",tienda,777,MLV2,1234.567,1234.57,Listo!!! Precio actualizado.,200\n"), audit.constData());
    const QByteArray accounts = s.run({"account", "list"});
    QVERIFY2(accounts.contains("tienda\t777\tsí\t"), accounts.constData());
    QCOMPARE(s.run({"audit", "--seller", "778"}),
             QByteArray(
                 "hora\tusuario\tvendedor\tpublicacion\tprecio_pedido\tprecio_aplicado\tresultado\testado_mercado\n"));
    QCOMPARE(s.run({"account", "password", "nadie"}, "otra\n", &code), QByteArray());
    QCOMPARE(code, 1);
    s.run({"account", "password", "tienda"}, "otra\n", &code);
    QCOMPARE(code, 0);
    QByteArray files = log + audit + accounts;
    for (const char* name : {"gateway.sqlite", "gateway.sqlite-wal"}) {
        QFile f(s.dir.filePath(name));
        if (f.open(QIODevice::ReadOnly)) {
            files += f.readAll();
        }
    }
    for (const std::string& secret : {api.access, api.refresh, std::string("APP_USR-acceso-1"),
                                      std::string("TG-renovacion-1"), std::string("clave1")}) {
        QVERIFY2(!files.contains(QByteArray::fromStdString(secret)), secret.c_str());
    }
    s.run({"account", "remove", "tienda"}, {}, &code);
    QCOMPARE(code, 0);
    QCOMPARE(s.run({"account", "list"}), QByteArray("usuario\tvendedor\tvinculada\tvence\tbloqueada\n"));
}

void tst_Programa::servesHttpsWithItsCertificate() {
    Setup s;
    s.write("listen = 127.0.0.1:0\ncertificate = " TLS_DIR "/server.pem\nkey = " TLS_DIR "/server.key", 9);
    QProcess server;
    const QString listening = s.serve(server);
    const QRegularExpressionMatch m =
        QRegularExpression("^Escuchando en https://127\\.0\\.0\\.1:(\\d+)$").match(listening);
    QVERIFY2(m.hasMatch(), qPrintable(listening));
    httplib::SSLClient client("127.0.0.1", m.captured(1).toInt());
    client.set_ca_cert_path(TLS_DIR "/ca.pem");
    client.enable_server_certificate_verification(true);
    const auto pause = client.Post("/mercadolibre/ml00000319_Blank.php", "", "application/x-www-form-urlencoded");
    QVERIFY(pause);
    QCOMPARE(pause->status, 200);
    QCOMPARE(Setup::stop(server), 0);
}

void tst_Programa::badSettingStopsWithOneLine_data() {
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<QString>("line");
    QTest::newRow("plain HTTP on every address")
        << QByteArray("listen = 0.0.0.0:0")
        << "gateway.ini: [server] listen: sin certificate ni key solo se escucha en una dirección local (127.0.0.1)";
    QTest::newRow("key without certificate") << QByteArray("listen = 127.0.0.1:0\nkey = " TLS_DIR "/server.key")
                                             << "gateway.ini: [server] certificate: certificate y key van juntos";
    QTest::newRow("certificate that is not one")
        << QByteArray("listen = 127.0.0.1:0\ncertificate = secret.txt\nkey = secret.txt")
        << "gateway.ini: [server] certificate: no se pudo cargar secret.txt con secret.txt";
}

void tst_Programa::badSettingStopsWithOneLine() {
    QFETCH(QByteArray, server);
    QFETCH(QString, line);
    Setup s;
    s.write(server, 9);
    int code = 0;
    QByteArray err;
    const QByteArray out = s.run({"serve"}, {}, &code, &err);
    QCOMPARE(code, 2);
    QCOMPARE(out, QByteArray());
    QCOMPARE(QString::fromUtf8(err).replace(s.dir.path() + u'/', QString()), line + u'\n');
}

void tst_Programa::marketplaceWithAnUntrustedCertificateIsNotUsed() {
    StandInApi api(TLS_DIR "/stranger.pem", TLS_DIR "/stranger.key");
    Setup s;
    s.write("listen = 127.0.0.1:0", api.port);
    const QByteArray link = s.run({"account", "add", "tienda"}, "clave1\n").trimmed();
    QProcess server;
    const QRegularExpressionMatch m =
        QRegularExpression("^Escuchando en http://127\\.0\\.0\\.1:(\\d+)$").match(s.serve(server));
    QVERIFY(m.hasMatch());
    httplib::Client client("127.0.0.1", m.captured(1).toInt());
    const auto page = client.Get(link.mid(strlen("https://pasarela.example")).toStdString());
    QVERIFY(page);
    const QUrlQuery query(QUrl(QString::fromStdString(page->get_header_value("Location"))));
    api.expectedChallenge = query.queryItemValue("code_challenge").toUtf8();
    const auto linked =
        client.Get(("/oauth/callback?code=code-1&state=" + query.queryItemValue("state")).toStdString());
    QVERIFY(linked);
    QCOMPARE(linked->status, 502);
    QCOMPARE(api.issued, 0);
    QCOMPARE(Setup::stop(server), 0);
}

QTEST_GUILESS_MAIN(tst_Programa)
#include "tst_programa.moc"
