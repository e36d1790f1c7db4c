#include "Secrets.h"

#include <QFile>

#include <sodium.h>

#include <algorithm>
#include <semaphore>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gateway {

PasswordCost PasswordCost::interactive() {
    return {crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE};
}

PasswordCost PasswordCost::minimum() {
    return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
}

bool initSecrets() {
    return sodium_init() >= 0;
}

QByteArray hashPassword(const QByteArray& password, const PasswordCost& cost) {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(out, password.constData(), static_cast<unsigned long long>(password.size()), cost.ops,
                              cost.memory, crypto_pwhash_ALG_ARGON2ID13) != 0) {
        return {};
    }
    return QByteArray(out);
}

bool verifyPassword(const QByteArray& hash, const QByteArray& password) {
    if (hash.isEmpty()) {
        return false;
    }
    // One check per core at a time: a crowd of sign-ins then waits its turn instead of every server thread
    // holding the hash's memory and sharing the cores, so the other requests keep threads and the cores' time.
    static std::counting_semaphore<64> turns(std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 64));
    turns.acquire();
    const bool ok = crypto_pwhash_str_verify(hash.constData(), password.constData(),
                                             static_cast<unsigned long long>(password.size())) == 0;
    turns.release();
    return ok;
}

QByteArray randomToken(int bytes) {
    QByteArray raw(bytes, '\0');
    randombytes_buf(raw.data(), static_cast<size_t>(raw.size()));
    return raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QByteArray digestHex(const QByteArray& value) {
    unsigned char out[crypto_generichash_BYTES];
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(value.constData()),
                       static_cast<unsigned long long>(value.size()), nullptr, 0);
    return QByteArray(reinterpret_cast<const char*>(out), sizeof out).toHex();
}

QByteArray pkceChallenge(const QByteArray& verifier) {
    unsigned char out[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(out, reinterpret_cast<const unsigned char*>(verifier.constData()),
                       static_cast<unsigned long long>(verifier.size()));
    return QByteArray(reinterpret_cast<const char*>(out), sizeof out)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

Sealer::Sealer(QByteArray key) : key_(std::move(key)) {}

QByteArray Sealer::seal(const QByteArray& plain) const {
    QByteArray out(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES + plain.size(), '\0');
    auto* nonce = reinterpret_cast<unsigned char*>(out.data());
    randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(
        nonce + crypto_secretbox_NONCEBYTES, reinterpret_cast<const unsigned char*>(plain.constData()),
        static_cast<unsigned long long>(plain.size()), nonce, reinterpret_cast<const unsigned char*>(key_.constData()));
    return out.toBase64();
}

std::optional<QByteArray> Sealer::open(const QByteArray& sealed) const {
    const QByteArray raw = QByteArray::fromBase64(sealed);
    const qsizetype head = crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES;
    if (raw.size() < head) {
        return std::nullopt;
    }
    QByteArray plain(raw.size() - head, '\0');
    const auto* nonce = reinterpret_cast<const unsigned char*>(raw.constData());
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char*>(plain.data()), nonce + crypto_secretbox_NONCEBYTES,
                                   static_cast<unsigned long long>(raw.size() - crypto_secretbox_NONCEBYTES), nonce,
                                   reinterpret_cast<const unsigned char*>(key_.constData())) != 0) {
        return std::nullopt;
    }
    return plain;
}

std::optional<QByteArray> loadOrCreateKey(const QString& path, QString* error) {
    const QByteArray name = QFile::encodeName(path);
    // O_EXCL so that two processes starting together never write two different keys.
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
        QByteArray key(crypto_secretbox_KEYBYTES, '\0');
        randombytes_buf(key.data(), static_cast<size_t>(key.size()));
        const QByteArray text = key.toHex() + '\n';
        const bool written = ::write(fd, text.constData(), static_cast<size_t>(text.size())) == text.size();
        const bool closed = ::close(fd) == 0;
        if (!written || !closed) {
            *error = QStringLiteral("no se pudo escribir la clave");
            return std::nullopt;
        }
        return key;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return std::nullopt;
    }
    const QByteArray key = QByteArray::fromHex(file.readAll().trimmed());
    if (key.size() != crypto_secretbox_KEYBYTES) {
        *error = QStringLiteral("la clave no tiene 64 cifras hexadecimales");
        return std::nullopt;
    }
    return key;
}

}  // namespace gateway
