#pragma once

// The window pointed at the marketplace simulator, and the waits the programs that drive it share: the demo, the
// benchmarks and the marketplace tests.

#include "EstadoCanal.h"
#include "Form.h"
#include "MarketSim.h"
#include "frmVantoria.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <functional>

namespace sim {

// Points the marketplace and the gateway at `server` (already serving) and trusts the simulator's authority.
inline void apuntoAlSimulador(frmVantoria::Options& o, const MarketSim& server) {
    o.urlMercado = server.baseUrl();
    o.urlPasarela = server.baseUrl();
    o.autoridadesExtra = MarketSim::caCertificates();
}

// The first activation is over and the window takes input.
inline bool ventanaLista(frmVantoria& w) {
    return !w.form().PrimeraVez && ventanaHabilitada(w.form());
}

// No operation runs and no request is outstanding.
inline bool ventanaQuieta(frmVantoria& w) {
    return canalLibre(w.form(), w.mercado());
}

// Runs the events until `listo` holds or `ms` milliseconds have passed (-1: no limit); true when it held. It sleeps
// until the next event, or the deadline, whichever comes first.
inline bool esperoQue(const std::function<bool()>& listo, int ms = -1) {
    const QDeadlineTimer plazo(ms);
    if (plazo.isForever()) {
        while (!listo())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        return true;
    }
    QTimer despertador;
    despertador.setSingleShot(true);
    while (!listo()) {
        if (plazo.hasExpired())
            return false;
        despertador.start(int(std::clamp<qint64>(plazo.remainingTime(), 1, 60'000)));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

}  // namespace sim
