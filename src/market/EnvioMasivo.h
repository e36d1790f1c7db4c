#pragma once

struct Form;
struct Mercado;
struct Evento;

// The button that updates every price: after a confirmation, pushes the price of every linked product of the
// product grid in turn (only those not pushed since the load while "Solo los no afectados" is ticked), one request
// at a time, one second before each and a pause of twenty seconds before every 30th, colouring each row by its
// outcome. Returns when the batch has ended; the window's events run in its waits.
void Command2_Click(Form& f, Mercado& m);

// The gateway's answer to an item of a batch (or to its pause request).
void RamaMasiva(Form& f, Mercado& m, Evento& ev);
