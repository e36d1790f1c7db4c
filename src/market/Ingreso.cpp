#include "Ingreso.h"

#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
#include "Inet.h"
#include "Mercado.h"
#include "Operacion.h"
#include "Publicaciones.h"
#include "ResultBox.h"
#include "SearchBox.h"
#include "Solicitudes.h"

#include <QLineEdit>
#include <QPushButton>

void Command1_Click(Form& f, Mercado& m) {
    if (f.Usuario->text().isEmpty() || f.Clave->text().isEmpty())
        return;
    if (!canalLibre(f, m))
        return;
    empiezoOperacion(f);
    try {
        f.Command1->setEnabled(false);
        f.Usuario->setEnabled(false);
        f.Clave->setEnabled(false);
        f.Paso = 1;
        f.Resultado->setText(QString());
        m.Inet1.galletas().olvido();  // a session of the last sign-in never outlives it
        const QString cuerpo = solicitudes::cuerpoIngreso(f.Usuario->text(), f.Clave->text());
        f.OffsetActual = 0;
        f.Grid2->setRows(1);
        solicito(m, solicitudes::urlIngreso(m.urlPasarela), cuerpo);
    } catch (...) {
        // Nothing awaits an answer: the operator may sign in again, and the caller reports the failure.
        habilitoIngreso(f);
        terminoOperacion(f);
        throw;
    }
}

void RamaIngreso(Form& f, Mercado& m, Evento& ev) {
    f.Resultado->setText(solicitudes::sinBlancos(ev.respuesta));
    ev.respuesta.clear();
    const QString& resultado = f.Resultado->text();
    if (solicitudes::esListo(resultado) || f.OffsetActual > 0) {
        f.Paso = 2;
        const bool primera = f.OffsetActual == 0;
        if (primera)
            f.IdVendedor = solicitudes::idVendedor(resultado);
        // Pages may follow one another on one connection: each answer that comes on one must be its own page.
        const qint32 offset = f.OffsetActual;
        const QString vendedor = f.IdVendedor;
        m.Inet1.Execute(
            solicitudes::urlPagina(m.urlMercado, solicitudes::Limite, offset, vendedor), solicitudes::Metodo, QString(),
            solicitudes::Encabezado,
            [offset, vendedor](const QByteArray& cuerpo) { return pruebaDePagina(cuerpo, offset, vendedor); });
        if (primera)
            empiezoDescarga(f);
        f.Command1->setEnabled(false);
        f.Command2->setEnabled(true);
        f.Buscar->setEnabled(true);
        return;
    }
    terminoOperacion(f);
    f.dialogs->notice(QStringLiteral("No se pudo identificar el usuario."));
    habilitoIngreso(f);
    f.Command2->setEnabled(false);
    f.Buscar->setEnabled(false);
}

void habilitoIngreso(Form& f) {
    f.Command1->setEnabled(true);
    f.Usuario->setEnabled(true);
    f.Clave->setEnabled(true);
}
