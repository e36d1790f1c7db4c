// The maker's gateway: sign-in, price change and pause, each answered in plain text.
#include "State.h"

#include <QRandomGenerator>

#include <cmath>

namespace sim {

namespace {

const char PriceKey[] = "480613";
const char SessionCookie[] = "sesion";

// The session named by the request's Cookie header, if any.
QByteArray sessionOf(const Request& request) {
    for (const QByteArray& pair : request.header("Cookie").split(';')) {
        const QByteArray p = pair.trimmed();
        if (p.startsWith(SessionCookie + QByteArray("=")))
            return p.sliced(qsizetype(sizeof SessionCookie));
    }
    return {};
}

}  // namespace

Answer State::signIn(const Request& request) {
    const auto account = accounts.constFind(request.form.value(QStringLiteral("fusuario")));
    if (account == accounts.cend() || account->password != request.form.value(QStringLiteral("fclave")) ||
        !request.form.contains(QStringLiteral("fclave"))) {
        return textAnswer("Usuario o clave incorrectos.");
    }
    Answer answer = textAnswer("Listo!!!" + account->sellerId.toUtf8());
    if (sessions) {
        quint32 random[8];
        QRandomGenerator::system()->fillRange(random);
        const QByteArray id = QByteArray(reinterpret_cast<const char*>(random), sizeof random).toHex();
        openSessions.insert(id);
        answer.headers = "Set-Cookie: " + QByteArray(SessionCookie) + '=' + id + "; Secure; HttpOnly; Path=/\r\n";
    }
    return answer;
}

Answer State::changePrice(const Request& request) {
    if (sessions && !openSessions.contains(sessionOf(request))) {
        return textAnswer("Error: sesión no válida.");
    }
    if (request.query.value(QStringLiteral("men")) != QLatin1String(PriceKey)) {
        return textAnswer("Error: solicitud no autorizada.");
    }
    Listing* listing = findListing(request.query.value(QStringLiteral("item_id")));
    if (!listing) {
        return textAnswer("Error: publicación desconocida.");
    }
    const QString price = request.query.value(QStringLiteral("precio_item"));
    const auto valid = [](const QString& text) {
        const qsizetype dot = text.indexOf(u'.');
        const QString whole = dot < 0 ? text : text.first(dot);
        const QString fraction = dot < 0 ? QStringLiteral("0") : text.sliced(dot + 1);
        return allDigits(whole) && allDigits(fraction);
    };
    bool ok = false;
    const double value = price.toDouble(&ok);
    if (!valid(price) || !ok || !std::isfinite(value)) {
        return textAnswer("Error: precio inválido.");
    }
    listing->price = value;
    return textAnswer("Listo!!! Precio actualizado.");
}

// The pause request only needs an answer that arrives.
Answer State::pause() const {
    return textAnswer("ok");
}

}  // namespace sim
