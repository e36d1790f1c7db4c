// market-sim [options]: serves the marketplace and gateway stand-in on 127.0.0.1 with one account and N listings,
// for trying the window by hand against something that answers, and for a technician's rehearsal: its own
// certificate, items whose price is refused or whose connection fails, slow answers. Prints the base URL and the
// account, then one line per request; runs until it is interrupted (Ctrl+C). Exit status 1 when it cannot listen,
// 2 for a wrong command line. `market-sim --role api` serves the marketplace's API double instead (ApiMain.cpp).
#include "ApiMain.h"
#include "CatalogueGenerator.h"
#include "MarketSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSslKey>
#include <QStringList>

#include <cstdio>

namespace {

const char SellerId[] = "123456789";

void printLine(const QByteArray& line) {
    const QByteArray text = line + '\n';
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    std::fflush(stdout);
}

// What a small Venezuelan shop has on offer; past the end of the list the titles come back in other colours.
const char* const Products[] = {
    "Licuadora Oster 10 Velocidades Vaso De Vidrio 1.25 Litros",
    "Teléfono Celular Samsung Galaxy A14 128gb 4gb Ram Negro",
    "Zapatos Deportivos Nike Revolution 6 Caballero Talla 42",
    "Cafetera Eléctrica Black+decker 12 Tazas Con Jarra",
    "Juego De Sábanas Matrimonial 100% Algodón 4 Piezas",
    "Audífonos Inalámbricos Bluetooth Xiaomi Redmi Buds 4",
    "Olla De Presión Imusa 6 Litros Aluminio",
    "Taladro Percutor Bosch 650w Con Maletín Y Brocas",
    "Cartera De Dama Cuero Sintético Con Correa Ajustable",
    "Freidora De Aire Ninja 5.5 Litros Digital",
    "Morral Escolar Totto Resistente Al Agua",
    "Reloj Casio Caballero Sumergible Acero Inoxidable",
    "Ventilador De Pedestal Taurus 18 Pulgadas 3 Velocidades",
    "Cargador Rápido Usb Tipo C 25w Original Samsung",
    "Set De Ollas Antiadherentes 10 Piezas Tapas De Vidrio",
    "Mouse Inalámbrico Logitech M185 Receptor Usb",
    "Colchón Ortopédico Individual 100x190 Con Resortes",
    "Perfume Caballero Hugo Boss Bottled 100 Ml Original",
    "Batidora De Mano Hamilton Beach 6 Velocidades",
    "Teclado Gamer Mecánico Redragon Kumara Retroiluminado",
    "Camisa Manga Larga Caballero Algodón Tallas S Al Xl",
    "Plancha A Vapor Philips Suela Antiadherente",
    "Cauchos Rin 15 Goodyear 195/65 Nuevos",
    "Batería Para Carro 800 Amperios Duncan Libre Mantenimiento",
    "Disco Duro Externo Seagate 1tb Usb 3.0",
    "Aire Acondicionado Split 12000 Btu Inverter 220v",
    "Nevera Ejecutiva 4.4 Pies Cúbicos Plateada",
    "Silla De Oficina Ergonómica Con Ruedas Y Apoyabrazos",
    "Lámpara Led Recargable De Emergencia 30 Horas",
    "Termo Stanley Clásico 1.4 Litros Acero Verde",
    "Router Wifi Tp-link Archer C6 Doble Banda",
    "Bicicleta Montañera Rin 26 21 Velocidades",
    "Parrillera Portátil De Carbón Con Tapa",
    "Cuchillos De Cocina Tramontina Juego 6 Piezas",
    "Tablet Lenovo Tab M10 64gb Wifi 10.1 Pulgadas",
    "Botas De Seguridad Punta De Acero Caterpillar",
    "Microondas Panasonic 0.9 Pies Cúbicos 900w",
    "Smart Tv Led 43 Pulgadas Full Hd Android",
    "Regulador De Voltaje 2000va 8 Tomas",
    "Filtro De Agua Purificador 3 Etapas Para Fregadero",
    "Cortadora De Cabello Wahl Profesional Con Accesorios",
    "Impresora Multifuncional Epson L3250 Tanque De Tinta",
    "Toallas De Baño 100% Algodón Juego De 3 Piezas",
    "Balón De Fútbol Adidas Número 5 Original",
    "Máquina De Coser Singer Portátil 23 Puntadas",
};
const char* const Colours[] = {"Negro", "Blanco", "Azul", "Rojo", "Gris", "Plateado"};

QString titleFor(int index) {
    const int count = int(std::size(Products));
    QString title = QString::fromUtf8(Products[index % count]);
    const int round = index / count;
    if (round > 0) {
        title += u' ' + QString::fromUtf8(Colours[(round - 1) % int(std::size(Colours))]);
        if (round > int(std::size(Colours))) {
            title += QStringLiteral(" Modelo %1").arg(round);
        }
    }
    return title;
}

// The listings of the account: their ids are those the sample catalogue of the same seed links its products to.
QList<sim::Listing> makeListings(int count, quint64 seed) {
    QList<sim::Listing> listings;
    quint32 state = 20240611;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (int i = 0; i < count; ++i) {
        sim::Listing listing;
        listing.id = catalogo::idMuestra(seed, i);
        listing.title = titleFor(i);
        next();  // the draw the ids once took, so that titles keep their prices
        listing.price = double(15 + next() % 4000) + double(next() % 4) * 0.25;
        listings.append(listing);
    }
    return listings;
}

// What the default role serves and how it misbehaves, as the command line gives it.
struct Serving {
    QString user;
    QString password;
    int listings = 0;
    quint64 seed = 1;
    sim::MarketSim::Options options;
};

// A comma-separated list of listing ids, blanks and empty members left out.
QSet<QString> ids(const QString& text) {
    QSet<QString> out;
    for (const QString& id : text.split(u',', Qt::SkipEmptyParts)) {
        if (const QString t = id.trimmed(); !t.isEmpty()) {
            out.insert(t);
        }
    }
    return out;
}

// The default role's options: added to the parser together, read together.
class ServingOptions {
  public:
    explicit ServingOptions(QCommandLineParser& parser) {
        parser.addOptions({listings, seed, user, password, certificate, key, refuse, fail, slow});
    }

