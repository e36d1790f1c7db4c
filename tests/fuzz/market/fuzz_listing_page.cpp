// Hands arbitrary text, as the answer to a listing search, to the listing branch of the real window, in the state
// a sign-in leaves it in. Whatever the text, the branch must append exactly the listings the page holds (up to the
// page size, in order, each row numbered), then either ask for the next page or give the window back, or end with
// one error report and the sign-in controls enabled. Any other outcome, a crash or a sanitizer report is a finding.

#include "EstadoCanal.h"
#include "JSON.h"
#include "ResultBox.h"
#include "SearchBox.h"
#include "Solicitudes.h"
#include "VbError.h"
#include "VentanaFuzz.h"

#include <QLineEdit>
#include <QPushButton>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace {

using namespace fuzzmercado;

const QString Vendedor = QStringLiteral("12345");
constexpr int Limite = 20;

// What the branch must have done with a page, worked out from the page's tree on its own.
struct Esperado {
    enum class Fin { Error, Termina, OtraPagina };
    Fin fin = Fin::Error;
    QString etapa;    // for an error: the stage the report names, as the report writes it
    QStringList ids;  // the rows appended, in order (also those appended before an error)
    QStringList titulos;
};

// A value's text form, or nothing where it has none (null and containers).
std::optional<QString> comoTexto(const json::JsonValue& v) {
    try {
        return v.toText();
    } catch (const vb::Error&) {
        return std::nullopt;
    }
}

