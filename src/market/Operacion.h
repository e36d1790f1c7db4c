#pragma once

#include "Diario.h"
#include "Form.h"

#include <QString>

struct Mercado;

// What every branch of the marketplace link shares about the channel and the operation it runs: starting and ending
// an operation, sending a request, the wait panel's details. The branches and the state handler above them include
// this; it includes none of them.

// True when no operation runs and no request is outstanding: a new operation may start.
bool canalLibre(const Form& f, const Mercado& m);

// Starts an operation: the window takes no input until terminoOperacion.
void empiezoOperacion(Form& f);

// Ends an operation: the window takes input again; "Cancelar" is hidden, and a download's wait panel with it.
void terminoOperacion(Form& f);

// The operation under way is a listing download or a batch: "Cancelar" shows on the wait panel, enabled.
void empiezoCancelable(Form& f, Form::Cancelable que);

// "Cancelar": asks the running download or batch to stop at its next step (nothing when none runs).
void CmdCancelar_Click(Form& f);

// Sends one request as every request goes: POST, form-encoded.
void solicito(Mercado& m, const QString& url, const QString& cuerpo = QString());

// The wait panel's details: the channel's line about the last response and the beginning of the result box.
void detalles(Form& f, Mercado& m);

// Writes to the journal that the price of product row `fila` goes to listing `publicacion` as `precio`, before the
// request leaves; in the batch under way, if any.
void anotoIntencion(Form& f, Mercado& m, int fila, const QString& publicacion, const QString& precio);
// Writes the outcome of the price request awaiting one (nothing when none awaits), and counts it in the batch.
void anotoResultado(Mercado& m, Diario::Resultado r, const QString& texto = QString());
