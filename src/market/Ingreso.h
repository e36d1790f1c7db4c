#pragma once

struct Form;
struct Mercado;
struct Evento;

// "Conectar", or Enter in the password box: sends the sign-in with the typed user and password.
void Command1_Click(Form& f, Mercado& m);

// The answer to the sign-in, and the hand-over from the listing branch when another page is needed: keeps the
// seller's identifier and asks for the listing page at `OffsetActual`, or reports an unknown account.
void RamaIngreso(Form& f, Mercado& m, Evento& ev);

// The sign-in controls take input again, so that the operator can sign in anew.
void habilitoIngreso(Form& f);
