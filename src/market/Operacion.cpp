#include "Operacion.h"

#include "Form.h"
#include "Inet.h"
#include "Mercado.h"
#include "ResultBox.h"
#include "Solicitudes.h"

#include <QLabel>

bool canalLibre(const Form& f, const Mercado& m) {
    return !f.operacionEnCurso && !m.Inet1.StillExecuting();
}

void empiezoOperacion(Form& f) {
    deshabilitoVentana(f);
    f.operacionEnCurso = true;
}

void terminoOperacion(Form& f) {
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
