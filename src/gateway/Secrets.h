#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace gateway {

// The argon2id cost; the server uses the interactive level, the tests the minimum.
struct PasswordCost {
    unsigned long long ops;
    size_t memory;
    static PasswordCost interactive();
    static PasswordCost minimum();
};

// Prepares libsodium once; false when the library cannot run on this machine.
bool initSecrets();

// The argon2id hash in libsodium's text form ("$argon2id$...").
QByteArray hashPassword(const QByteArray& password, const PasswordCost& cost);
bool verifyPassword(const QByteArray& hash, const QByteArray& password);

// `bytes` random bytes as URL-safe base64 without padding.
QByteArray randomToken(int bytes = 32);
// A keyed-free BLAKE2b digest in hex: what the store keeps of a session id or a one-time link.
QByteArray digestHex(const QByteArray& value);
// The PKCE S256 challenge of a verifier.
QByteArray pkceChallenge(const QByteArray& verifier);

// Seals and opens texts with a 32-byte key (XSalsa20-Poly1305, a fresh nonce each time); the sealed form is base64.
class Sealer {
  public:
    explicit Sealer(QByteArray key);
    QByteArray seal(const QByteArray& plain) const;
    std::optional<QByteArray> open(const QByteArray& sealed) const;

  private:
    QByteArray key_;
};

// Reads the 32-byte key from `path`, or creates the file with a fresh key, readable by its owner only.
// On failure returns nothing and puts the reason into `error`.
std::optional<QByteArray> loadOrCreateKey(const QString& path, QString* error);

}  // namespace gateway
