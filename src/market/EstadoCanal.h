#pragma once

#include <QString>

struct Form;
struct Mercado;

// The channel's state-change handler: shows the state in the status labels; on a failed request gives the window
// back (or, for an awaited item of a batch, colours its row orange and lets the batch go on); on a complete
// response reads it in pieces and hands it to the branch of the operation in `Paso`. A failure while an event is
// handled ends it with the error report.
void Inet1_StateChanged(Form& f, Mercado& m, int State);

// What a complete response (state 12) leads to, its text given instead of read from the channel: the dispatch by
// Paso and, when that fails, the error report. The fuzz targets hand it any text.
void RespuestaCompleta(Form& f, Mercado& m, const QString& respuesta);

// True when no operation runs and no request is outstanding: a new operation may start.
bool canalLibre(const Form& f, const Mercado& m);

// Starts an operation: the window takes no input until terminoOperacion.
void empiezoOperacion(Form& f);

// Ends an operation: the window takes input again.
void terminoOperacion(Form& f);

// Sends one request as every request goes: POST, form-encoded.
void solicito(Mercado& m, const QString& url, const QString& cuerpo = QString());

// The wait panel's details: the channel's line about the last response and the beginning of the result box.
void detalles(Form& f, Mercado& m);
