#pragma once

#include <QString>

struct Form;
struct Mercado;
struct Evento;

// The push gesture of a click on the product grid (after the price editor was hidden, before it may show again):
// on the push icon of a linked product with a price, asks and sends that price to the product's listing.
void EnvioPrecio(Form& f, Mercado& m);

// The gateway's answer to a single push: reports it and, on success, shows the price beside the listing.
void RamaPrecio(Form& f, Mercado& m, Evento& ev);

// After a successful push of product row `fila` to `idPublicacion`: every listing row with that id (letter case
// significant) shows the price as the product grid displays it, and the product row is marked pushed. `Etapa`, when
// given, follows each listing row examined (13 at its start, 14 at its end).
void ActualizoGrillas(Form& f, int fila, const QString& idPublicacion, double* Etapa = nullptr);

// The displayed price of product row `fila` as requests carry it; a text that does not read as a number under the
// user's settings raises error 13.
QString precioParaEnviar(Form& f, int fila);
