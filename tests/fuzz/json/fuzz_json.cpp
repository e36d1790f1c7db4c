// Feeds arbitrary bytes to the JSON reader: it must not crash, hang or leak, and parsing the same text twice, or its
// bytes, must give the same tree and the same error text.
#include "JSON.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<json::JsonValue> first = ParseJson(text);
    const QString firstErrors = ParserErrors();
    const QByteArray firstTree = first ? json::toCanonicalUtf8(*first) : QByteArray("nothing");

    const json::ParseOutcome second =
        json::parseJsonUtf8(QByteArrayView(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    const QByteArray secondTree = second.value ? json::toCanonicalUtf8(*second.value) : QByteArray("nothing");
    if (firstTree != secondTree || firstErrors != second.errors) {
        std::abort();
    }
    if (first) {
        // Copies are deep and independent of the original.
        json::JsonValue copy = *first;
        if (json::toCanonicalUtf8(copy) != firstTree) {
            std::abort();
        }
    }
    (void)json::toUtf8Lossy(firstErrors);
    return 0;
}
