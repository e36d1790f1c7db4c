#include "CurlMarketplace.h"

#include <QDateTime>
#include <QFile>

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <semaphore>

namespace {

constexpr size_t MaxAnswer = 32 * 1024 * 1024;
constexpr int MaxConnections = 64;

struct Handle {
    CURL* curl = curl_easy_init();
    ~Handle() { curl_easy_cleanup(curl); }
};

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* out = static_cast<QByteArray*>(user);
    const size_t n = size * count;
    if (static_cast<size_t>(out->size()) + n > MaxAnswer) {
        return 0;  // an answer this large is not one of the API's; the transfer fails
    }
    out->append(data, static_cast<qsizetype>(n));
    return n;
}

thread_local long long waited = 0;

std::mutex shareLocks[CURL_LOCK_DATA_LAST];

void lockShare(CURL*, curl_lock_data data, curl_lock_access, void*) {
    shareLocks[data].lock();
}

void unlockShare(CURL*, curl_lock_data data, void*) {
    shareLocks[data].unlock();
}

}  // namespace

CurlMarketplace::CurlMarketplace(QByteArray apiUrl, const QString& extraCa)
    : apiUrl_(std::move(apiUrl)), share_(curl_share_init()) {
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, lockShare);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, unlockShare);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    if (extraCa.isEmpty()) {
        return;
    }
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    QFile system(QString::fromUtf8(info->cainfo ? info->cainfo : "/etc/ssl/certs/ca-certificates.crt"));
    if (system.open(QIODevice::ReadOnly)) {
        caBundle_ = system.readAll() + '\n';
    }
    QFile extra(extraCa);
    if (extra.open(QIODevice::ReadOnly)) {
        caBundle_ += extra.readAll();
    }
}

void CurlMarketplace::resetWaited() {
    waited = 0;
}

long long CurlMarketplace::waitedMicros() {
    return waited;
}

// The server's workers have ended by now; their handles are cleaned up as their threads end.
CurlMarketplace::~CurlMarketplace() {
    curl_share_cleanup(share_);
}

gateway::ApiAnswer CurlMarketplace::send(const gateway::ApiCall& call) {
    thread_local Handle handle;
    CURL* curl = handle.curl;
    if (!curl) {
        return {};
    }
    curl_easy_reset(curl);
    const QByteArray url = apiUrl_ + call.target;
    QByteArray body;
    curl_easy_setopt(curl, CURLOPT_SHARE, share_);
    // The shared cache keeps a connection for every thread that may call at once (curl's default keeps five, and
    // each one more is a new TLS handshake with the marketplace).
    curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, static_cast<long>(MaxConnections));
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, call.method.constData());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(call.timeoutMs));
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_blob blob{};
    if (!caBundle_.isEmpty()) {
        blob.data = const_cast<char*>(caBundle_.constData());
        blob.len = static_cast<size_t>(caBundle_.size());
        blob.flags = CURL_BLOB_NOCOPY;
        curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
    }
    curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
    if (!call.bearer.isEmpty()) {
        headers = curl_slist_append(headers, ("Authorization: Bearer " + call.bearer).constData());
    }
    if (!call.contentType.isEmpty()) {
        headers = curl_slist_append(headers, ("Content-Type: " + call.contentType).constData());
    }
    if (!call.body.isEmpty() || call.method == "POST" || call.method == "PUT") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, call.body.constData());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(call.body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    const qint64 started = QDateTime::currentMSecsSinceEpoch();
    const auto steady = std::chrono::steady_clock::now();
    // No more calls at once than kept connections: hundreds of server threads calling together would otherwise
    // open a new TLS connection each and flood the marketplace.
    static std::counting_semaphore<MaxConnections> turns(MaxConnections);
    turns.acquire();
    const CURLcode code = curl_easy_perform(curl);
    turns.release();
    waited += std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - steady).count();
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    // The path alone: queries and bodies stay out of the log, and no call carries a secret in its path.
    const QByteArray path =
        call.target.left(call.target.indexOf('?') < 0 ? call.target.size() : call.target.indexOf('?'));
    std::fprintf(stderr, "mercado %s %s -> %s (%lld ms)\n", call.method.constData(), path.constData(),
                 code == CURLE_OK ? QByteArray::number(static_cast<int>(status)).constData() : curl_easy_strerror(code),
                 static_cast<long long>(QDateTime::currentMSecsSinceEpoch() - started));
    if (code != CURLE_OK) {
        return {};
    }
    return {static_cast<int>(status), body};
}
