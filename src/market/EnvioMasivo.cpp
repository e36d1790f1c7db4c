#include "EnvioMasivo.h"

#include "Dialogs.h"
#include "EnvioPrecio.h"
#include "FlexGrid.h"
#include "Form.h"
#include "Inet.h"
#include "Mercado.h"
#include "Operacion.h"
#include "Reloj.h"
#include "ResultBox.h"
#include "Solicitudes.h"
#include "VbError.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>

#include <exception>
#include <limits>

namespace {

using namespace colProductos;
constexpr quint32 Celeste = 208 + 256 * 255 + 65536 * 255;
constexpr int ItemsEntrePausas = 30;

QString textoProgreso(Form& f, int r, int items) {
    return QStringLiteral("Pos ") + solicitudes::numeroInforme(r) + QStringLiteral(" Actualizando (") +
           QString::number(items) + QStringLiteral(") precio de ") + f.Grid1->textMatrix(r, Producto) +
           QStringLiteral("         Espere...");
}

// Lets events run until the awaited answer has been handled (or the window closes).
void esperoRespuesta(Form& f, Mercado& m, bool copioEstado) {
    m.reloj.esperoEventos(
        f,
        [&] {
            if (copioEstado)
                ponTexto(f.EstadoConexion, f.GetState->text());
            return !f.Esperando;
        },
        std::numeric_limits<double>::infinity());
}

// Waits `centesimas` hundredths of a second while the window handles its events; "Cancelar" ends the wait at once.
void esperoSalvoCancelacion(Form& f, Mercado& m, qint32 centesimas) {
    m.reloj.esperoEventos(
        f, [&] { return f.cancelado; }, centesimas / 100.0);
}

struct DevuelvoVentana {
    Form& f;
    ~DevuelvoVentana() {
        f.Esperando = false;
        f.esperoPausa = false;
        f.Frame1->hide();
        terminoOperacion(f);
    }
};

// What the report says of a failure: the description of the program's numbered errors, the text of any other.
QString descripcionDe(const std::exception_ptr& falla) {
    try {
        std::rethrow_exception(falla);
    } catch (const vb::Error& e) {
        return e.description();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Error desconocido.");
    }
}

}  // namespace

