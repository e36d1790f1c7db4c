// The linking pages as a seller meets them: Debian's headless Chromium, driven through chromedriver, opens the
// one-time link of the real gateway, lands on the marketplace double's authorization form, presses "Autorizar" and
// reads the gateway's answer; spent, expired and forged links show a Spanish page and link nothing. Each page is
// saved as a PNG under the build's screenshots folder.
#include "ChildProcess.h"

#include <httplib.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

namespace {

const char Chromium[] = "/usr/bin/chromium";
const char Chromedriver[] = "/usr/bin/chromedriver";
const char Seller[] = "123456789";

// The W3C WebDriver protocol over chromedriver's HTTP port.
class Browser {
  public:
    explicit Browser(quint16 port) : client_("127.0.0.1", port) { client_.set_read_timeout(30, 0); }

    bool ready() {
        const auto r = client_.Get("/status");
        return r && r->status == 200 &&
               QJsonDocument::fromJson(QByteArray::fromStdString(r->body))
                   .object()
                   .value("value")
                   .toObject()
                   .value("ready")
                   .toBool();
    }
    bool open(const QString& profile) {
        QJsonArray args;
        for (const char* a : {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                              "--disable-background-networking", "--disable-component-update", "--disable-sync",
                              "--window-size=900,640", "--lang=es"}) {
            args.append(QString::fromLatin1(a));
        }
        args.append("--user-data-dir=" + profile);
        const QJsonObject options{{"binary", Chromium}, {"args", args}};
        // The double serves the tests' own certificate.
        const QJsonObject always{{"acceptInsecureCerts", true}, {"goog:chromeOptions", options}};
        const QJsonValue v =
            call("POST", "/session", QJsonObject{{"capabilities", QJsonObject{{"alwaysMatch", always}}}});
        session_ = v.toObject().value("sessionId").toString();
        return !session_.isEmpty();
    }
    void close() {
        if (!session_.isEmpty()) {
            call("DELETE", "/session/" + session_, {});
            session_.clear();
        }
    }
    void go(const QString& url) { call("POST", at("/url"), QJsonObject{{"url", url}}); }
    QString url() { return call("GET", at("/url"), {}).toString(); }
    QString title() { return call("GET", at("/title"), {}).toString(); }
    // The text of the first element matching `css`; empty when there is none.
    QString text(const QString& css) {
        const QString element = find(css);
        return element.isEmpty() ? QString() : call("GET", at("/element/" + element + "/text"), {}).toString();
    }
    // The computed value of a style property of the first element matching `css`.
    QString style(const QString& css, const QString& property) {
        const QString element = find(css);
        return element.isEmpty() ? QString()
                                 : call("GET", at("/element/" + element + "/css/" + property), {}).toString();
    }
    bool click(const QString& css) {
        const QString element = find(css);
        return !element.isEmpty() && call("POST", at("/element/" + element + "/click"), QJsonObject{}).isNull();
    }
    // Waits, at most ten seconds, for the page titled `wanted`.
    bool waitForTitle(const QString& wanted) {
        for (int i = 0; i < 100; ++i) {
            if (title() == wanted) {
                return true;
            }
            QTest::qWait(100);
        }
        return false;
    }
    bool screenshot(const QString& file) {
        const QByteArray png = QByteArray::fromBase64(call("GET", at("/screenshot"), {}).toString().toLatin1());
        QFile f(file);
        return png.startsWith("\x89PNG") && f.open(QIODevice::WriteOnly) && f.write(png) == png.size();
    }

  private:
    QString at(const QString& path) const { return "/session/" + session_ + path; }
    QString find(const QString& css) {
        const QJsonObject found =
            call("POST", at("/element"), QJsonObject{{"using", "css selector"}, {"value", css}}).toObject();
        return found.value("element-6066-11e4-a52e-4f735466cecf").toString();
    }
    QJsonValue call(const char* method, const QString& path, const QJsonObject& body) {
        const std::string p = path.toStdString();
        const std::string b = QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString();
        httplib::Result r = std::string(method) == "GET"      ? client_.Get(p)
                            : std::string(method) == "DELETE" ? client_.Delete(p)
                                                              : client_.Post(p, b, "application/json");
        if (!r) {
            return {};
        }
        return QJsonDocument::fromJson(QByteArray::fromStdString(r->body)).object().value("value");
    }

