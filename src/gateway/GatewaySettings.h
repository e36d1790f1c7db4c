#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace gateway {

// The settings file of the server, checked as a whole before anything starts.
struct GatewaySettings {
    QString host;
    quint16 port = 0;  // 0: a free port
    QString certificate;
    QString key;
    QByteArray apiUrl;
    QByteArray authUrl;
    QByteArray clientId;
    QString clientSecretFile;
    QByteArray redirectUri;
    QString extraCa;
    int timeoutSeconds = 10;  // one call to the marketplace; a price request ends within 20 s whatever it is
    QString database;
    QString keyFile;

    bool tls() const { return !certificate.isEmpty(); }
    // "https://host[:port]" of the redirect URI: where this gateway is reached from outside.
    QByteArray publicBase() const;
};

inline constexpr char DefaultSettingsFile[] = "/etc/vantoria-gateway/gateway.ini";

// Reads the INI text of `file`; on a fault returns nothing and sets `error` to one line naming the file and key.
// Relative paths in the file are taken from the file's folder.
std::optional<GatewaySettings> parseSettings(const QString& file, const QByteArray& text, QString* error);
// Whether a listen host is a loopback address (plain HTTP is allowed only there).
bool isLoopback(const QString& host);

}  // namespace gateway