    // Empty when every value is right, else what is wrong.
    QString read(const QCommandLineParser& parser, Serving& out) const {
        bool ok = false;
        out.listings = parser.value(listings).toInt(&ok);
        if (!ok || out.listings < 0) {
            return QStringLiteral("--listings takes a count, not '%1'").arg(parser.value(listings));
        }
        out.seed = parser.value(seed).toULongLong(&ok);
        if (!ok) {
            return QStringLiteral("--seed takes a whole number from 0, not '%1'").arg(parser.value(seed));
        }
        out.user = parser.value(user);
        out.password = parser.value(password);
        if (parser.isSet(certificate) != parser.isSet(key)) {
            return QStringLiteral("--certificate and --key go together");
        }
        if (parser.isSet(certificate)) {
            const QString file = parser.value(certificate);
            out.options.certificate =
                QSslCertificate::fromPath(file, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
            if (out.options.certificate.isEmpty()) {
                return QStringLiteral("--certificate: no PEM certificate in '%1'").arg(file);
            }
            QFile keyFile(parser.value(key));
            if (!keyFile.open(QIODevice::ReadOnly)) {
                return QStringLiteral("--key: cannot read '%1'").arg(keyFile.fileName());
            }
            const QByteArray pem = keyFile.readAll();
            for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
                if (const QSslKey k(pem, algorithm, QSsl::Pem); !k.isNull()) {
                    out.options.key = k;
                    break;
                }
            }
            if (out.options.key.isNull()) {
                return QStringLiteral("--key: no unencrypted RSA or EC private key in '%1'").arg(keyFile.fileName());
            }
        }
        out.options.refuseItems = ids(parser.value(refuse));
        out.options.failItems = ids(parser.value(fail));
        out.options.slowMs = parser.value(slow).toInt(&ok);
        if (!ok || out.options.slowMs < 0 || out.options.slowMs > 600'000) {
            return QStringLiteral("--slow takes 0 to 600000 milliseconds, not '%1'").arg(parser.value(slow));
        }
        return {};
    }

