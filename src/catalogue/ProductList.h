#pragma once

#include <QtGlobal>

struct Form;
class DatabaseEngine;

// Reloads the product grid from the catalogue: every enabled product, or those matching the search word.
void CargoProductos(Form& form, DatabaseEngine& engine);

// Colours every cell of the product grid's current row; `colour` is red + 256 * green + 65536 * blue.
void PintoFila(Form& form, const quint32& colour);
