// Writes a sample catalogue database: vantoria-catalogue FILE [--products N] [--seed S]
#include "CatalogueGenerator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <exception>

namespace {

enum ExitCode : int { Written = 0, NotWritten = 1, Usage = 2 };

const char UsageText[] =
    "usage: vantoria-catalogue FILE [--products N] [--seed S]\n"
    "Writes a new sample catalogue database; an existing FILE is left as it is.\n"
    "  --products N   products in the catalogue, 0 to 10000000 (2000)\n"
    "  --seed S       the same seed always gives the same catalogue (1); its linked products are linked to\n"
    "                 the listings of `market-sim --seed S`, the n-th linked product to the n-th listing\n"
    "Exit status: 0 written, 1 the file cannot be written, 2 wrong command line.\n";

int wrongUsage(const QString& what) {
    std::fprintf(stderr, "vantoria-catalogue: %s\n", qPrintable(what));
    std::fputs(UsageText, stderr);
    return Usage;
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
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            std::fputs(UsageText, stdout);
            return Written;
        } else if (a == QLatin1String("--products") || a == QLatin1String("--seed")) {
            if (i + 1 == args.size())
                return wrongUsage(a + QStringLiteral(" needs a value"));
            const QString& value = args[++i];
            if (a == QLatin1String("--products")) {
                products = value.toLongLong(&ok);
                if (!ok || products < 0 || products > 10'000'000)
                    return wrongUsage(QStringLiteral("--products takes 0 to 10000000, not '%1'").arg(value));
            } else {
                seed = value.toULongLong(&ok);
                if (!ok)
                    return wrongUsage(QStringLiteral("--seed takes a whole number from 0, not '%1'").arg(value));
            }
        } else if (a == QLatin1String("-")) {
            return wrongUsage(QStringLiteral("a database cannot go to standard output; name a file"));
        } else if (a.startsWith(u'-')) {
            return wrongUsage(QStringLiteral("unknown option ") + a);
        } else if (!file.isEmpty()) {
            return wrongUsage(QStringLiteral("one file at a time, not also ") + a);
        } else {
            file = a;
        }
    }
    if (file.isEmpty())
        return wrongUsage(QStringLiteral("no file named"));
    if (QFileInfo(file).isDir()) {
        std::fprintf(stderr, "vantoria-catalogue: %s: is a folder, not a file\n", qPrintable(file));
        return NotWritten;
    }
    if (!QFileInfo(file).absoluteDir().exists()) {
        std::fprintf(stderr, "vantoria-catalogue: %s: its folder does not exist\n", qPrintable(file));
        return NotWritten;
    }
    qsizetype linked = 0;
    try {
        const catalogo::Catalogo c = catalogo::muestra(int(products), seed);
        for (const catalogo::Producto& p : c.productos)
            linked += p.serial && *p.serial != QLatin1String("-");
        catalogo::escribo(file, c);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantoria-catalogue: %s\n", e.what());
        return NotWritten;
    }
    std::printf("%s: %lld products (seed %llu), %lld linked: market-sim --seed %llu --listings %lld has them all\n",
                qPrintable(file), products, seed, qlonglong(linked), seed, qlonglong(linked));
    return Written;
}
