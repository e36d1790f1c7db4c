#pragma once

#include "Diario.h"

#include <QString>

class Inet;
class Reloj;

// What the marketplace handlers share besides the form; the window owns all of it for the whole run.
struct Mercado {
    Inet& Inet1;
    Reloj& reloj;
    QString urlMercado;        // the marketplace's search interface, e.g. "https://api.mercadolibre.com"
    QString urlPasarela;       // the gateway that signs in and changes prices
    Diario* diario = nullptr;  // where every price request and its outcome are written; none when null

    // The journal's id of the price request awaiting its outcome, the batch under way (0: none) and its counts.
    QString solicitudDiario;
    int tanda = 0;
    Diario::Cuentas cuentas;
};

// Values of one state-change event, set afresh for each: how far the handling came, and the response text.
struct Evento {
    double Etapa = 0;
    QString respuesta;
    // What the status line shows after the event instead of the channel's state, when a branch has more to say.
    QString aviso;
};
