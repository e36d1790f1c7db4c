// Linking a seller: the one-time link page, and the OAuth callback that stores the seller's token pair.

#include "GatewayParts.h"

namespace gateway {

std::optional<QByteArray> Gateway::createLink(const QString& user, qint64 now) {
    const QByteArray token = randomToken(32);
    if (!store_.addLink(digestHex(token), user, now + 24 * 3600)) {
        return std::nullopt;
    }
    return config_.publicBase + "/vincular/" + token;
}

Response Gateway::linkPage(const Request& request, const QByteArray& token) {
    const qint64 now = request.now.toSecsSinceEpoch();
    const QByteArray linkHash = digestHex(token);
    const std::optional<QString> user = store_.linkUser(linkHash, now);
    if (!user) {
        return page(404, QStringLiteral("Enlace no válido"),
                    QStringLiteral("El enlace de vinculación no es válido o ya venció. Pida uno nuevo al "
                                   "administrador de la pasarela."));
    }
    const QByteArray state = randomToken(32);
    const QByteArray verifier = randomToken(48);
    if (!store_.addState(digestHex(state), {*user, linkHash, sealer_.seal(verifier)}, now + 600)) {
        return page(500, QStringLiteral("Error"), QString::fromUtf8(texts::StoreDown));
    }
    QByteArray location = config_.authUrl;
    location += location.contains('?') ? '&' : '?';
    location += "response_type=code&client_id=" + formEncode(config_.oauth.clientId) +
                "&redirect_uri=" + formEncode(config_.oauth.redirectUri) + "&state=" + state +
                "&code_challenge=" + pkceChallenge(verifier) + "&code_challenge_method=S256";
    Response r =
        page(302, QStringLiteral("Vinculación"), QStringLiteral("Siga a la página de autorización de Mercado Libre."));
    r.headers.append(qMakePair(QByteArray("Location"), location));
    return r;
}

Response Gateway::callback(const Request& request) {
    const qint64 now = request.now.toSecsSinceEpoch();
    const QString failTitle = QStringLiteral("Cuenta no vinculada");
    const std::optional<OAuthState> state =
        store_.takeState(digestHex(percentDecode(request.queryValue("state"))), now);
    if (!state) {
        return page(400, failTitle,
                    QStringLiteral("La vinculación no es válida o venció. Abra de nuevo el enlace de vinculación."));
    }
    // The link is spent by the first seller that completes it: a second browser that opened it meanwhile links
    // nothing, and its code is never exchanged.
    if (!store_.linkUser(state->linkHash, now)) {
        return page(400, failTitle,
                    QStringLiteral("El enlace de vinculación ya se usó o venció. Pida uno nuevo al administrador de "
                                   "la pasarela."));
    }
    const QByteArray code = percentDecode(request.queryValue("code"));
    if (code.isEmpty()) {
        return page(
            400, failTitle,
            QStringLiteral("Mercado Libre no autorizó la vinculación. Abra de nuevo el enlace de vinculación."));
    }
    const std::optional<QByteArray> verifier = sealer_.open(state->verifierSealed);
    int status = 0;
    const std::optional<TokenPair> pair = verifier ? keeper_.exchangeCode(code, *verifier, &status) : std::nullopt;
    if (!pair) {
        return page(
            502, failTitle,
            QStringLiteral("Mercado Libre no entregó la autorización. Abra de nuevo el enlace de vinculación."));
    }
    const ApiAnswer me = client_.send({"GET", "/users/me", pair->access, {}, {}, config_.callTimeoutMs});
    const std::optional<JsonValue> meValue = me.status == 200 ? parse(me.body) : std::nullopt;
    const Dictionary* meBody = meValue ? meValue->asDictionary() : nullptr;
    const QString sellerId = meBody ? plainText(meBody->Item(u"id")) : QString();
    if (!plainId(sellerId)) {
        return page(
            502, failTitle,
            QStringLiteral("Mercado Libre no dijo qué cuenta autorizó. Abra de nuevo el enlace de vinculación."));
    }
    // The pair is committed before the account points at the seller, so a linked account always has tokens.
    if (!keeper_.store(sellerId, *pair, now) || !store_.setSeller(state->user, sellerId)) {
        return page(500, failTitle, QString::fromUtf8(texts::StoreDown));
    }
    store_.removeLink(state->linkHash);
    return page(200, QStringLiteral("Cuenta vinculada"),
                QStringLiteral("La cuenta %1 quedó vinculada con el vendedor %2 de Mercado Libre. Ya puede cerrar "
                               "esta ventana.")
                    .arg(state->user, sellerId));
}

}  // namespace gateway
