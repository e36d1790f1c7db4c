#pragma once

#include "Exchange.h"
#include "Secrets.h"
#include "Store.h"
#include "Tokens.h"

#include <QHash>
#include <QMutex>

namespace gateway {

struct GatewayConfig {
    OAuthClient oauth;
    QByteArray authUrl;     // the marketplace's authorization page
    QByteArray publicBase;  // "https://host[:port]" of this gateway, for the links it prints
    PasswordCost cost = PasswordCost::interactive();
    qint64 budgetMs = 20000;  // a price request ends within this, retries included
};

// The texts the window shows. None holds the success marker unless it reports success.
namespace texts {
inline constexpr char SignedIn[] = "Listo!!!";
inline constexpr char PriceSet[] = "Listo!!! Precio actualizado.";
inline constexpr char WrongCredentials[] = "Usuario o clave incorrectos. Revise los datos e intente de nuevo.";
inline constexpr char MissingCredentials[] = "Falta el usuario o la clave. Escríbalos e intente de nuevo.";
inline constexpr char LockedUntil[] =
    "Cuenta bloqueada por demasiados intentos fallidos. Intente de nuevo después de las %1.";
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
    ApiAnswer callApi(Call& call, const QByteArray& method, const QByteArray& target, const QByteArray& body = {});
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
};

// Rounds a plain decimal ("12.345") half up to `places` digits; nothing when the text is not digits with at most
// one point, or the value is not above zero.
std::optional<QString> roundPrice(const QString& text, int places);

}  // namespace gateway
