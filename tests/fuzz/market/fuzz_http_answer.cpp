// Hands arbitrary bytes, as everything a connection carried, to the strict HTTP reader twice: once all at once and
// once in pieces. How the bytes arrive must never change the answer: both readers must reach the same state, status
// code, reason, body and error, and agree again after the peer closes. A complete answer's body stays within the
// limit, a failed one has no body and says why, and a close always settles the answer.
// The first byte picks how the rest is cut: its low three bits the longest piece (1 to 128 bytes), all of it the
// seed of the piece lengths (empty pieces included, as a read of nothing can be delivered).

#include "LectorHttp.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

using Estado = LectorHttp::Estado;

// Small limits, so that inputs of a few kilobytes reach them.
const LectorHttp::Limites Limites = [] {
    LectorHttp::Limites l;
    l.cuerpo = 1024 * 1024;
    l.encabezados = 8 * 1024;
    l.lineas = 64;
    l.interinas = 4;
    return l;
}();

void exijo(bool ok, const char* que) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_http_answer: %s\n", que);
        std::abort();
    }
}

void comparo(const LectorHttp& entero, const LectorHttp& trozos, const char* cuando) {
    if (entero.estado() != trozos.estado() || entero.codigo() != trozos.codigo() || entero.razon() != trozos.razon() ||
        entero.cuerpo() != trozos.cuerpo() || entero.error() != trozos.error()) {
        std::fprintf(stderr,
                     "fuzz_http_answer: the readers disagree %s\n  whole:  state %d code %d body %lld \"%s\"\n"
                     "  pieces: state %d code %d body %lld \"%s\"\n",
                     cuando, int(entero.estado()), entero.codigo(), static_cast<long long>(entero.cuerpo().size()),
                     qPrintable(entero.error()), int(trozos.estado()), trozos.codigo(),
                     static_cast<long long>(trozos.cuerpo().size()), qPrintable(trozos.error()));
        std::abort();
    }
    exijo(entero.estado() != Estado::Completa || entero.cuerpo().size() <= Limites.cuerpo,
          "a complete answer's body is beyond the limit");
    exijo(entero.estado() != Estado::Fallida || (entero.cuerpo().isEmpty() && !entero.error().isEmpty()),
          "a failed answer keeps a body or gives no reason");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const char* bytes = reinterpret_cast<const char*>(data) + 1;
    const qsizetype n = qsizetype(size - 1);

    LectorHttp entero(Limites);
    entero.lee(bytes, n);

    LectorHttp trozos(Limites);
    std::minstd_rand azar(data[0] + 1u);
    const qsizetype mayor = qsizetype(1) << (data[0] & 7);
    for (qsizetype i = 0; i < n;) {
        const qsizetype trozo = std::min<qsizetype>(qsizetype(azar() % (mayor + 1)), n - i);
        const Estado antes = trozos.estado();
        trozos.lee(bytes + i, trozo);
        exijo(antes == Estado::Faltan || trozos.estado() == antes, "a settled answer changed with later bytes");
        i += trozo;
    }
    comparo(entero, trozos, "after the last byte");

    // The first byte's top bit chooses whether the connection ends with the closure alert or without it.
    const bool conAviso = (data[0] & 0x80) != 0;
    entero.cierre(conAviso);
    trozos.cierre(conAviso);
    comparo(entero, trozos, "after the close");
    exijo(entero.estado() != Estado::Faltan, "the close left the answer waiting");
    return 0;
}