void Command2_Click(Form& f, Mercado& m) {
    FlexGrid& grid = *f.Grid1;
    if (grid.rows() <= 1)
        return;
    // One batch at a time, and none while another operation waits for its answer.
    if (!canalLibre(f, m))
        return;
    if (!f.dialogs->question(QStringLiteral("¿Está seguro de querer actualizar los precios de todos los productos "
                                            "listados en su publicación mercado libre segun la configuración?")))
        return;

    // However the batch ends, even by a failure its report cannot show, the operator gets the window back and
    // nothing else is sent.
    const DevuelvoVentana alTerminar{f};
    m.tanda = m.diario ? m.diario->empiezoTanda() : 1;
    m.cuentas = {};
    double Etapa = 0;
    int r = 0, pausa = 0, items = 0;
    int ultima = grid.rows() - 1, enviada = 0;  // the last row and the last row sent
    bool fallo = false;
    const auto califica = [&](int fila) {
        const QString serial = grid.textMatrix(fila, Serial);
        return !serial.isEmpty() && serial != QLatin1String("-") &&
               (!f.Check1->isChecked() || grid.textMatrix(fila, Enviado) == QLatin1String("0"));
    };
    try {
        Etapa = 1;
        empiezoOperacion(f);
        f.Frame1->show();
        empiezoCancelable(f, Form::Cancelable::Tanda);
        f.Barra1->setValue(0);
        pausa = 0;
        f.Barra1->setMaximum(grid.rows() - 1);
        Etapa = 2;
        for (r = 1; r < grid.rows(); ++r)
            if (grid.textMatrix(r, Enviado).isEmpty())
                grid.setTextMatrix(r, Enviado, QStringLiteral("0"));
        ultima = grid.rows() - 1;
        // "Cancelar" stops the batch before its next item; an item sent is always awaited to its answer.
        const auto sigo = [&f] { return !f.cerrando && !f.cancelado; };
        for (r = 1; r <= ultima && sigo(); ++r) {
            if (califica(r)) {
                Etapa = 3;
                grid.setRow(r);
                f.Paso = 4;
                f.Resultado->setText(QString());
                esperoSalvoCancelacion(f, m, 100);
                if (!sigo())
                    break;
                ++pausa;
                Etapa = 4;
                if (pausa == ItemsEntrePausas) {
                    ponTexto(f.Label3, QStringLiteral("Dando descanso al servidor..."));
                    ponTexto(f.EstadoConexion,
                             QStringLiteral("se esperarán 20 segundos cada 30 items para no saturar de solicitudes el "
                                            "servidor"));
                    dejoCorrerEventos();
                    f.Esperando = true;
                    f.esperoPausa = true;
                    solicito(m, solicitudes::urlPausa(m.urlPasarela));
                    esperoRespuesta(f, m, false);
                    f.esperoPausa = false;
                    esperoSalvoCancelacion(f, m, 2000);
                    pausa = 0;
                    Etapa = 5;
                }
                if (!sigo())
                    break;
                f.Esperando = true;
                ++items;
                ponTexto(f.Label3, textoProgreso(f, r, items));
                ponTexto(f.EstadoConexion, QStringLiteral("Iniciando..."));
                const QString precio = precioParaEnviar(f, grid.row());
                anotoIntencion(f, m, grid.row(), grid.textMatrix(grid.row(), Serial), precio);
                solicito(m, solicitudes::urlPrecio(m.urlPasarela, grid.textMatrix(grid.row(), Serial), precio));
                enviada = r;
                Etapa = 6;
                esperoRespuesta(f, m, true);
                Etapa = 7;
            }
            f.Barra1->setValue(r);
            dejoCorrerEventos();
            Etapa = 8;
        }
        // Closing the window may have ended the wait for an answer.
        f.Esperando = false;
        dejoCorrerEventos();
        Etapa = 9;
    } catch (...) {
        fallo = true;
        const int fila = std::min(r, grid.rows() - 1);
        ponTexto(f.Label3, textoProgreso(f, fila, items));
        ponTexto(f.EstadoConexion, f.GetState->text());
        detalles(f, m);
        // From the step that makes the row current to the answer, the failure belongs to that row's product.
        QString descripcion = descripcionDe(std::current_exception());
        if (Etapa >= 3 && Etapa < 7 && fila > 0)
            descripcion += QStringLiteral(" (producto ") + grid.textMatrix(fila, Codigo) + QStringLiteral(" \"") +
                           grid.textMatrix(fila, Producto) + QStringLiteral("\")");
        f.dialogs->notice(QStringLiteral("Error actualizando sincronizando con el servidor.\r") + descripcion +
                          QStringLiteral("\rChequear etapa ") + solicitudes::numeroInforme(Etapa));
    }
    // A batch ended by a failure or by the window's close says so, with the items it did not send.
    int sinEnviar = 0;
    for (int fila = std::max(r, 1); fila <= std::min(ultima, grid.rows() - 1); ++fila)
        if (fila != enviada && califica(fila))
            ++sinEnviar;
    m.cuentas.detenida = fallo || sinEnviar > 0;
    m.cuentas.cancelada = !fallo && sinEnviar > 0 && f.cancelado;
    m.cuentas.sinEnviar = sinEnviar;
    // An item whose answer could not be handled has no known outcome: the journal leaves it unknown.
    m.solicitudDiario.clear();
    if (m.diario)
        m.diario->terminoTanda(m.tanda, m.cuentas);
    m.tanda = 0;
    ponTexto(f.VerEstado, resumenTanda(m.cuentas));
}

void RamaMasiva(Form& f, Mercado& m, Evento& ev) {
    // The pause's answer says nothing about the row about to be pushed, whatever it holds.
    if (f.esperoPausa) {
        ev.respuesta.clear();
        f.Esperando = false;
        return;
    }
    ev.Etapa = 10;
    f.Resultado->setText(solicitudes::sinBlancos(ev.respuesta));
    ev.Etapa = 11;
    ev.respuesta.clear();
    const bool listo = solicitudes::esListo(f.Resultado->text());
    anotoResultado(m, listo ? Diario::Resultado::Aplicado : Diario::Resultado::Rechazado, f.Resultado->text());
    if (listo) {
        ev.Etapa = 12;
        const int fila = f.Grid1->row();
        if (fila > 0)
            ActualizoGrillas(f, fila, f.Grid1->textMatrix(fila, Serial), &ev.Etapa);
        PintoFila(f, Celeste);
    }
    f.Esperando = false;
}