  private:
    const QCommandLineOption listings{QStringLiteral("listings"), QStringLiteral("Listings of the account."),
                                      QStringLiteral("N"), QStringLiteral("45")};
    const QCommandLineOption seed{
        QStringLiteral("seed"),
        QStringLiteral("Seed of the listing ids: those of vantoria-catalogue's sample of the same seed."),
        QStringLiteral("S"), QStringLiteral("1")};
    const QCommandLineOption user{QStringLiteral("user"), QStringLiteral("User name of the account."),
                                  QStringLiteral("U"), QStringLiteral("demo")};
    const QCommandLineOption password{QStringLiteral("password"), QStringLiteral("Password of the account."),
                                      QStringLiteral("P"), QStringLiteral("demo1234")};
    const QCommandLineOption certificate{
        QStringLiteral("certificate"),
        QStringLiteral("PEM certificate to serve with (its chain may follow it) instead of the test one."),
        QStringLiteral("FILE")};
    const QCommandLineOption key{QStringLiteral("key"), QStringLiteral("PEM private key of --certificate."),
                                 QStringLiteral("FILE")};
    const QCommandLineOption refuse{QStringLiteral("refuse"),
                                    QStringLiteral("Listing ids (comma-separated) whose price changes are refused."),
                                    QStringLiteral("IDS")};
    const QCommandLineOption fail{
        QStringLiteral("fail"),
        QStringLiteral("Listing ids (comma-separated) whose price changes get their connection closed unanswered."),
        QStringLiteral("IDS")};
    const QCommandLineOption slow{QStringLiteral("slow"), QStringLiteral("Milliseconds every other answer waits."),
                                  QStringLiteral("MS"), QStringLiteral("0")};
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("market-sim"));
    if (const std::optional<int> status = sim::apiRole(app)) {
        return *status;
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves the marketplace and gateway stand-in on 127.0.0.1."));
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Shows this help."));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port to listen on (0: any free one)."),
                                        QStringLiteral("N"), QStringLiteral("0"));
    parser.addOptions({helpOption, portOption});
    const ServingOptions serving(parser);
    const auto help = [&parser] {
        // The parser names the program as it was started; the usage line names it as it is installed.
        QString text = parser.helpText();
        text.replace(0, text.indexOf(u'\n'), QStringLiteral("usage: market-sim [options]"));
        return text +
               QStringLiteral("\nExit status: 1 it cannot listen, 2 wrong command line; it runs until interrupted.\n");
    };
    // The parser's own process() ends the program with status 1 on a wrong option; a wrong command line is 2 here.
    const auto wrongUsage = [&help](const QString& what) {
        std::fprintf(stderr, "market-sim: %s\n%s", qPrintable(what), qPrintable(help()));
        return 2;
    };
    if (!parser.parse(app.arguments())) {
        return wrongUsage(parser.errorText());
    }
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(help()), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return wrongUsage(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().constFirst()));
    }

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        return wrongUsage(QStringLiteral("--port takes 0 to 65535, not '%1'").arg(parser.value(portOption)));
    }
    Serving what;
    if (const QString wrong = serving.read(parser, what); !wrong.isEmpty()) {
        return wrongUsage(wrong);
    }
    what.options.port = quint16(port);
    const QString& user = what.user;
    const QString& password = what.password;
    const int listingCount = what.listings;
    const QString sellerId = QString::fromLatin1(SellerId);

    sim::MarketSim market;
    market.addAccount(user, password, sellerId);
    for (const sim::Listing& listing : makeListings(listingCount, what.seed)) {
        market.addListing(sellerId, listing);
    }
    market.setObserver([](const sim::Request& request, int status) {
        printLine(request.method + ' ' + request.target + ' ' +
                  (status > 0 ? QByteArray::number(status) : QByteArrayLiteral("-")));
    });
    if (!market.start(what.options)) {
        std::fprintf(stderr, "market-sim: cannot listen: %s\n", qPrintable(market.error()));
        return 1;
    }

    printLine(market.baseUrl().toUtf8() + " user " + user.toUtf8() + " password " + password.toUtf8() + " seller " +
              sellerId.toUtf8() + " listings " + QByteArray::number(listingCount));
    const int status = app.exec();
    market.setObserver({});
    return status;
}
