// Hands arbitrary text, as the gateway's answer, to one of the three gateway branches of the real window: the first
// byte picks the branch (and the product row involved), the rest is the answer. Each branch must read the answer as
// accepted exactly when it holds "Listo!!!" (letter case ignored) and act on that alone:
//   sign-in     - accepted: keeps the seller's id (the text after the first "Listo!!!") and asks for the first page;
//                 otherwise: "No se pudo identificar el usuario." and the sign-in controls take input again.
//   single push - "Listo. Operación realizada con éxito." or "No se pudo realizar la operación."; on success only,
//                 the listing rows whose id is the remembered one show the product's price and the product is
//                 marked pushed; the window is given back either way.
//   batch item  - the awaited item is answered whatever the text; the product row turns pale cyan and its listings
//                 show its price only when accepted; the batch keeps the window.

#include "EstadoCanal.h"
#include "ResultBox.h"
#include "SearchBox.h"
#include "VentanaFuzz.h"

#include <QLineEdit>
#include <QPushButton>

#include <cstdint>
#include <vector>

namespace {

using namespace fuzzmercado;

using colProductos::Enviado, colProductos::Precio, colProductos::Serial;
const QString VendedorPrevio = QStringLiteral("vendedor-anterior");
const QString PrecioPrevio = QStringLiteral("sin precio");
const QColor Celeste(208, 255, 255);
// The colour a row wears before the answer; no branch paints it.
constexpr quint32 Marca = 0x40 + 256 * 0x30 + 65536 * 0x20;
const QColor ColorMarca(0x40, 0x30, 0x20);

// Product rows the push branches may be given: a serial long enough to be a listing id, and a price.
const std::vector<int>& filasEnlazadas() {
    static const std::vector<int> filas = [] {
        std::vector<int> out;
        FlexGrid& g = *ventana().f().Grid1;
        for (int r = 1; r < g.rows(); ++r)
            if (g.textMatrix(r, Serial).size() > 4 && !g.textMatrix(r, Precio).isEmpty())
                out.push_back(r);
        return out;
    }();
    return filas;
}

void pintoFila(FlexGrid& g, int fila, quint32 color) {
    const int fila0 = g.row(), col0 = g.col();
    g.setRow(fila);
    for (int c = 0; c < g.cols(); ++c) {
        g.setCol(c);
        g.setCellBackColor(color);
    }
    g.setRow(fila0);
    g.setCol(col0);
}

bool filaDeColor(FlexGrid& g, int fila, const QColor& color) {
    for (int c = 0; c < g.cols(); ++c)
        if (g.cellBackColor(fila, c) != color)
            return false;
    return true;
}

// The listing grid as a download would have left it: rows with the product's listing id, and rows whose ids only
// resemble it (another letter case, a blank, a prefix) or belong to another product.
void preparoPublicaciones(FlexGrid& g, const QString& id, const QString& otroId) {
    const QStringList ids = {id, id.toLower(), QStringLiteral("X") + id, id + u' ', otroId, id, id.left(id.size() - 1)};
    g.setRows(1);
    for (const QString& i : ids) {
        g.setRows(g.rows() + 1);
        const int r = g.rows() - 1;
        g.setTextMatrix(r, 0, i);
        g.setTextMatrix(r, 2, QStringLiteral("Publicación %1").arg(r));
        g.setTextMatrix(r, 3, PrecioPrevio);
        g.setTextMatrix(r, 4, QString::number(r));
    }
}

// After a push of product row `fila`: listing rows with exactly its id show its price when `aceptado`, every other
// listing row is as it was.
void revisoPublicaciones(Form& f, int fila, const QString& id, bool aceptado) {
    FlexGrid& g = *f.Grid2;
    exijo(g.rows() == 8, "the listing grid keeps its rows");
    const QString precio = f.Grid1->textMatrix(fila, Precio);
    for (int r = 1; r < g.rows(); ++r) {
        const bool suya = g.textMatrix(r, 0) == id;
        exijo(g.textMatrix(r, 3) == (aceptado && suya ? precio : PrecioPrevio),
              "only the product's own listings show its price, and only after an accepted push");
        exijo(g.textMatrix(r, 4) == QString::number(r), "the row numbers stay");
    }
    exijo(f.Grid1->textMatrix(fila, Enviado) == (aceptado ? QStringLiteral("1") : QStringLiteral("0")),
          "the product is marked pushed exactly when the push was accepted");
}

// Readies a push of product row `fila`: another linked row (when there is one) becomes the bystander, the listing
// grid holds both products' ids and look-alikes, and neither product is marked pushed. Returns the bystander.
int preparoEnvio(Form& f, int fila, const QString& id) {
    FlexGrid& productos = *f.Grid1;
    const std::vector<int>& filas = filasEnlazadas();
    const int otra = filas.size() > 1 ? (fila == filas[0] ? filas[1] : filas[0]) : fila;
    preparoPublicaciones(*f.Grid2, id, otra != fila ? productos.textMatrix(otra, Serial) : QStringLiteral("MLV0"));
    productos.setTextMatrix(fila, Enviado, QStringLiteral("0"));
    productos.setTextMatrix(otra, Enviado, QStringLiteral("0"));
    return otra;
}

// The seller a sign-in keeps: what follows the first "Listo!!!", without the blanks, tabs and line ends around it.
QString vendedorDe(const QString& limpia, qsizetype marca) {
    const auto blanco = [](QChar c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    QString v = limpia.mid(marca + 8);
    while (!v.isEmpty() && blanco(v.front()))
        v.remove(0, 1);
    while (!v.isEmpty() && blanco(v.back()))
        v.chop(1);
    return v;
}

void ingreso(Ventana& v, const QString& respuesta) {
    Form& f = v.f();
    f.Paso = 1;
    f.OffsetActual = 0;
    f.IdVendedor = VendedorPrevio;
    f.Grid2->setRows(1);
    esperoIngreso(f, false);

    const auto [enviadas, pidioPagina] = respondo(v, respuesta);

    const QString limpia = sinBlancos(respuesta);
    const qsizetype marca = marcaListo(limpia);
    const QStringList avisos = v.dialogos.notices();
    exijo(v.dialogos.shown.size() == avisos.size(), "the sign-in asks no question");
    exijo(f.Resultado->text() == limpia, "the result box holds the answer without its blanks");
    exijo(f.OffsetActual == 0, "the sign-in asks for the first page");
    exijo(f.Grid2->rows() == 1, "the sign-in adds no listing");
    if (marca >= 0) {
        exijo(avisos.isEmpty(), "an accepted sign-in shows no box");
        exijo(f.Paso == 2, "an accepted sign-in goes on to the listings");
        exijo(f.IdVendedor == vendedorDe(limpia, marca), "the seller is the text after the first Listo!!!, unpadded");
        exijo(enviadas == 1 && pidioPagina, "an accepted sign-in asks for the first page, once");
        exijo(!ventanaHabilitada(f) && f.operacionEnCurso, "the window waits for the first page");
        exijo(ingresoDeshabilitado(f) && f.Command2->isEnabled() && f.Buscar->isEnabled(),
              "signed in: the push button and the listing search take input, the sign-in does not");
    } else {
        exijo(avisos == QStringList{QStringLiteral("No se pudo identificar el usuario.")},
              "a refused sign-in says so, once");
        exijo(f.Paso == 1, "a refused sign-in stays at Paso 1");
        exijo(f.IdVendedor == VendedorPrevio, "a refused sign-in keeps no seller");
        exijo(enviadas == 0 && !pidioPagina, "a refused sign-in sends nothing");
        exijo(ventanaHabilitada(f) && !f.operacionEnCurso, "a refused sign-in gives the window back");
        exijo(ingresoHabilitado(f) && !f.Command2->isEnabled() && !f.Buscar->isEnabled(),
              "a refused sign-in enables the sign-in controls only");
    }
}

void envioSimple(Ventana& v, const QString& respuesta, int fila) {
    Form& f = v.f();
    FlexGrid& productos = *f.Grid1;
    const QString id = productos.textMatrix(fila, Serial);
    // Another current row: the answer goes to the remembered row all the same.
    const int otra = preparoEnvio(f, fila, id);
    productos.setRow(otra);
    f.Paso = 3;
    f.filaEnviada = fila;
    f.idEnviado = id;
    f.Esperando = false;
    esperoRespuesta(f);

    const auto [enviadas, enCurso] = respondo(v, respuesta);

    const QString limpia = sinBlancos(respuesta);
    const bool aceptado = marcaListo(limpia) >= 0;
    const QStringList avisos = v.dialogos.notices();
    exijo(v.dialogos.shown.size() == avisos.size(), "the push asks no question");
    exijo(avisos == QStringList{aceptado ? QStringLiteral("Listo. Operación realizada con éxito.")
                                         : QStringLiteral("No se pudo realizar la operación.")},
          "the push reports what the answer says, once");
    exijo(f.Resultado->text() == limpia, "the result box holds the answer without its blanks");
    revisoPublicaciones(f, fila, id, aceptado);
    if (otra != fila)
        exijo(productos.textMatrix(otra, Enviado) == QStringLiteral("0"), "the current row is not the pushed one");
    exijo(productos.row() == otra, "the answer moves no current row");
    exijo(enviadas == 0 && !enCurso, "the answer to a push sends nothing");
    exijo(ventanaHabilitada(f) && !f.operacionEnCurso, "the window takes input after a push");
    exijo(f.Paso == 3, "the push branch stays at Paso 3");
}

void envioMasivo(Ventana& v, const QString& respuesta, int fila) {
    Form& f = v.f();
    FlexGrid& productos = *f.Grid1;
    const QString id = productos.textMatrix(fila, Serial);
    const int otra = preparoEnvio(f, fila, id);
    pintoFila(productos, fila, Marca);
    pintoFila(productos, otra, Marca);
    // As the batch leaves things while it waits for this item's answer.
    productos.setRow(fila);
    f.Paso = 4;
    f.Esperando = true;
    esperoRespuesta(f);

    const auto [enviadas, enCurso] = respondo(v, respuesta);

    const QString limpia = sinBlancos(respuesta);
    const bool aceptado = marcaListo(limpia) >= 0;
    exijo(v.dialogos.shown.isEmpty(), "an item's answer shows no box");
    exijo(!f.Esperando, "the item counts as answered whatever the text");
    exijo(f.Resultado->text() == limpia, "the result box holds the answer without its blanks");
    exijo(filaDeColor(productos, fila, aceptado ? Celeste : ColorMarca),
          "the row is pale cyan exactly when the item was accepted");
    if (otra != fila)
        exijo(filaDeColor(productos, otra, ColorMarca) && productos.textMatrix(otra, Enviado) == QStringLiteral("0"),
              "no other product row changes");
    revisoPublicaciones(f, fila, id, aceptado);
    exijo(productos.row() == fila, "the item's row stays current");
    exijo(enviadas == 0 && !enCurso, "the answer to an item sends nothing");
    exijo(!ventanaHabilitada(f) && f.operacionEnCurso, "the batch keeps the window");
    exijo(f.Paso == 4, "the batch branch stays at Paso 4");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)ventana();
    exijo(!filasEnlazadas().empty(), "the sample catalogue has a linked product with a price");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    Ventana& v = ventana();
    reposo(v);
    const QString respuesta = QString::fromUtf8(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const std::vector<int>& filas = filasEnlazadas();
    const int fila = filas[std::size_t(data[0] / 3) % filas.size()];
    switch (data[0] % 3) {
        case 0:
            ingreso(v, respuesta);
            break;
        case 1:
            envioSimple(v, respuesta, fila);
            break;
        default:
            envioMasivo(v, respuesta, fila);
            break;
    }
    return 0;
}
