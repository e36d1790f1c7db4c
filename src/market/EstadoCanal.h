#pragma once

#include "Operacion.h"

#include <QString>

struct Form;
struct Mercado;

// The top of the marketplace link: the channel's state-change handler, which dispatches to the branches. The
// channel helpers of Operacion.h come with it for the window and the tools that drive it.

// The channel's state-change handler: shows the state in the status labels; on a failed request gives the window
// back (or, for an awaited item of a batch, colours its row orange and lets the batch go on); on a complete
// response reads it in pieces and hands it to the branch of the operation in `Paso`. A failure while an event is
// handled ends it with the error report.
void Inet1_StateChanged(Form& f, Mercado& m, int State);

// What a complete response (state 12) leads to, its text given instead of read from the channel: the dispatch by
// Paso and, when that fails, the error report. The fuzz targets hand it any text.
void RespuestaCompleta(Form& f, Mercado& m, const QString& respuesta);
