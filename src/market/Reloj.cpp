#include "Reloj.h"

#include "Form.h"

#include <QCoreApplication>

#include <cmath>

Reloj::Reloj(double velocidad) : velocidad_(velocidad > 0 ? velocidad : 1.0) {
    desde_.start();
    despertador_.setSingleShot(true);
    despertador_.setTimerType(Qt::PreciseTimer);
}

double Reloj::segundos() const {
    return double(desde_.nsecsElapsed()) * 1e-9 * velocidad_;
}

bool Reloj::esperoEventos(Form& f, const std::function<bool()>& listo, double plazo) {
    const double fin = segundos() + plazo;
    for (;;) {
        if (listo())
            return true;
        if (f.cerrando)
            return false;
        const double falta = fin - segundos();
        if (falta <= 0)
            return false;
        // Wakes the event loop by the deadline when nothing else does; a long wait is cut in slices so that the
        // timer's interval never overflows.
        const double ms = std::ceil(falta / velocidad_ * 1000.0);
        despertador_.start(ms > 60'000 ? 60'000 : int(ms));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

void DelayMili(Form& f, Reloj& reloj, const qint32& Seconds) {
    if (Seconds <= 0)
        return;
    reloj.esperoEventos(
        f, [] { return false; }, Seconds / 100.0);
}
