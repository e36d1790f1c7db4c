#pragma once

#include "DatabaseEngine.h"

#include <QString>

// The notice for a database that could not be opened or could not run a statement: the file, the engine's message,
// and, when the engine says it cannot write, which folder and file need the permission.
QString avisoBaseDatos(const DatabaseError& error);
