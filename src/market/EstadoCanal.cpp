#include "EstadoCanal.h"

#include "Dialogs.h"
#include "EnvioMasivo.h"
#include "EnvioPrecio.h"
#include "Form.h"
#include "Inet.h"
#include "Ingreso.h"
#include "Mercado.h"
#include "Operacion.h"
#include "Publicaciones.h"
#include "ResultBox.h"
#include "Solicitudes.h"
#include "VbError.h"

#include <QLabel>

namespace {

void leoRespuesta(Mercado& m, Evento& ev) {
    ev.Etapa = 0.001;
    QString pieza = m.Inet1.GetChunk(65535, 0);
    ev.Etapa = 0.002;
    ev.respuesta += pieza;
    ev.Etapa = 0.003;
    while (!pieza.isEmpty()) {
        pieza = m.Inet1.GetChunk(65535, 0);
        ev.respuesta += pieza;
    }
    ev.Etapa = 0.004;
}

void despacho(Form& f, Mercado& m, Evento& ev) {
    if (f.Paso == 2)
        RamaPublicaciones(f, m, ev);
    else
        ev.Etapa = 0.019;
    if (f.Paso == 1)
        RamaIngreso(f, m, ev);
    if (f.Paso == 3)
        RamaPrecio(f, m, ev);
    if (f.Paso == 4)
        RamaMasiva(f, m, ev);
}

void falloDeSolicitud(Form& f, Mercado& m) {
    detalles(f, m);
    // Only a price request leaves an outcome awaited in the journal, so no other failure writes one.
    anotoResultado(m, Diario::Resultado::Fallido, m.Inet1.ResponseInfo());
    // The status line's tooltip keeps why the last request failed.
    ponAyuda(f.VerEstado, m.Inet1.ResponseInfo());
    if (f.Paso == 4 && f.Esperando) {
        ponTexto(f.Detalle01, QStringLiteral("..."));
        ponTexto(f.Detalle02, QStringLiteral("..."));
        // A failed pause request is no outcome of the row about to be pushed.
        if (!f.esperoPausa)
            PintoFila(f, 255 + 256 * 127 + 65536 * 10);
        f.Esperando = false;
        return;
    }
    // A running batch keeps the window until it ends.
    if (f.Paso == 4 && f.operacionEnCurso)
        return;
    // A sign-in or a listing download that failed can be tried again.
    if (f.Paso == 1 || f.Paso == 2)
        habilitoIngreso(f);
    terminoOperacion(f);
}

void informeDeError(Form& f, Mercado& m, const Evento& ev, int State, const QString& descripcion) {
    detalles(f, m);
    const QString linea = solicitudes::lineaDeRespuesta(m.Inet1.ResponseInfo(), ev.respuesta);
    ponTexto(f.Detalle01, linea);
    ponAyuda(f.VerEstado, linea);
    f.dialogs->notice(QStringLiteral("Error recibiendo info del servidor.\rEtapa ") +
                      solicitudes::numeroInforme(ev.Etapa) + u'\r' + descripcion + QStringLiteral("\rPaso ") +
                      solicitudes::numeroInforme(f.Paso) + QStringLiteral(" State ") +
                      solicitudes::numeroInforme(State));
    switch (f.Paso) {
        case 1:
        case 2:
            habilitoIngreso(f);
            terminoOperacion(f);
            break;
        case 3:
            terminoOperacion(f);
            break;
        case 4:
            // The awaited item counts as answered, so the batch goes on instead of waiting for good; the batch
            // gives the window back when it ends.
            f.Esperando = false;
            break;
        default:
            break;
    }
}

// One state-change event; a complete response comes from the channel's pieces, or is given.
void manejo(Form& f, Mercado& m, int State, const QString* respuesta) {
    Evento ev;
    QString descripcion;
    try {
        if (State != 12)
            ponTexto(f.GetState, solicitudes::textoEstado(State));
        switch (State) {
            case 0:
                detalles(f, m);
                break;
            case 10:
                if (!f.operacionEnCurso)
                    habilitoVentana(f);
                break;
            case 11:
                falloDeSolicitud(f, m);
                break;
            case 12:
                if (respuesta) {
                    ev.Etapa = 0.004;
                    ev.respuesta = *respuesta;
                } else {
                    leoRespuesta(m, ev);
                }
                despacho(f, m, ev);
                break;
            default:
                if (State < 0 || State > 12)
                    ponTexto(f.Detalle01, m.Inet1.ResponseInfo());
                break;
        }
        ponTexto(f.VerEstado, ev.aviso.isEmpty() ? f.GetState->text() : ev.aviso);
        // Once the operation is over, the last state shows at once.
        if (!f.operacionEnCurso)
            muestroTextos(f);
        return;
    } catch (const vb::Error& e) {
        descripcion = e.description();
    } catch (const std::exception& e) {
        descripcion = QString::fromUtf8(e.what());
    } catch (...) {
        descripcion = QStringLiteral("Error desconocido.");
    }
    informeDeError(f, m, ev, State, descripcion);
}

}  // namespace

void Inet1_StateChanged(Form& f, Mercado& m, int State) {
    manejo(f, m, State, nullptr);
}

void RespuestaCompleta(Form& f, Mercado& m, const QString& respuesta) {
    manejo(f, m, 12, &respuesta);
}
