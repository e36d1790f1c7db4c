#include "Operacion.h"

#include "FlexGrid.h"
#include "Form.h"
#include "Inet.h"
#include "Mercado.h"
#include "ResultBox.h"
#include "Solicitudes.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

bool canalLibre(const Form& f, const Mercado& m) {
    return !f.operacionEnCurso && !m.Inet1.StillExecuting();
}

void empiezoOperacion(Form& f) {
    deshabilitoVentana(f);
    f.operacionEnCurso = true;
}

void empiezoCancelable(Form& f, Form::Cancelable que) {
    f.cancelable = que;
    f.cancelado = false;
    f.CmdCancelar->setEnabled(true);
    f.CmdCancelar->show();
}

void CmdCancelar_Click(Form& f) {
    if (f.cancelable == Form::Cancelable::Nada)
        return;
    f.cancelado = true;
    // One click is enough; the operation stops at its next step.
    f.CmdCancelar->setEnabled(false);
}

void terminoOperacion(Form& f) {
    if (f.cancelable == Form::Cancelable::Descarga) {
        f.Frame1->hide();
        ponTexto(f.Label3, QString::fromUtf16(TextoEspera));
    }
    f.cancelable = Form::Cancelable::Nada;
    f.cancelado = false;
    f.CmdCancelar->hide();
    f.operacionEnCurso = false;
    muestroTextos(f);
    habilitoVentana(f);
}

void solicito(Mercado& m, const QString& url, const QString& cuerpo) {
    m.Inet1.Execute(url, solicitudes::Metodo, cuerpo, solicitudes::Encabezado);
}

void detalles(Form& f, Mercado& m) {
    // A response may be megabytes long; the panel's detail label shows its beginning.
    constexpr qsizetype DetalleMaximo = 4000;
    ponTexto(f.Detalle01, m.Inet1.ResponseInfo());
    ponTexto(f.Detalle02, f.Resultado->text().left(DetalleMaximo));
}

void anotoIntencion(Form& f, Mercado& m, int fila, const QString& publicacion, const QString& precio) {
    // Without a journal the request is still marked as awaiting its outcome, so that the batch counts it.
    m.solicitudDiario =
        m.diario ? m.diario->intencion(m.tanda, f.Grid1->textMatrix(fila, colProductos::Codigo),
                                       f.Grid1->textMatrix(fila, colProductos::Producto), publicacion, precio)
                 : QStringLiteral("-");
}

void anotoResultado(Mercado& m, Diario::Resultado r, const QString& texto) {
    if (m.solicitudDiario.isEmpty())
        return;
    if (m.diario)
        m.diario->resultado(m.solicitudDiario, r, texto);
    m.solicitudDiario.clear();
    if (m.tanda <= 0)
        return;
    (r == Diario::Resultado::Aplicado    ? m.cuentas.aplicados
     : r == Diario::Resultado::Rechazado ? m.cuentas.rechazados
                                         : m.cuentas.fallidos)++;
}
