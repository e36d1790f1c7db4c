#include "EnvioPrecio.h"

#include "Amounts.h"
#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
#include "Inet.h"
#include "Mercado.h"
#include "Operacion.h"
#include "ResultBox.h"
#include "Solicitudes.h"
#include "VbError.h"

#include <QLocale>

using namespace colProductos;

QString precioParaEnviar(Form& f, int fila) {
    double valor = 0;
    if (!leoNumero(f.Grid1->textMatrix(fila, Precio), QLocale(), &valor))
        vb::raise(vb::TypeMismatch);
    return Cifras(valor);
}

void EnvioPrecio(Form& f, Mercado& m) {
    FlexGrid& grid = *f.Grid1;
    if (grid.rows() <= 1 || grid.row() <= 0)
        return;
    if (grid.col() != Enviar)
        return;
    const int fila = grid.row();
    const QString precio = grid.textMatrix(fila, Precio);
    const QString id = grid.textMatrix(fila, Serial);
    if (precio.isEmpty() || id.size() <= 4)
        return;
    if (!canalLibre(f, m))
        return;
    // Checked before asking: a price that is not a finite number is never offered for sending.
    double valor = 0;
    if (!leoNumero(precio, QLocale(), &valor)) {
        f.dialogs->notice(QStringLiteral("El precio \"") + precio + QStringLiteral("\" no es un número; no se envió."));
        return;
    }
    const QString url = solicitudes::urlPrecio(m.urlPasarela, id, Cifras(valor));
    if (!f.dialogs->question(QStringLiteral("¿Está seguro de querer sincronizar este precio de ") +
                             grid.textMatrix(fila, Producto) + QStringLiteral(" para ponerlo en ") + precio +
                             QStringLiteral("?")))
        return;
    empiezoOperacion(f);
    try {
        f.Paso = 3;
        f.Resultado->setText(QString());
        // The answer goes to this row and this listing, whatever row is current when it arrives.
        f.filaEnviada = fila;
        f.idEnviado = id;
        m.tanda = 0;
        anotoIntencion(f, m, fila, id, Cifras(valor));
        solicito(m, url);
    } catch (...) {
        // Nothing awaits an answer: the window takes input again, and the caller reports the failure.
        terminoOperacion(f);
        throw;
    }
}

void RamaPrecio(Form& f, Mercado& m, Evento& ev) {
    f.Resultado->setText(solicitudes::sinBlancos(ev.respuesta));
    ev.respuesta.clear();
    const bool listo = solicitudes::esListo(f.Resultado->text());
    anotoResultado(m, listo ? Diario::Resultado::Aplicado : Diario::Resultado::Rechazado, f.Resultado->text());
    if (listo) {
        f.dialogs->notice(QStringLiteral("Listo. Operación realizada con éxito."));
        if (f.filaEnviada > 0 && f.filaEnviada < f.Grid1->rows())
            ActualizoGrillas(f, f.filaEnviada, f.idEnviado);
        terminoOperacion(f);
        return;
    }
    terminoOperacion(f);
    f.dialogs->notice(QStringLiteral("No se pudo realizar la operación."));
}

void ActualizoGrillas(Form& f, int fila, const QString& idPublicacion, double* Etapa) {
    FlexGrid& listados = *f.Grid2;
    if (listados.rows() <= 1)
        return;
    const QString precio = f.Grid1->textMatrix(fila, Precio);
    for (int r = 1; r < listados.rows(); ++r) {
        if (Etapa)
            *Etapa = 13;
        if (listados.textMatrix(r, colPublicaciones::Id) == idPublicacion) {
            listados.setTextMatrix(r, colPublicaciones::Precio, precio);
            f.Grid1->setTextMatrix(fila, Enviado, QStringLiteral("1"));
        }
        if (Etapa)
            *Etapa = 14;
    }
}