Esperado espero(const QString& texto, qint32 offset) {
    Esperado e;
    const auto error = [&e](const char* etapa) {
        e.fin = Esperado::Fin::Error;
        e.etapa = QString::fromLatin1(etapa);
        return e;
    };
    const std::optional<json::JsonValue> pagina = ParseJson(texto);
    // Everything about the paging fails at the same stage, right after the parse.
    if (!pagina || !pagina->asDictionary())
        return error(" .007");
    const json::Dictionary& raiz = *pagina->asDictionary();
    const json::Dictionary* paginado = raiz.Item(u"paging").asDictionary();
    if (!paginado)
        return error(" .007");
    const std::optional<QString> anunciado = comoTexto(paginado->Item(u"primary_results"));
    if (!anunciado)
        return error(" .007");
    const double total = solicitudes::valorInicial(*anunciado);
    const double restantes = std::nearbyint(total - double(offset));
    if (!(restantes >= double(std::numeric_limits<qint32>::min()) &&
          restantes <= double(std::numeric_limits<qint32>::max())))
        return error(" .007");
    const qint64 cuenta = std::min<qint64>(qint64(restantes), Limite);
    const json::Collection* resultados = raiz.Item(u"results").asCollection();
    for (qint64 i = 1; i <= cuenta; ++i) {
        if (!resultados || i > resultados->Count())
            return error(" .011");
        const json::Dictionary* publicacion = resultados->Item(int(i)).asDictionary();
        if (!publicacion)
            return error(" .011");
        const std::optional<QString> id = comoTexto(publicacion->Item(u"id"));
        if (!id)
            return error(" .011");
        const std::optional<QString> titulo = comoTexto(publicacion->Item(u"title"));
        if (!titulo)
            return error(" .012");
        e.ids << *id;
        // The grid keeps a title's first 1,000 characters, without half of a surrogate pair.
        QString kept = *titulo;
        if (kept.size() > 1000)
            kept.truncate(kept[999].isHighSurrogate() && kept[1000].isLowSurrogate() ? 999 : 1000);
        e.titulos << kept;
    }
    e.fin = double(offset) + Limite < total ? Esperado::Fin::OtraPagina : Esperado::Fin::Termina;
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)ventana();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Ventana& v = ventana();
    Form& f = v.f();
    reposo(v);

    const QString texto = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    // The first page, or the second or third one: the length picks, so that the text itself stays free.
    const qint32 offset = qint32(size % 3) * Limite;

    // As the sign-in leaves the window when it has asked for the page at `offset`.
    f.Paso = 2;
    f.OffsetActual = offset;
    f.IdVendedor = Vendedor;
    f.Esperando = false;
    f.Grid2->setRows(1);
    esperoIngreso(f, true);
    const int productos = f.Grid1->rows();

    const auto [enviadas, pidioPagina] = respondo(v, texto);
    f.Grid2->cells().flush();
    corroEventos();

    const Esperado e = espero(sinBlancos(texto), offset);
    FlexGrid& g = *f.Grid2;

    // Boxes: none but at most one error report.
    const QStringList avisos = v.dialogos.notices();
    exijo(v.dialogos.shown.size() == avisos.size(), "the branch asks no question");
    exijo(avisos.size() <= 1, "at most one notice");
    if (avisos.size() == 1)
        exijo(avisos[0].startsWith(QStringLiteral("Error recibiendo info del servidor.\rEtapa ")),
              "the only notice is the error report");
    exijo(v.estadosEntregados == 0, "a cancelled request delivers no state");

    // Rows: never more than a page, each numbered, each from a listing of the page.
    exijo(g.rows() >= 1 && g.rows() <= 1 + Limite, "one page adds at most 20 rows");
    exijo(g.cells().rowCount() == g.rows() - 1, "the listing view knows every row after a flush");
    exijo(g.rows() - 1 == e.ids.size(), "one row for every listing read whole, none for the others");
    const qint64 imagen = f.imagen(2).cacheKey();
    for (int r = 1; r < g.rows(); ++r) {
        exijo(g.textMatrix(r, 0) == e.ids[r - 1], "the row's id is the listing's id");
        exijo(g.textMatrix(r, 2) == e.titulos[r - 1], "the row's title is the listing's title");
        exijo(g.textMatrix(r, 3).isEmpty(), "a new listing row shows no price");
        exijo(g.textMatrix(r, 4) == QString::number(r), "column 4 numbers the row");
        exijo(g.cellPicture(r, 1).cacheKey() == imagen, "a new listing row shows the unlinked picture");
    }

    exijo(f.Resultado->text() == sinBlancos(texto), "the result box holds the answer without its blanks");
    exijo(f.IdVendedor == Vendedor, "a page never changes the seller");
    exijo(f.Grid1->rows() == productos, "a page never touches the product grid");
    exijo(f.Paso == 2, "the listing branch ends at Paso 2");

    switch (e.fin) {
        case Esperado::Fin::Error:
            exijo(avisos.size() == 1, "a page the branch cannot read ends in the error report");
            exijo(avisos[0].startsWith(QStringLiteral("Error recibiendo info del servidor.\rEtapa ") + e.etapa + u'\r'),
                  "the report names the stage where the page failed");
            exijo(avisos[0].endsWith(QStringLiteral("\rPaso  2 State  12")), "the report names Paso and State");
            exijo(enviadas == 0 && !pidioPagina, "no next page after an error");
            exijo(f.OffsetActual == offset, "the offset stays after an error");
            exijo(ventanaHabilitada(f) && !f.operacionEnCurso, "the window takes input after an error");
            exijo(ingresoHabilitado(f), "the operator can sign in again after an error");
            break;
        case Esperado::Fin::Termina:
            exijo(avisos.isEmpty(), "a readable last page shows no box");
            exijo(enviadas == 0 && !pidioPagina, "no request after the last page");
            exijo(f.OffsetActual == offset, "the offset stays after the last page");
            exijo(ventanaHabilitada(f) && !f.operacionEnCurso, "the window takes input after the last page");
            exijo(ingresoDeshabilitado(f), "the seller stays signed in");
            break;
        case Esperado::Fin::OtraPagina:
            exijo(avisos.isEmpty(), "a readable page shows no box");
            exijo(enviadas == 1 && pidioPagina, "the next page is asked for, once");
            exijo(f.OffsetActual == offset + Limite, "the next page starts 20 listings further");
            exijo(!ventanaHabilitada(f) && f.operacionEnCurso, "the window waits for the next page");
            exijo(ingresoDeshabilitado(f) && f.Command2->isEnabled() && f.Buscar->isEnabled(),
                  "the controls stay as the sign-in left them");
            break;
    }
    return 0;
}
