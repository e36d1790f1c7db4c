// Writes a sample catalogue database: vantoria-catalogue FILE [--products N] [--seed S]
#include "CatalogueGenerator.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <exception>

namespace {

int usage() {
    std::fputs(
        "usage: vantoria-catalogue FILE [--products N] [--seed S]\n"
        "Writes a new sample catalogue database; an existing FILE is left as it is.\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    QString file;
    qlonglong products = 2000;
    qulonglong seed = 1;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        bool ok = true;
        if (a == QLatin1String("--products") && i + 1 < args.size()) {
            products = args[++i].toLongLong(&ok);
            ok = ok && products >= 0 && products <= 10'000'000;
        } else if (a == QLatin1String("--seed") && i + 1 < args.size()) {
            seed = args[++i].toULongLong(&ok);
        } else if (a.startsWith(QLatin1String("--")) || !file.isEmpty()) {
            ok = false;
        } else {
            file = a;
        }
        if (!ok)
            return usage();
    }
    if (file.isEmpty())
        return usage();
    try {
        catalogo::escribo(file, catalogo::muestra(int(products), seed));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantoria-catalogue: %s\n", e.what());
        return 1;
    }
    std::printf("%s: %lld products (seed %llu)\n", qPrintable(file), products, seed);
    return 0;
}