    httplib::Client client_;
    QString session_;
};

}  // namespace

class tst_Navegador : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanupTestCase();
    void sellerLinksTheShopInTheBrowser();
    void spentOrForgedLinkLinksNothing_data();
    void spentOrForgedLinkLinksNothing();

  private:
    QByteArray run(const QStringList& args, const QByteArray& input = {});
    int tokenGrants() const;
    void shoot(const QString& name);

    QTemporaryDir dir_;
    QString ini_;
    QProcess api_;
    QProcess gateway_;
    QProcess driver_;
    std::unique_ptr<Browser> browser_;
    QString linkA_;
    QString linkB_;
    QString formA_;
    QString callbackA_;
};

QByteArray tst_Navegador::run(const QStringList& args, const QByteArray& input) {
    return sim::run(VANTORIA_GATEWAY, QStringList{"--config", ini_} + args, input).salida;
}

// Code exchanges and refreshes the double answered, from its log.
int tst_Navegador::tokenGrants() const {
    QFile log(dir_.filePath("api.log"));
    if (!log.open(QIODevice::ReadOnly)) {
        return 0;
    }
    return static_cast<int>(log.readAll().count("\"path\":\"/oauth/token\",\"status\":200"));
}

void tst_Navegador::shoot(const QString& name) {
    QDir().mkpath(SCREENSHOT_DIR);
    QVERIFY2(browser_->screenshot(SCREENSHOT_DIR "/" + name + ".png"), qPrintable(name));
}

void tst_Navegador::initTestCase() {
    if (!QFile::exists(Chromium) || !QFile::exists(Chromedriver)) {
        QSKIP("Debian's chromium and chromium-driver are not installed");
    }
    api_.start(MARKET_SIM, {"--role", "api", "--port", "0", "--seller", Seller, "--items", "3", "--client-id", "app-1",
                            "--client-secret", "secreto", "--log", dir_.filePath("api.log")});
    const QString base = sim::firstLine(api_);
    QVERIFY2(base.startsWith("https://127.0.0.1:"), qPrintable(base));

    const quint16 port = sim::freePort();
    QVERIFY(port > 0);
    const QString here = QStringLiteral("http://127.0.0.1:%1").arg(port);
    QFile secret(dir_.filePath("secret.txt"));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("secreto\n");
    secret.close();
    ini_ = dir_.filePath("gateway.ini");
    QFile ini(ini_);
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write(
        QStringLiteral("[server]\nlisten = 127.0.0.1:%1\n[marketplace]\napi_url = %2\nauth_url = %2/authorization\n"
                       "client_id = app-1\nclient_secret_file = secret.txt\nredirect_uri = %3/oauth/callback\n"
                       "extra_ca = " TLS_DIR "/ca.pem\n[store]\ndatabase = gateway.sqlite\nkey_file = gateway.key\n")
            .arg(port)
            .arg(base, here)
            .toUtf8());
    ini.close();
    linkA_ = QString::fromUtf8(run({"account", "add", "tienda"}, "clave1\n").trimmed());
    linkB_ = QString::fromUtf8(run({"account", "add", "otra"}, "clave2\n").trimmed());
    QVERIFY2(linkA_.startsWith(here + "/vincular/"), qPrintable(linkA_));
    QVERIFY2(linkB_.startsWith(here + "/vincular/"), qPrintable(linkB_));
    gateway_.start(VANTORIA_GATEWAY, {"--config", ini_, "serve"});
    QCOMPARE(sim::firstLine(gateway_), "Escuchando en " + here);

    const quint16 driverPort = sim::freePort();
    driver_.start(Chromedriver, {QStringLiteral("--port=%1").arg(driverPort)});
    browser_ = std::make_unique<Browser>(driverPort);
    bool ready = false;
    for (int i = 0; i < 100 && !(ready = browser_->ready()); ++i) {
        QTest::qWait(100);
    }
    QVERIFY2(ready, "chromedriver did not answer");
    QVERIFY2(browser_->open(dir_.filePath("perfil")), "chromium did not start");
}

void tst_Navegador::cleanupTestCase() {
    if (browser_) {
        browser_->close();
    }
    sim::stop(driver_);
    sim::stop(gateway_);
    sim::stop(api_);
}

