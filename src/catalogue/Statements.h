#pragma once

#include <QString>
#include <QStringView>

#include <optional>

// The statements the program sends to the catalogue database.
namespace sentencias {

// All enabled products, or, for a search word, those that match it in name, category, product code or serial.
// The word goes in with every single quote doubled, so that it is always searched for as typed.
QString productos(const QString& textoBuscarPalabra);

// A search word is any text but the placeholder "Buscar..." and the empty text.
bool esPalabraDeBusqueda(const QString& text);

// A text as a statement can carry it: without NUL characters, at which the engines would end the statement.
QString guardable(QString text);
// The same, with every single quote doubled, to go between quotes in a statement.
QString comillasDobladas(QString text);

// A product code is a whole number; anything else never reaches a statement.
std::optional<qint64> codigoProducto(QStringView text);

// `monto` is the amount text for statements ("." as decimal point, no grouping).
QString precio(const QString& monto, qint64 codigo);
QString quitoSerial(qint64 codigo);
QString serial(const QString& idPublicacion, qint64 codigo);

}  // namespace sentencias
