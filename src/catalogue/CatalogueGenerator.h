#pragma once

#include <QString>

#include <optional>
#include <vector>

// Sample catalogues shaped like the shop's administrative database: a table of categories, the table Productos and
// the saved query "Consulta Productos" that joins them.
namespace catalogo {

struct Categoria {
    qint64 codigo = 0;
    QString nombre;
};

struct Producto {
    qint64 codigo = 0;
    QString codProd;
    QString nombre;
    std::optional<qint64> categoria;
    std::optional<double> precio;
    std::optional<QString> serial;
    bool inhabilitado = false;
};

struct Catalogo {
    std::vector<Categoria> categorias;
    std::vector<Producto> productos;
};

// A catalogue of `productos` products with Spanish names (accents, ñ, apostrophes, some very long), prices plausible
// for each kind of product (from a pen's cents to a backhoe above 100,000), some nulls, some products without a
// category and some disabled products. The same seed always gives the same catalogue. About one product in five
// comes linked: the n-th of them (from 0) to the listing `idMuestra(semilla, n)`.
Catalogo muestra(int productos, quint64 semilla);

// The id of the n-th listing (from 0) of the marketplace simulator's account made with `semilla`: what the sample
// catalogue of the same seed links its products to, so that a rehearsal finds them. Distinct for every n.
QString idMuestra(quint64 semilla, int n);

// Writes `catalogo` as a new SQLite file at `path`; an existing file is never overwritten. Throws
// std::runtime_error with a message naming the file when it cannot be written.
void escribo(const QString& path, const Catalogo& catalogo);

}  // namespace catalogo
