#include "Publicaciones.h"

#include "FlexGrid.h"
#include "Form.h"
#include "JSON.h"
#include "Mercado.h"
#include "Operacion.h"
#include "ResultBox.h"
#include "Solicitudes.h"
#include "VbError.h"

#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

using json::JsonValue;

// A member of an object; asking anything but an object for one fails as the platform does (object required).
const JsonValue& miembro(const JsonValue& v, QStringView clave) {
    const json::Dictionary* d = v.asDictionary();
    if (!d)
        vb::raise(vb::ObjectRequired);
    return d->Item(clave);
}

// Element n (from 1) of an array; out of range raises error 9.
const JsonValue& elemento(const JsonValue& v, int n) {
    const json::Collection* c = v.asCollection();
    if (!c)
        vb::raise(vb::ObjectRequired);
    return c->Item(n);
}

// A whole number of 32 bits, rounded half to even; beyond that range, error 6.
qint32 entero(double valor) {
    const double r = std::nearbyint(valor);
    if (!std::isfinite(r) || r > std::numeric_limits<qint32>::max() || r < std::numeric_limits<qint32>::min())
        vb::raise(vb::Overflow);
    return qint32(r);
}

// Whether the page brings a listing id the grid does not hold yet, among its first `cuenta` listings. A page this
// cannot tell about (no results, a listing without an id) counts as new: reading it reports what is wrong with it.
bool traeAlgoNuevo(const Form& f, const JsonValue& pagina, qint32 cuenta) {
    const json::Dictionary* raiz = pagina.asDictionary();
    const json::Collection* resultados = raiz ? raiz->Item(u"results").asCollection() : nullptr;
    const int n = resultados ? std::min(cuenta, qint32(resultados->Count())) : 0;
    if (n == 0)
        return true;
    for (int i = 1; i <= n; ++i) {
        const json::Dictionary* publicacion = resultados->Item(i).asDictionary();
        if (!publicacion)
            return true;
        try {
            if (!f.idsPublicaciones.contains(publicacion->Item(u"id").toText()))
                return true;
        } catch (const vb::Error&) {
            return true;
        }
    }
    return false;
}

}  // namespace

QString pruebaDePagina(const QByteArray& cuerpo, qint32 offset, const QString& vendedor) {
    const QString otra = QStringLiteral("Respuesta no válida del servidor: no es la página pedida.");
    try {
        // The reentrant reader: the proof runs on the network thread.
        const std::optional<JsonValue> pagina = json::parseJsonUtf8(cuerpo).value;
        const json::Dictionary* raiz = pagina ? pagina->asDictionary() : nullptr;
        if (!raiz || !raiz->Exists(u"paging") || !raiz->Exists(u"seller"))
            return otra;
        const JsonValue& desde = miembro(raiz->Item(u"paging"), u"offset");
        if (desde.asDictionary() || desde.asCollection() ||
            solicitudes::valorInicial(desde.toText()) != double(offset) || desde.toText().trimmed().isEmpty())
            return otra;
        if (miembro(raiz->Item(u"seller"), u"id").toText() != vendedor)
            return otra;
        if (raiz->Exists(u"results")) {
            const json::Collection* resultados = raiz->Item(u"results").asCollection();
            for (int i = 1; resultados && i <= resultados->Count(); ++i) {
                const json::Dictionary* publicacion = resultados->Item(i).asDictionary();
                if (publicacion && publicacion->Exists(u"seller") &&
                    miembro(publicacion->Item(u"seller"), u"id").toText() != vendedor)
                    return otra;
            }
        }
        return {};
    } catch (...) {
        return otra;
    }
}

void empiezoDescarga(Form& f) {
    ponTexto(f.Label3, QStringLiteral("Descargando publicaciones...     Por favor espere..."));
    // The panel's status line may still hold the end of an earlier batch.
    ponTexto(f.EstadoConexion, QStringLiteral("..."));
    f.Barra1->setMaximum(1);
    f.Barra1->setValue(0);
    f.avanceDescarga.invalidate();
    f.Frame1->show();
    empiezoCancelable(f, Form::Cancelable::Descarga);
}

