#pragma once

// The maker's gateway program (vantoria-gateway) serving HTTPS on 127.0.0.1 in front of the marketplace's API
// double, with one account linked as a seller links it in a browser: the one-time link, the double's authorization
// form and its button "Autorizar", the gateway's callback. For the demo and the tests that run the whole chain.

#include "Api.h"
#include "ChildProcess.h"
#include "MarketSim.h"
#include "SimWindow.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QUrl>
#include <QUrlQuery>

#include <memory>

#ifdef Q_OS_UNIX
#include <signal.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace sim {

class GatewayProgram {
  public:
    // `program` is the vantoria-gateway executable; its settings, certificate, store, key and log go into `folder`
    // (made when missing), which must outlive this object.
    GatewayProgram(QString program, QString folder) : program_(std::move(program)), folder_(std::move(folder)) {}
    ~GatewayProgram() { stop(); }
    GatewayProgram(const GatewayProgram&) = delete;
    GatewayProgram& operator=(const GatewayProgram&) = delete;

    // Serves in front of `api` (already serving the double with `options`) and links the new account `user` to the
    // double's seller; false when a step failed, and error() names it.
    bool start(const MarketSim& api, const ApiOptions& options, const QString& user, const QString& password) {
        if (!QDir().mkpath(folder_) || !writeFiles(api, options))
            return fail(QStringLiteral("cannot write the gateway's settings into %1").arg(folder_));
        int status = -1;
        const QByteArray link =
            run({QStringLiteral("account"), QStringLiteral("add"), user}, password.toUtf8() + '\n', &status).trimmed();
        if (status != 0 || !link.contains("/vincular/"))
            return fail(QStringLiteral("vantoria-gateway account add %1 failed (exit %2): %3")
                            .arg(user)
                            .arg(status)
                            .arg(QString::fromUtf8(runErrors_.trimmed())));
        if (!serve())
            return false;
        return linkAccount(QUrl(QString::fromUtf8(link)).path(QUrl::FullyEncoded).toUtf8());
    }

    QString baseUrl() const { return base_; }
    QString error() const { return error_; }
    QString settingsFile() const { return QDir(folder_).filePath(QStringLiteral("gateway.ini")); }

    // Ends serving with SIGTERM, as a service manager does; its exit status, -1 when it had to be killed or was not
    // serving.
    int stop() {
        if (!server_ || server_->state() == QProcess::NotRunning)
            return -1;
#ifdef Q_OS_UNIX
        ::kill(pid_t(server_->processId()), SIGTERM);
#else
        server_->terminate();
#endif
        if (!server_->waitForFinished(10000)) {
            server_->kill();
            server_->waitForFinished(5000);
            return -1;
        }
        return server_->exitStatus() == QProcess::NormalExit ? server_->exitCode() : -1;
    }

