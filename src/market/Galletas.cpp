#include "Galletas.h"

#include <QDateTime>

#include <algorithm>

namespace {

bool segura(const QUrl& url) {
    return url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

// The path a cookie without a Path attribute covers: the request's path up to its last "/" (RFC 6265, 5.1.4).
QString rutaPorOmision(const QUrl& url) {
    const QString ruta = url.path();
    if (!ruta.startsWith(u'/'))
        return QStringLiteral("/");
    const qsizetype barra = ruta.lastIndexOf(u'/');
    return barra <= 0 ? QStringLiteral("/") : ruta.left(barra);
}

bool cubre(const QString& rutaGalleta, const QString& ruta) {
    if (ruta == rutaGalleta)
        return true;
    return ruta.startsWith(rutaGalleta) && (rutaGalleta.endsWith(u'/') || ruta.at(rutaGalleta.size()) == u'/');
}

bool vencida(const QNetworkCookie& g, const QDateTime& ahora) {
    return !g.isSessionCookie() && g.expirationDate() <= ahora;
}

}  // namespace

void Galletas::guardo(const QUrl& url, const QList<QByteArray>& setCookie) {
    if (!segura(url))
        return;
    const QString host = url.host().toLower();
    const QDateTime ahora = QDateTime::currentDateTimeUtc();
    for (const QByteArray& linea : setCookie) {
        for (QNetworkCookie g : QNetworkCookie::parseCookies(linea)) {
            if (g.name().isEmpty() || g.toRawForm(QNetworkCookie::NameAndValueOnly).size() > MaxGalleta)
                continue;
            QString dominio = g.domain().toLower();
            if (dominio.startsWith(u'.'))
                dominio.remove(0, 1);
            if (!dominio.isEmpty() && dominio != host && !host.endsWith(u'.' + dominio))
                continue;  // set for a host this answer did not come from
            g.setDomain(host);
            if (!g.path().startsWith(u'/'))
                g.setPath(rutaPorOmision(url));
            QList<Guardada>& lista = porHost_[host];
            const auto misma = std::find_if(lista.begin(), lista.end(), [&](const Guardada& k) {
                return k.galleta.name() == g.name() && k.galleta.path() == g.path();
            });
            if (vencida(g, ahora)) {
                if (misma != lista.end())
                    lista.erase(misma);  // an expiry in the past (Max-Age=0 among them) deletes it
                continue;
            }
            if (misma != lista.end()) {
                misma->galleta = g;  // replaced in place: it keeps its turn
                continue;
            }
            lista.append({g, ++siguiente_});
            if (lista.size() > PorHost)
                lista.removeFirst();
        }
    }
}

QByteArray Galletas::paraEnviar(const QUrl& url) const {
    if (!segura(url))
        return {};
    const auto lista = porHost_.constFind(url.host().toLower());
    if (lista == porHost_.cend())
        return {};
    const QString ruta = url.path().isEmpty() ? QStringLiteral("/") : url.path();
    const QDateTime ahora = QDateTime::currentDateTimeUtc();
    QList<const Guardada*> van;
    for (const Guardada& k : *lista)
        if (!vencida(k.galleta, ahora) && cubre(k.galleta.path(), ruta))
            van.append(&k);
    // Longer paths first, then the older ones (RFC 6265, 5.4).
    std::stable_sort(van.begin(), van.end(), [](const Guardada* a, const Guardada* b) {
        return a->galleta.path().size() > b->galleta.path().size();
    });
    QByteArray valor;
    const qsizetype cabe = MaxLinea - qsizetype(sizeof "Cookie: " - 1);
    for (const Guardada* k : van) {
        const QByteArray par = k->galleta.toRawForm(QNetworkCookie::NameAndValueOnly);
        const qsizetype largo = valor.size() + (valor.isEmpty() ? 0 : 2) + par.size();
        if (largo > cabe)
            continue;
        if (!valor.isEmpty())
            valor += "; ";
        valor += par;
    }
    return valor;
}

void Galletas::olvido() {
    porHost_.clear();
}