QString textoDescargaCancelada(int publicaciones) {
    return QStringLiteral("Descarga cancelada: ") + QLocale().toString(publicaciones) +
           (publicaciones == 1 ? QStringLiteral(" publicación.") : QStringLiteral(" publicaciones."));
}

void RamaPublicaciones(Form& f, Mercado&, Evento& ev) {
    FlexGrid& grid = *f.Grid2;
    f.Resultado->setText(solicitudes::sinBlancos(ev.respuesta));
    ev.Etapa = 0.005;
    const QString& texto = f.Resultado->text();
    ev.Etapa = 0.006;
    const std::optional<JsonValue> pagina = ParseJson(texto);
    ev.Etapa = 0.007;
    if (!pagina)
        vb::raise(vb::ObjectRequired);
    const double total = solicitudes::valorInicial(miembro(miembro(*pagina, u"paging"), u"primary_results").toText());
    const qint32 restantes = entero(total - f.OffsetActual);
    ev.Etapa = 0.008;
    ev.Etapa = 0.009;
    const qint32 cuenta = std::min<qint32>(restantes, solicitudes::Limite);
    ev.Etapa = 0.01;
    // A download starts with an empty grid.
    if (grid.rows() <= 1) {
        f.idsPublicaciones.clear();
        f.paginasRecibidas = 0;
    }
    ++f.paginasRecibidas;
    // A page of listings the grid already holds is the download going round in circles.
    if (cuenta > 0 && !traeAlgoNuevo(f, *pagina, cuenta))
        vb::raise(vb::KeyAlreadyPresent);
    for (qint32 i = 1; i <= cuenta; ++i) {
        ev.Etapa = 0.011;
        // The listing is read whole before its row is added: a page with fewer listings than announced leaves no
        // empty row behind.
        const JsonValue& publicacion = elemento(miembro(*pagina, u"results"), i);
        const QString id = miembro(publicacion, u"id").toText();
        ev.Etapa = 0.012;
        const QString titulo = solicitudes::tituloAcotado(miembro(publicacion, u"title").toText());
        grid.setRows(grid.rows() + 1);
        const int r = grid.rows() - 1;
        grid.setTextMatrix(r, colPublicaciones::Id, id);
        f.idsPublicaciones.insert(id);
        grid.setTextMatrix(r, colPublicaciones::Titulo, titulo);
        ev.Etapa = 0.013;
        grid.setTextMatrix(r, colPublicaciones::Numero, QString::number(r));
        ev.Etapa = 0.014;
        grid.setCol(colPublicaciones::Vincular);
        grid.setRow(r);
        grid.setCellPicture(f.imagen(2));
        ev.Etapa = 0.015;
    }
    ev.Etapa = 0.016;
    // The bar shows the listings received of those announced. Repainting it over the panel's backdrop costs about
    // half a millisecond, as much as reading a page: it moves at most ten times a second.
    if (!f.avanceDescarga.isValid() || f.avanceDescarga.elapsed() >= 100) {
        f.Barra1->setMaximum(int(std::clamp(total, 1.0, double(std::numeric_limits<int>::max()))));
        f.Barra1->setValue(std::min(grid.rows() - 1, f.Barra1->maximum()));
        f.avanceDescarga.start();
    }
    if (double(f.OffsetActual) + solicitudes::Limite < total && f.cancelado) {
        // "Cancelar" stops the download here, between pages: the rows received stay, no further page is asked for.
        terminoOperacion(f);
        ev.aviso = textoDescargaCancelada(grid.rows() - 1);
    } else if (double(f.OffsetActual) + solicitudes::Limite < total) {
        // A download that has not ended by now would not end by itself.
        if (f.paginasRecibidas >= solicitudes::MaxPaginas || grid.rows() - 1 >= solicitudes::MaxPublicaciones)
            vb::raise(vb::Overflow);
        if (f.OffsetActual > std::numeric_limits<qint32>::max() - solicitudes::Limite)
            vb::raise(vb::Overflow);
        f.OffsetActual += solicitudes::Limite;
        ev.Etapa = 0.017;
        f.Paso = 1;
    } else {
        terminoOperacion(f);
        ev.Etapa = 0.018;
        ev.Etapa = 0.019;
    }
}
