#pragma once

#include "Exchange.h"
#include "Secrets.h"
#include "Store.h"
#include "Tokens.h"

#include <QHash>
#include <QMutex>
#include <QSemaphore>

namespace gateway {

struct GatewayConfig {
    OAuthClient oauth;
    QByteArray authUrl;     // the marketplace's authorization page
    QByteArray publicBase;  // "https://host[:port]" of this gateway, for the links it prints
    PasswordCost cost = PasswordCost::interactive();
    qint64 budgetMs = 20000;    // a price request ends within this, retries included
    int callTimeoutMs = 10000;  // one call to the marketplace
};

// The texts the window shows. None holds the success marker unless it reports success.
namespace texts {
inline constexpr char SignedIn[] = "Listo!!!";
inline constexpr char PriceSet[] = "Listo!!! Precio actualizado.";
inline constexpr char WrongCredentials[] = "Usuario o clave incorrectos. Revise los datos e intente de nuevo.";
inline constexpr char MissingCredentials[] = "Falta el usuario o la clave. Escríbalos e intente de nuevo.";
inline constexpr char LockedUntil[] =
    "Cuenta bloqueada por demasiados intentos fallidos. Intente de nuevo después de las %1.";
inline constexpr char AddressLocked[] =
    "Demasiados intentos fallidos desde esta dirección. Intente de nuevo después de las %1.";
inline constexpr char GatewayBusy[] = "La pasarela está ocupada. Intente de nuevo en unos segundos.";
inline constexpr char NotLinked[] =
    "La cuenta aún no está vinculada con Mercado Libre. Pida al administrador el enlace para vincularla.";
inline constexpr char Relink[] =
    "La autorización de Mercado Libre venció. Vincule la cuenta de nuevo con el enlace del administrador.";
inline constexpr char MarketDown[] = "Mercado Libre no responde. Intente de nuevo en unos minutos.";
inline constexpr char StoreDown[] = "La pasarela no pudo leer sus datos. Intente de nuevo en unos minutos.";
inline constexpr char NoSession[] = "No hay una sesión abierta. Conéctese de nuevo.";
inline constexpr char SessionExpired[] = "La sesión venció. Conéctese de nuevo.";
inline constexpr char OtherSeller[] = "La sesión no corresponde a ese vendedor. Conéctese de nuevo.";
inline constexpr char BadSearch[] = "La búsqueda no es válida. Conéctese de nuevo.";
inline constexpr char NotAuthorized[] = "Solicitud no autorizada.";
inline constexpr char BadPrice[] = "El precio no es válido. Escriba un número mayor que cero.";
inline constexpr char NotFound[] = "La publicación no existe en Mercado Libre. Revise el enlace del producto.";
inline constexpr char NotYours[] = "La publicación no pertenece a su cuenta de Mercado Libre.";
inline constexpr char NotActive[] =
    "La publicación está pausada o cerrada en Mercado Libre. Actívela antes de cambiar el precio.";
inline constexpr char Automated[] =
    "La publicación tiene precio automático en Mercado Libre. Desactive la automatización para cambiarlo.";
inline constexpr char BelowMinimum[] = "El precio está por debajo del mínimo de la categoría en Mercado Libre.";
inline constexpr char TooHigh[] = "El precio es demasiado alto para Mercado Libre.";
inline constexpr char Refused[] = "Mercado Libre rechazó el precio. Revise la publicación.";
inline constexpr char Busy[] = "La publicación está ocupada en Mercado Libre. Intente de nuevo en unos segundos.";
inline constexpr char RateLimited[] =
    "Mercado Libre recibió demasiadas solicitudes. Espere un minuto e intente de nuevo.";
inline constexpr char Unconfirmed[] = "Mercado Libre no confirmó el precio nuevo. Revise la publicación.";
}  // namespace texts

inline constexpr char SignInPath[] = "/mercadolibre/ml00000316_LogeandoEspecial.php";
inline constexpr char PricePath[] = "/mercadolibre/ml00000102_meliGet.php";
inline constexpr char PausePath[] = "/mercadolibre/ml00000319_Blank.php";
inline constexpr char SearchPath[] = "/sites/MLV/search";
inline constexpr char SessionCookie[] = "vantoria_sesion";
inline constexpr qint64 SessionIdleSeconds = 12 * 3600;
inline constexpr int MaxFailures = 5;
inline constexpr qint64 LockSeconds = 15 * 60;
// Failed sign-ins from one address, whatever the user names, before that address is refused for the rest of the
// window; the address is the peer's, or the X-Real-IP a proxy on this machine sets.
inline constexpr int MaxAddressFailures = 20;
inline constexpr qint64 AddressWindowSeconds = 15 * 60;
// Password checks at once: each takes the argon2id memory (64 MiB at the interactive cost).
inline constexpr int PasswordChecksAtOnce = 4;
// What the audit shows for a price request whose outcome was never written (the process ended meanwhile).
inline constexpr char AuditPending[] = "En curso";

// The gateway's endpoints: each a function of a request, the store and the marketplace's answers. Safe to call from
// several threads at once.
class Gateway {
  public:
    Gateway(Store& store, MarketplaceClient& client, Clock& clock, const Sealer& sealer, GatewayConfig config);

    Response handle(const Request& request);

    // A one-time link page for `user`, valid for a day.
    std::optional<QByteArray> createLink(const QString& user, qint64 now);

    Response signIn(const Request& request);
    Response search(const Request& request);
    Response price(const Request& request);
    Response pause(const Request& request);
    Response linkPage(const Request& request, const QByteArray& token);
    Response callback(const Request& request);

  private:
    struct Call;
    struct PriceOutcome;
    enum class SessionState { Ok, Missing, Expired, Broken };
    SessionState session(const Request& request, Session* session, QByteArray* idHash);
    // What the window reads when there is no usable session; null for one that is.
    static const char* refusal(SessionState state);
    // `retryNoAnswer`: whether a call that got no answer is sent again (not for a PUT, which may have landed).
    ApiAnswer callApi(Call& call, const QByteArray& method, const QByteArray& target, const QByteArray& body = {},
                      bool retryNoAnswer = true);
    // The sign-in's address: the peer, or the address a proxy on this machine forwarded.
    static QString callerAddress(const Request& request);
    // The time the address may try again, or 0.
    qint64 addressLockedUntil(const QString& address, qint64 now);
    void addAddressFailure(const QString& address, qint64 now);
    bool checkPassword(const QByteArray& hash, const QByteArray& password, bool* busy);
    PriceOutcome changePrice(Call& call, const QString& item, const QString& asked);
    std::optional<int> decimalPlaces(Call& call, const QString& currency);
    std::optional<QStringList> snapshot(Call& call, const QString& sellerId);

    Store& store_;
    MarketplaceClient& client_;
    Clock& clock_;
    const Sealer& sealer_;
    GatewayConfig config_;
    TokenKeeper keeper_;
    QByteArray dummyHash_;
    QMutex currencyMutex_;
    QHash<QString, int> currencyPlaces_;
    QMutex addressMutex_;
    QHash<QString, QList<qint64>> addressFailures_;  // the failures of the last window, oldest first
    QSemaphore passwordChecks_{PasswordChecksAtOnce};
};

// Rounds a plain decimal ("12.345") half up to `places` digits; nothing when the text is not digits with at most
// one point, or the value is not above zero.
std::optional<QString> roundPrice(const QString& text, int places);

}  // namespace gateway