    // What the serving program wrote on standard error: one line a request.
    QByteArray log() const {
        QFile f(QDir(folder_).filePath(QStringLiteral("gateway.log")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    // Runs one of its commands (account, audit) to its end, `input` on standard input; its standard output.
    QByteArray run(const QStringList& args, const QByteArray& input = {}, int* status = nullptr) {
        sim::Fin fin = sim::run(program_, QStringList{QStringLiteral("--config"), settingsFile()} + args, input);
        if (status)
            *status = fin.codigo;
        runErrors_ = fin.codigo == -2 ? (program_ + QStringLiteral(" not found")).toUtf8() : fin.errores;
        return fin.salida;
    }

  private:
    bool fail(const QString& why) {
        error_ = why;
        return false;
    }

    bool writeFile(const QString& name, const QByteArray& bytes) {
        QFile f(QDir(folder_).filePath(name));
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
    }

    bool writeFiles(const MarketSim& api, const ApiOptions& o) {
        // The gateway serves with the simulator's test certificate, which the window already trusts.
        for (const char* name : {"server.pem", "server.key", "ca.pem"}) {
            QFile resource(QStringLiteral(":/marketsim/") + QLatin1String(name));
            if (!resource.open(QIODevice::ReadOnly) || !writeFile(QLatin1String(name), resource.readAll()))
                return false;
        }
        const QByteArray apiUrl = api.baseUrl().toUtf8();
        return writeFile(QStringLiteral("client_secret.txt"), o.clientSecret.toUtf8() + '\n') &&
               writeFile(QStringLiteral("gateway.ini"),
                         "[server]\nlisten = 127.0.0.1:0\ncertificate = server.pem\nkey = server.key\n"
                         "[marketplace]\napi_url = " +
                             apiUrl + "\nauth_url = " + apiUrl + "/authorization\nclient_id = " + o.clientId.toUtf8() +
                             "\nclient_secret_file = client_secret.txt\n"
                             "redirect_uri = https://127.0.0.1/oauth/callback\nextra_ca = ca.pem\n"
                             "[store]\ndatabase = gateway.sqlite\nkey_file = gateway.key\n");
    }

    // Starts `serve` and waits for its line "Escuchando en https://127.0.0.1:PORT".
    bool serve() {
        server_ = std::make_unique<QProcess>();
        server_->setStandardErrorFile(QDir(folder_).filePath(QStringLiteral("gateway.log")));
#ifdef Q_OS_LINUX
        // Should this program die without its destructor, the gateway goes with it.
        server_->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
        server_->start(program_, {QStringLiteral("--config"), settingsFile(), QStringLiteral("serve")});
        const QDeadlineTimer deadline(10000);
        while (!server_->canReadLine() && server_->state() != QProcess::NotRunning && !deadline.hasExpired())
            server_->waitForReadyRead(100);
        const QString line = QString::fromUtf8(server_->readLine()).trimmed();
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^Escuchando en (https://127\\.0\\.0\\.1:\\d+)$")).match(line);
        if (!m.hasMatch())
            return fail(QStringLiteral("vantoria-gateway serve did not start: %1 %2")
                            .arg(line, QString::fromUtf8(log().trimmed())));
        base_ = m.captured(1);
        return true;
    }

    struct Answer {
        int status = 0;
        QByteArray location;
        QByteArray body;
    };

    static Answer call(QNetworkAccessManager& net, const QUrl& url, const QByteArray& form = {}) {
        QNetworkRequest r(url);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.addCaCertificates(MarketSim::caCertificates());
        r.setSslConfiguration(tls);
        r.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        r.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        r.setTransferTimeout(15000);
        if (!form.isNull())
            r.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
        QNetworkReply* reply = form.isNull() ? net.get(r) : net.post(r, form);
        esperoQue([reply] { return reply->isFinished(); }, 20000);
        Answer a;
        if (reply->isFinished()) {
            a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            a.location = reply->rawHeader("Location");
            a.body = reply->readAll();
        }
        reply->abort();
        reply->deleteLater();
        return a;
    }

    static QString unescaped(QString html) {
        return html.replace(QLatin1String("&quot;"), QLatin1String("\""))
            .replace(QLatin1String("&#39;"), QLatin1String("'"))
            .replace(QLatin1String("&lt;"), QLatin1String("<"))
            .replace(QLatin1String("&gt;"), QLatin1String(">"))
            .replace(QLatin1String("&amp;"), QLatin1String("&"));
    }

    // The link page, the marketplace's authorization form sent as its button sends it, and the callback.
    bool linkAccount(const QByteArray& linkPath) {
        QNetworkAccessManager net;
        const Answer page = call(net, QUrl(base_ + QString::fromLatin1(linkPath)));
        if (page.status != 302 || page.location.isEmpty())
            return fail(QStringLiteral("the link page answered %1").arg(page.status));
        const QUrl authorization(QString::fromUtf8(page.location));
        const Answer form = call(net, authorization);
        const QRegularExpressionMatch action =
            QRegularExpression(QStringLiteral("<form method=\"post\" action=\"([^\"]+)\">"))
                .match(QString::fromUtf8(form.body));
        if (form.status != 200 || !action.hasMatch() || !form.body.contains("Autorizar"))
            return fail(QStringLiteral("the authorization page answered %1").arg(form.status));
        QByteArray fields;
        QRegularExpressionMatchIterator input =
            QRegularExpression(QStringLiteral("<input (?:type=\"hidden\" )?name=\"([^\"]+)\" value=\"([^\"]*)\">"))
                .globalMatch(QString::fromUtf8(form.body));
        while (input.hasNext()) {
            const QRegularExpressionMatch m = input.next();
            fields += (fields.isEmpty() ? "" : "&") + QUrl::toPercentEncoding(unescaped(m.captured(1))) + '=' +
                      QUrl::toPercentEncoding(unescaped(m.captured(2)));
        }
        const Answer authorized = call(net, authorization.resolved(QUrl(unescaped(action.captured(1)))), fields);
        const QUrl back(QString::fromUtf8(authorized.location));
        if (authorized.status != 302 || !QUrlQuery(back).hasQueryItem(QStringLiteral("code")))
            return fail(QStringLiteral("the authorization form answered %1").arg(authorized.status));
        // The browser would go to the registered redirect URI; the callback is this gateway's own.
        const Answer linked =
            call(net, QUrl(base_ + QStringLiteral("/oauth/callback?") + back.query(QUrl::FullyEncoded)));
        if (linked.status != 200 || !linked.body.contains("Cuenta vinculada"))
            return fail(QStringLiteral("the gateway's callback answered %1: %2")
                            .arg(linked.status)
                            .arg(QString::fromUtf8(linked.body)));
        return true;
    }

    QString program_;
    QString folder_;
    QString base_;
    QString error_;
    QByteArray runErrors_;
    std::unique_ptr<QProcess> server_;
};

// Points both of the window's base URLs at the gateway (its session cookie goes back only to the host that set it)
// and trusts the simulator's authority, whose certificate the gateway serves.
inline void apuntoALaPasarela(frmVantoria::Options& o, const GatewayProgram& gateway) {
    o.urlMercado = gateway.baseUrl();
    o.urlPasarela = gateway.baseUrl();
    o.autoridadesExtra = MarketSim::caCertificates();
}

}  // namespace sim
