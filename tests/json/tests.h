#pragma once

int runBuilderTests(int argc, char** argv);
int runDecimalTests(int argc, char** argv);
int runReaderTests(int argc, char** argv);

// Builds a QString from a UTF-16 literal that may hold lone surrogates.
#include <QString>
inline QString u16(const char16_t* s) {
    return QString::fromUtf16(s);
}