void tst_Navegador::sellerLinksTheShopInTheBrowser() {
    browser_->go(linkA_);
    QVERIFY2(browser_->waitForTitle("Autorizar aplicación"), qPrintable(browser_->title()));
    formA_ = browser_->url();
    QVERIFY2(formA_.contains("&state=") && formA_.contains("code_challenge_method=S256"), qPrintable(formA_));
    QCOMPARE(browser_->text("button"), QString("Autorizar"));
    shoot("1-autorizacion-del-mercado");

    QVERIFY(browser_->click("button"));
    QVERIFY2(browser_->waitForTitle("Vantoria: Cuenta vinculada"), qPrintable(browser_->title()));
    callbackA_ = browser_->url();
    QVERIFY2(callbackA_.contains("/oauth/callback?code="), qPrintable(callbackA_));
    QCOMPARE(browser_->text("h1"), QString("Cuenta vinculada"));
    QCOMPARE(browser_->text("p"), QString("La cuenta tienda quedó vinculada con el vendedor 123456789 de Mercado "
                                          "Libre. Ya puede cerrar esta ventana."));
    // The page's own style sheet is let through by its security policy (a browser's default heading is 32px).
    QCOMPARE(browser_->style("h1", "font-size"), QString("24px"));
    shoot("2-cuenta-vinculada");
    QCOMPARE(tokenGrants(), 1);
    const QString accounts = QString::fromUtf8(run({"account", "list"}));
    QVERIFY2(accounts.contains("tienda\t123456789\tsí\t"), qPrintable(accounts));
    QVERIFY2(accounts.contains("otra\t-\tno\t-\tno\n"), qPrintable(accounts));
}

void tst_Navegador::spentOrForgedLinkLinksNothing_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("press");
    QTest::addColumn<QString>("heading");
    QTest::addColumn<QString>("text");
    const QString noLink = "Enlace no válido";
    const QString noLinkText =
        "El enlace de vinculación no es válido o ya venció. Pida uno nuevo al administrador de la pasarela.";
    const QString notLinked = "Cuenta no vinculada";
    const QString spent = "La vinculación no es válida o venció. Abra de nuevo el enlace de vinculación.";
    QTest::newRow("3-enlace-ya-usado") << "linkA" << false << noLink << noLinkText;
    QTest::newRow("4-enlace-vencido") << "linkB-expired" << false << noLink << noLinkText;
    QTest::newRow("5-enlace-inventado") << "forged" << false << noLink << noLinkText;
    QTest::newRow("6-respuesta-repetida") << "callbackA" << false << notLinked << spent;
    QTest::newRow("7-autorizar-otra-vez") << "formA" << true << notLinked << spent;
}

void tst_Navegador::spentOrForgedLinkLinksNothing() {
    QFETCH(QString, target);
    QFETCH(bool, press);
    QFETCH(QString, heading);
    QFETCH(QString, text);
    QVERIFY2(!callbackA_.isEmpty(), "the shop was not linked first");
    if (target == "linkB-expired") {
        // A link made more than a day ago.
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "vencer");
        db.setDatabaseName(dir_.filePath("gateway.sqlite"));
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec("UPDATE links SET expires_at = 1 WHERE user = 'otra'"));
        QCOMPARE(q.numRowsAffected(), 1);
        q.finish();
        db.close();
    }
    const QByteArray accountsBefore = run({"account", "list"});
    const int grantsBefore = tokenGrants();
    const QString url = target == "linkA"           ? linkA_
                        : target == "linkB-expired" ? linkB_
                        : target == "callbackA"     ? callbackA_
                        : target == "formA"         ? formA_
                                                    : linkA_.left(linkA_.lastIndexOf(u'/') + 1) + QString(43, u'A');
    browser_->go(url);
    if (press) {
        QVERIFY(browser_->waitForTitle("Autorizar aplicación"));
        QVERIFY(browser_->click("button"));
    }
    QVERIFY2(browser_->waitForTitle("Vantoria: " + heading), qPrintable(browser_->title()));
    QCOMPARE(browser_->text("h1"), heading);
    QCOMPARE(browser_->text("p"), text);
    shoot(QString::fromLatin1(QTest::currentDataTag()));
    QCOMPARE(tokenGrants(), grantsBefore);
    QCOMPARE(run({"account", "list"}), accountsBefore);
}

QTEST_GUILESS_MAIN(tst_Navegador)
#include "tst_navegador.moc"
