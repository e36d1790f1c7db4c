// market-sim --role api: the marketplace's API double as a program of its own, for the gateway's tests and demo.
#include "ApiMain.h"

#include "Api.h"

#include <QCommandLineParser>
#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

QSet<QString> idList(const QString& text) {
    const QStringList ids = text.split(u',', Qt::SkipEmptyParts);
    return {ids.begin(), ids.end()};
}

bool readFile(const QString& path, QByteArray* bytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *bytes = file.readAll();
    return true;
}

}  // namespace

std::optional<int> apiRole(QCoreApplication& app) {
    QStringList arguments = app.arguments();
    const qsizetype at = arguments.indexOf(QStringLiteral("--role"));
    if (at < 0)
        return std::nullopt;
    const QString role = arguments.value(at + 1);
    if (role != QLatin1String("api")) {
        std::fprintf(stderr, "market-sim: --role takes api, not '%s'\n", qPrintable(role));
        return 2;
    }
    arguments.remove(at, 2);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves a double of the marketplace's API on 127.0.0.1."));
    const auto option = [&parser](const char* name, const char* text, const char* value = nullptr,
                                  const QString& byDefault = {}) {
        QString description = QString::fromLatin1(text);
        if (!byDefault.isEmpty())
            description += QStringLiteral(" Default: %1.").arg(byDefault);
        QCommandLineOption o(QString::fromLatin1(name), description);
        if (value) {
            o.setValueName(QString::fromLatin1(value));
            o.setDefaultValue(byDefault);
        }
        parser.addOption(o);
        return o;
    };
    const ApiOptions d;
    const auto help = option("help", "Shows this help.");
    const auto port = option("port", "Port to listen on (0: any free one).", "N", QStringLiteral("0"));
    const auto certificate =
        option("certificate", "Certificate chain to serve with (PEM); the test one if absent.", "FILE");
    const auto key = option("key", "Its private key (PEM).", "FILE");
    const auto seller = option("seller", "The seller's id.", "ID", d.seller);
    const auto items = option("items", "The seller's items: MLV700000000 + i.", "N", QString::number(d.items));
    const auto otherSeller = option("other-seller", "A second seller's id.", "ID", d.otherSeller);
    const auto otherItems =
        option("other-items", "The second seller's items: MLV710000000 + i.", "N", QString::number(d.otherItems));
    const auto clientId = option("client-id", "The application's client id.", "ID", d.clientId);
    const auto clientSecret = option("client-secret", "The application's client secret.", "S", d.clientSecret);
    const auto redirect = option("redirect-uri", "The only redirect URI accepted (any when absent).", "URI");
    const auto minPrice = option("min-price", "The category's minimum price (cause 109 below it).", "X");
    const auto automated = option("automated", "Items with price automation (comma-separated ids).", "IDS");
    const auto paused = option("paused", "Paused items.", "IDS");
    const auto variations = option("variations", "Items with three classic variations.", "IDS");
    const auto conflictOnce = option("conflict-once", "Items whose first PUT answers 409.", "IDS");
    const auto lockSeconds =
        option("lock-seconds", "A PUT this soon after the last one on the item answers 409.", "N", QStringLiteral("0"));
    const auto tokenSeconds =
        option("token-seconds", "Lifetime of an access token.", "N", QString::number(d.tokenSeconds));
    const auto rate = option("rate", "Calls a second before 429 (0: no limit).", "N", QStringLiteral("0"));
    const auto slow = option("slow", "Every answer (of METHOD only, when given) MS late.", "MS[:METHOD]");
    const auto failStatus =
        option("fail-status", "The next COUNT calls (of METHOD) answer CODE; repeatable.", "CODE:COUNT[:METHOD]");
    const auto failFor =
        option("fail-for", "Calls (of METHOD) answer CODE for MS from the first; repeatable.", "CODE:MS[:METHOD]");
    const auto logFile = option("log", "Appends one JSON line per call to FILE.", "FILE");

    const auto usage = [&parser] {
        QString text = parser.helpText();
        text.replace(0, text.indexOf(u'\n'), QStringLiteral("usage: market-sim --role api [options]"));
        return text + QStringLiteral(
                          "\nPrints its base URL first; runs until interrupted. POST /_sim/revoke kills every token, "
                          "POST /_sim/expire every access token.\nExit status: 1 it cannot listen or write its log, "
                          "2 wrong command line.\n");
    };
    const auto wrong = [&usage](const QString& what) {
        std::fprintf(stderr, "market-sim: %s\n%s", qPrintable(what), qPrintable(usage()));
        return 2;
    };
    if (!parser.parse(arguments))
        return wrong(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(qPrintable(usage()), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return wrong(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst()));

    QString bad;
    const auto count = [&](const QCommandLineOption& o, int max) {
        bool ok = false;
        const int n = parser.value(o).toInt(&ok);
        if ((!ok || n < 0 || n > max) && bad.isEmpty())
            bad = QStringLiteral("--%1 takes 0 to %2, not '%3'")
                      .arg(o.names().constFirst())
                      .arg(max)
                      .arg(parser.value(o));
        return n;
    };
    ApiOptions o;
    const int listenPort = count(port, 65535);
    o.seller = parser.value(seller);
    o.items = count(items, 1'000'000);
    o.otherSeller = parser.value(otherSeller);
    o.otherItems = count(otherItems, 1'000'000);
    o.clientId = parser.value(clientId);
    o.clientSecret = parser.value(clientSecret);
    o.redirectUri = parser.value(redirect);
    o.minPrice = parser.value(minPrice);
    o.automated = idList(parser.value(automated));
    o.paused = idList(parser.value(paused));
    o.variations = idList(parser.value(variations));
    o.conflictOnce = idList(parser.value(conflictOnce));
    o.lockSeconds = count(lockSeconds, 3600);
    o.tokenSeconds = count(tokenSeconds, 100'000'000);
    o.rate = count(rate, 1'000'000);
    o.logFile = parser.value(logFile);
    for (const QString& id : {o.seller, o.otherSeller}) {
        const bool digits = !id.isEmpty() && id.size() <= 15 &&
                            std::all_of(id.begin(), id.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
        if (!digits && bad.isEmpty())
            bad = QStringLiteral("a seller id is digits, not '%1'").arg(id);
    }
    bool ok = true;
    if (!o.minPrice.isEmpty())
        o.minPrice.toDouble(&ok);
    if (!ok && bad.isEmpty())
        bad = QStringLiteral("--min-price takes a plain decimal, not '%1'").arg(o.minPrice);
    if (parser.isSet(slow)) {
        const QStringList parts = parser.value(slow).split(u':');
        o.slowMs = parts[0].toInt(&ok);
        o.slowMethod = parts.value(1).toLatin1();
        if ((!ok || o.slowMs <= 0 || parts.size() > 2) && bad.isEmpty())
            bad = QStringLiteral("--slow takes MS[:METHOD], not '%1'").arg(parser.value(slow));
    }
    for (const auto& [opt, timed] : {std::pair{failStatus, false}, std::pair{failFor, true}}) {
        for (const QString& value : parser.values(opt)) {
            const QStringList parts = value.split(u':');
            ApiFailure f;
            bool codeOk = false, nOk = false;
            f.status = parts[0].toInt(&codeOk);
            const int n = parts.value(1).toInt(&nOk);
            (timed ? f.millis : f.count) = n;
            f.method = parts.value(2).toLatin1();
            if ((!codeOk || !nOk || f.status < 400 || f.status > 599 || n <= 0 || parts.size() > 3) && bad.isEmpty())
                bad =
                    QStringLiteral("--%1 takes %2, not '%3'")
                        .arg(opt.names().constFirst(),
                             timed ? QStringLiteral("CODE:MS[:METHOD]") : QStringLiteral("CODE:COUNT[:METHOD]"), value);
            o.failures.append(f);
        }
    }
    MarketSim::Options serving;
    serving.port = quint16(listenPort);
    if (parser.isSet(certificate) != parser.isSet(key) && bad.isEmpty())
        bad = QStringLiteral("--certificate and --key go together");
    if (!bad.isEmpty())
        return wrong(bad);
    QByteArray certificatePem, keyPem;
    if (parser.isSet(certificate) &&
        (!readFile(parser.value(certificate), &certificatePem) || !readFile(parser.value(key), &keyPem))) {
        std::fprintf(stderr, "market-sim: cannot read %s or %s\n", qPrintable(parser.value(certificate)),
                     qPrintable(parser.value(key)));
        return 1;
    }
    if (parser.isSet(certificate)) {
        serving.certificate = QSslCertificate::fromData(certificatePem, QSsl::Pem);
        serving.key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem);
        if (serving.key.isNull())
            serving.key = QSslKey(keyPem, QSsl::Rsa, QSsl::Pem);
    }

    MarketSim market;
    if (!market.serveApi(o) || !market.start(serving)) {
        std::fprintf(stderr, "market-sim: %s\n", qPrintable(market.error()));
        return 1;
    }
    const QByteArray line = market.baseUrl().toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
    return app.exec();
}

}  // namespace sim
