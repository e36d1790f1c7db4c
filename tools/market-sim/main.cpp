// market-sim [--port N] [--listings N] [--user U] [--password P]: serves the marketplace and gateway stand-in on
// 127.0.0.1 with one account and N listings, for trying the window by hand against something that answers. Prints
// the base URL and the account, then one line per request; runs until it is interrupted (Ctrl+C). Exit status 1
// when it cannot listen, 2 for a wrong command line. `market-sim --role api` serves the marketplace's API double
// instead (ApiMain.cpp).
#include "ApiMain.h"
#include "MarketSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
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

QList<sim::Listing> makeListings(int count) {
    QList<sim::Listing> listings;
    quint32 seed = 20240611;
    const auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int i = 0; i < count; ++i) {
        sim::Listing listing;
        listing.id = QStringLiteral("MLV") + QString::number(612000000LL + qint64(i) * 104729 + next() % 1000);
        listing.title = titleFor(i);
        listing.price = double(15 + next() % 4000) + double(next() % 4) * 0.25;
        listings.append(listing);
    }
    return listings;
}

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
    const QCommandLineOption listingsOption(QStringLiteral("listings"), QStringLiteral("Listings of the account."),
                                            QStringLiteral("N"), QStringLiteral("45"));
    const QCommandLineOption userOption(QStringLiteral("user"), QStringLiteral("User name of the account."),
                                        QStringLiteral("U"), QStringLiteral("demo"));
    const QCommandLineOption passwordOption(QStringLiteral("password"), QStringLiteral("Password of the account."),
                                            QStringLiteral("P"), QStringLiteral("demo1234"));
    parser.addOptions({helpOption, portOption, listingsOption, userOption, passwordOption});
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
    bool listingsOk = false;
    const int listingCount = parser.value(listingsOption).toInt(&listingsOk);
    if (!portOk || port > 65535) {
        return wrongUsage(QStringLiteral("--port takes 0 to 65535, not '%1'").arg(parser.value(portOption)));
    }
    if (!listingsOk || listingCount < 0) {
        return wrongUsage(QStringLiteral("--listings takes a count, not '%1'").arg(parser.value(listingsOption)));
    }
    const QString user = parser.value(userOption);
    const QString password = parser.value(passwordOption);
    const QString sellerId = QString::fromLatin1(SellerId);

    sim::MarketSim market;
    market.addAccount(user, password, sellerId);
    for (const sim::Listing& listing : makeListings(listingCount)) {
        market.addListing(sellerId, listing);
    }
    market.setObserver([](const sim::Request& request, int status) {
        printLine(request.method + ' ' + request.target + ' ' +
                  (status > 0 ? QByteArray::number(status) : QByteArrayLiteral("-")));
    });
    sim::MarketSim::Options options;
    options.port = quint16(port);
    if (!market.start(options)) {
        std::fprintf(stderr, "market-sim: cannot listen: %s\n", qPrintable(market.error()));
        return 1;
    }

    printLine(market.baseUrl().toUtf8() + " user " + user.toUtf8() + " password " + password.toUtf8() + " seller " +
              sellerId.toUtf8() + " listings " + QByteArray::number(listingCount));
    const int status = app.exec();
    market.setObserver({});
    return status;
}
