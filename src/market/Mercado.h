#pragma once

#include <QString>

class Inet;
class Reloj;

// What the marketplace handlers share besides the form; the window owns all of it for the whole run.
struct Mercado {
    Inet& Inet1;
    Reloj& reloj;
    QString urlMercado;   // the marketplace's search interface, e.g. "https://api.mercadolibre.com"
    QString urlPasarela;  // the gateway that signs in and changes prices
};

// Values of one state-change event, set afresh for each: how far the handling came, and the response text.
struct Evento {
    double Etapa = 0;
    QString respuesta;
};
