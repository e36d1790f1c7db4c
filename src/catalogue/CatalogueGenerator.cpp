#include "CatalogueGenerator.h"

#include <QAtomicInt>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <cmath>
#include <stdexcept>

namespace catalogo {
namespace {

// splitmix64: small, fast, and the same sequence on every platform and library.
class Random {
  public:
    explicit Random(quint64 seed) : state_(seed) {}
    quint64 next() {
        quint64 z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A whole number in [0, n).
    int below(int n) { return int(next() % quint64(n)); }
    // A number in [0, 1).
    double unit() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
    bool chance(int percent) { return below(100) < percent; }

  private:
    quint64 state_;
};

const char16_t* const Categorias[] = {
    u"Ferretería",
    u"Electrónica",
    u"Herramientas eléctricas",
    u"Hogar y Cocina",
    u"Jardinería",
    u"Juguetes y Niños",
    u"Óptica",
    u"Papelería",
    u"Música e Instrumentos",
    u"Iluminación",
    u"Baños y Grifería",
    u"Pinturas",
    u"Plomería",
    u"Computación",
    u"Telefonía",
    u"Electrodomésticos",
    u"Camping y Pesca",
    u"Deportes",
    u"Mascotas",
    u"Bebés",
    u"Automotriz",
    u"Ropa de Niños",
    u"Calzado",
    u"Salud y Belleza",
    u"Cerrajería",
    u"Construcción",
    u"Limpieza",
    u"Muebles",
    u"Árboles y Plantas",
    u"accesorios de baño",
    u"Ángulos y Perfiles",
    u"Señalización",
};

// Each kind of product with the range its price plausibly falls in, from a pen's cents to a backhoe's
// six figures.
struct Tipo {
    const char16_t* nombre;
    double desde;
    double hasta;
};

const Tipo Tipos[] = {
    {u"Taladro percutor", 35, 180},
    {u"Destornillador de precisión", 3, 25},
    {u"Llave ajustable", 5, 35},
    {u"Martillo de uña", 6, 30},
    {u"Cafetera eléctrica", 20, 120},
    {u"Licuadora", 25, 150},
    {u"Sartén antiadherente", 8, 60},
    {u"Muñeca de trapo", 4, 25},
    {u"Pañales desechables", 8, 30},
    {u"Cortadora de césped", 120, 900},
    {u"Manguera de jardín", 10, 60},
    {u"Bombillo LED", 1, 6},
    {u"Lámpara de escritorio", 10, 60},
    {u"Cuaderno espiral", 1, 6},
    {u"Bolígrafo", 0.25, 1.5},
    {u"Guitarra acústica", 60, 450},
    {u"Teclado inalámbrico", 12, 90},
    {u"Ratón óptico", 5, 40},
    {u"Cargador rápido", 6, 35},
    {u"Audífonos", 8, 150},
    {u"Zapatos de niño", 15, 60},
    {u"Pelota de fútbol", 8, 45},
    {u"Caña de pescar", 15, 180},
    {u"Carpa para camping", 35, 300},
    {u"Alimento para perros", 10, 80},
    {u"Champú", 2, 15},
    {u"Filtro de aceite", 4, 20},
    {u"Bujía", 2, 12},
    {u"Candado de seguridad", 4, 40},
    {u"Cemento gris", 7, 14},
    {u"Pintura de caucho", 12, 90},
    {u"Grifo monomando", 20, 150},
    {u"Tubo PVC", 2, 20},
    {u"Escoba", 2, 10},
    {u"Silla ergonómica", 80, 500},
    {u"Colchón ortopédico", 150, 900},
    {u"Piñata", 8, 40},
    {u"Jabón de baño", 0.5, 4},
    {u"Cepillo dental", 0.8, 6},
    {u"Brújula", 5, 40},
    {u"Ñame en conserva", 1.5, 5},
    {u"Extensión eléctrica", 4, 30},
    {u"Sierra circular", 60, 350},
    {u"Olla de presión", 30, 120},
    {u"Retroexcavadora", 45000, 160000},
};

const char16_t* const Atributos[] = {
    u"profesional",      u"compacto",    u"de acero inoxidable", u"color café", u"tamaño niño",
    u"edición limitada", u"con estuche", u"recargable",          u"3/4\"",      u"12\" x 8\"",
    u"de aluminio",      u"para baño",   u"ergonómico",          u"de lujo",    u"100% algodón",
    u"a batería",        u"económico",   u"de 1/2 galón",        u"azul añil",  u"industrial",
};

const char16_t* const Marcas[] = {
    u"Truper",     u"Black & Decker", u"Oster", u"D'Angelo", u"O'Brien", u"Pa'lante", u"La Campiña",
    u"Niño Feliz", u"Señorial",       u"Bosch", u"Stanley",  u"Pétalo",  u"Müller",   u"Tío Rico",
};

const char16_t LargoExtra[] =
    u" — incluye accesorios, manual en español y garantía de fábrica de doce meses; ideal para uso doméstico, "
    u"comercial e industrial, resistente al agua y al polvo, con repuestos disponibles en todas nuestras sucursales";

template <std::size_t N>
QString pick(Random& r, const char16_t* const (&list)[N]) {
    return QString::fromUtf16(list[r.below(int(N))]);
}

QString prefijo(const QString& categoria) {
    QString out;
    for (QChar c : categoria.normalized(QString::NormalizationForm_D)) {
        if (c.isLetter() && c.unicode() < 128)
            out += c.toUpper();
        if (out.size() == 3)
            break;
    }
    return out;
}

QString nextConnectionName() {
    static QAtomicInt counter;
    return QStringLiteral("vantoria-catalogue-%1").arg(counter.fetchAndAddRelaxed(1));
}

[[noreturn]] void fail(const QString& path, const QString& what) {
    throw std::runtime_error(QStringLiteral("%1: %2").arg(path, what).toStdString());
}

}  // namespace

QString idMuestra(quint64 semilla, int n) {
    Random r(semilla * 0x9E3779B97F4A7C15ull + quint64(n));
    // Steps wider than the random part keep every id apart.
    return QStringLiteral("MLV%1").arg(612000000LL + qint64(n) * 104729 + r.below(1000));
}

Catalogo muestra(int productos, quint64 semilla) {
    Random r(semilla);
    int enlazados = 0;
    Catalogo out;
    for (std::size_t i = 0; i < std::size(Categorias); ++i)
        out.categorias.push_back({qint64(i + 1), QString::fromUtf16(Categorias[i])});
    out.productos.reserve(std::size_t(std::max(0, productos)));
    qint64 codigo = 1000;
    for (int i = 0; i < productos; ++i) {
        Producto p;
        codigo += 1 + r.below(3);
        p.codigo = codigo;
        const int cat = r.below(int(out.categorias.size()));
        if (!r.chance(3))
            p.categoria = out.categorias[std::size_t(cat)].codigo;
        p.codProd = QStringLiteral("%1-%2")
                        .arg(prefijo(out.categorias[std::size_t(cat)].nombre))
                        .arg(codigo, 6, 10, QLatin1Char('0'));
        const Tipo& tipo = Tipos[r.below(int(std::size(Tipos)))];
        QString nombre = QString::fromUtf16(tipo.nombre) + u' ' + pick(r, Atributos) + u' ' + pick(r, Marcas);
        if (r.chance(30))
            nombre += QStringLiteral(" %1 cm").arg(5 + r.below(200));
        if (r.chance(1))
            nombre += QString::fromUtf16(LargoExtra);
        if (r.chance(6))
            nombre = nombre.toUpper();
        else if (r.chance(4))
            nombre = nombre.toLower();
        p.nombre = nombre;
        if (!r.chance(4)) {
            // Spread evenly on a log scale within the kind's range, so cheap ends and dear ends are alike frequent.
            const double raw =
                std::exp(std::log(tipo.desde) + r.unit() * (std::log(tipo.hasta) - std::log(tipo.desde)));
            double price = std::round(raw * 100.0) / 100.0;
            if (r.chance(40) && price >= 10)
                price = std::round(price);
            p.precio = std::max(0.01, price);
        }
        const int s = r.below(100);
        if (s < 20) {
            r.below(400000000);  // drawn still, so that the rest of a seed's catalogue stays as it was
            p.serial = idMuestra(semilla, enlazados++);
        } else if (s < 23)
            p.serial = QStringLiteral("-");
        p.inhabilitado = r.chance(6);
        out.productos.push_back(std::move(p));
    }
    return out;
}

void escribo(const QString& path, const Catalogo& c) {
    if (QFileInfo::exists(path))
        fail(path, QStringLiteral("already exists; it is left as it is"));
    const QString part = path + QStringLiteral(".part");
    QFile::remove(part);
    const QString name = nextConnectionName();
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(part);
        if (!db.open()) {
            error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            const char* schema[] = {
                "PRAGMA journal_mode=OFF",
                "PRAGMA synchronous=OFF",
                "CREATE TABLE Categorías (Código INTEGER PRIMARY KEY, Nombre TEXT NOT NULL)",
                "CREATE TABLE Productos (Código INTEGER PRIMARY KEY, COD_PROD TEXT, Nombre TEXT NOT NULL, "
                "CódigoCategoría INTEGER REFERENCES Categorías(Código), PrecioSugeridoAdic002 REAL, Serial TEXT, "
                "Inhabilitado INTEGER NOT NULL DEFAULT 0)",
                "CREATE VIEW [Consulta Productos] AS SELECT p.Código AS Código, p.COD_PROD AS COD_PROD, "
                "p.Nombre AS Nombre, c.Nombre AS NombreCategoría, p.PrecioSugeridoAdic002 AS PrecioSugeridoAdic002, "
                "p.Serial AS Serial, p.Inhabilitado AS Inhabilitado FROM Productos p LEFT JOIN Categorías c "
                "ON c.Código = p.CódigoCategoría",
            };
            for (const char* sql : schema)
                if (error.isEmpty() && !q.exec(QString::fromUtf8(sql)))
                    error = q.lastError().text();
            if (error.isEmpty())
                db.transaction();
            if (error.isEmpty()) {
                QSqlQuery ins(db);
                ins.prepare(QStringLiteral("INSERT INTO Categorías (Código, Nombre) VALUES (?, ?)"));
                for (const Categoria& k : c.categorias) {
                    ins.bindValue(0, k.codigo);
                    ins.bindValue(1, k.nombre);
                    if (!ins.exec()) {
                        error = ins.lastError().text();
                        break;
                    }
                }
            }
            if (error.isEmpty()) {
                QSqlQuery ins(db);
                ins.prepare(QStringLiteral(
                    "INSERT INTO Productos (Código, COD_PROD, Nombre, CódigoCategoría, PrecioSugeridoAdic002, "
                    "Serial, Inhabilitado) VALUES (?, ?, ?, ?, ?, ?, ?)"));
                for (const Producto& p : c.productos) {
                    ins.bindValue(0, p.codigo);
                    ins.bindValue(1, p.codProd.isNull() ? QVariant() : QVariant(p.codProd));
                    ins.bindValue(2, p.nombre);
                    ins.bindValue(3, p.categoria ? QVariant(*p.categoria) : QVariant());
                    ins.bindValue(4, p.precio ? QVariant(*p.precio) : QVariant());
                    ins.bindValue(5, p.serial ? QVariant(*p.serial) : QVariant());
                    ins.bindValue(6, p.inhabilitado ? 1 : 0);
                    if (!ins.exec()) {
                        error = ins.lastError().text();
                        break;
                    }
                }
            }
            if (error.isEmpty() && !db.commit())
                error = db.lastError().text();
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    if (!error.isEmpty()) {
        QFile::remove(part);
        fail(path, error);
    }
    if (!QFile::rename(part, path)) {
        QFile::remove(part);
        fail(path, QStringLiteral("the file could not be created"));
    }
}

}  // namespace catalogo
