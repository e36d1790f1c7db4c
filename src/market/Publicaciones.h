#pragma once

struct Form;
struct Mercado;
struct Evento;

// One page of the seller's listings: appends its listings to the listing grid, then asks for the next page (by
// handing over to the sign-in branch within the same event) or ends the download.
void RamaPublicaciones(Form& f, Mercado& m, Evento& ev);
