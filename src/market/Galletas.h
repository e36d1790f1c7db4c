#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QNetworkCookie>
#include <QString>
#include <QUrl>

// The cookies the hosts set, kept for the run as the platform's transfer control kept them, so that the gateway
// knows who asks for a price change through the session it opened at the sign-in. Each cookie goes back only to
// the host that set it (a Domain attribute never widens it to other hosts), on a path it covers, over HTTPS only.
// Bounded, because a server that sets cookies without end must not make every later request grow: at most 50 a
// host (the oldest goes), 4 KB each (name and value; a larger one is dropped), and a Cookie header of at most 8 KB,
// the line that nginx accepts by default (cookies that do not fit stay out of that request). Nothing is written
// to disk; `olvido` empties the jar at every sign-in.
class Galletas {
  public:
    static constexpr int PorHost = 50;
    static constexpr qsizetype MaxGalleta = 4096;
    static constexpr qsizetype MaxLinea = 8192;  // "Cookie: " and the value

    // Takes the Set-Cookie values of an answer that came whole from `url`.
    void guardo(const QUrl& url, const QList<QByteArray>& setCookie);
    // The value of the Cookie header for a request to `url`; empty when none goes.
    QByteArray paraEnviar(const QUrl& url) const;
    void olvido();
    // How many are kept for `host`, expired ones included until the next request to it.
    int cuantas(const QString& host) const { return int(porHost_.value(host.toLower()).size()); }

  private:
    struct Guardada {
        QNetworkCookie galleta;
        quint64 orden = 0;  // when it was set first, for the order they go back in
    };
    QHash<QString, QList<Guardada>> porHost_;
    quint64 siguiente_ = 0;
};
