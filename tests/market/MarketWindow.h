#pragma once

// The window on a small generated catalogue, signed in against the marketplace simulator over HTTPS on
// 127.0.0.1, with scripted message boxes and every state the channel delivered.

#include "CatalogueGenerator.h"
#include "Dialogs.h"
#include "FlexGrid.h"
#include "Form.h"
#include "Inet.h"
#include "SimWindow.h"

#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

struct MarketWindow {
    static inline const QString User = QStringLiteral("ana");
    static inline const QString Password = QStringLiteral("cl&ve=1%");
    static inline const QString Seller = QStringLiteral("12345");

    QTemporaryDir dir;
    ScriptedDialogs dialogs;
    sim::MarketSim server;
    std::unique_ptr<frmVantoria> w;
    QList<int> states;
    QList<bool> enabledAtState;  // whether the window took input right after each state was handled

    Form& f() { return w->form(); }

    // `count` products named "Producto 001" ... in one category, priced 10.50, 11.50 ..., each linked to the listing
    // "MLV1000" ... that addListings(count) puts on the marketplace.
    static catalogo::Catalogo linkedShop(int count) {
        catalogo::Catalogo c;
        c.categorias = {{1, QStringLiteral("Ferretería")}};
        for (int i = 0; i < count; ++i) {
            catalogo::Producto p;
            p.codigo = 100 + i;
            p.codProd = QStringLiteral("P-%1").arg(p.codigo);
            p.nombre = QStringLiteral("Producto %1").arg(i + 1, 3, 10, QChar(u'0'));
            p.categoria = 1;
            p.precio = 10.5 + i;
            p.serial = QStringLiteral("MLV%1").arg(1000 + i);
            c.productos.push_back(p);
        }
        return c;
    }

    void addListings(int count) {
        for (int i = 0; i < count; ++i)
            server.addListing(Seller, {QStringLiteral("MLV%1").arg(1000 + i),
                                       QStringLiteral("Publicación %1").arg(i + 1), 100.0 + i});
    }

    // Starts the simulator and opens the window against it; `adjust` may change the window's options first.
    bool open(int listings = 0, const std::function<void(frmVantoria::Options&)>& adjust = {},
              const sim::MarketSim::Options& serverOptions = {}, const catalogo::Catalogo& shop = linkedShop(3)) {
        if (!dir.isValid())
            return false;
        catalogo::escribo(dir.filePath(QStringLiteral("Base de Datos.dba")), shop);
        server.addAccount(User, Password, Seller);
        addListings(listings);
        if (!server.start(serverOptions))
            return false;
        frmVantoria::Options o;
        o.programFolder = dir.path();
        o.dialogs = &dialogs;
        sim::apuntoAlSimulador(o, server);
        o.carpetaDiario = dir.filePath(QStringLiteral("journal"));
        o.sinDatosMs = 5000;
        o.totalMs = 10000;
        if (adjust)
            adjust(o);
        w = std::make_unique<frmVantoria>(o);
        QObject::connect(&w->Inet1(), &Inet::StateChanged, &w->Inet1(), [this](int s) {
            states << s;
            enabledAtState << ventanaHabilitada(f());
        });
        w->show();
        w->activateWindow();
        if (!QTest::qWaitForWindowActive(w.get()))
            return false;
        return waitFor([this] { return sim::ventanaLista(*w); }) && f().Grid1->rows() == int(shop.productos.size()) + 1;
    }

    static bool waitFor(const std::function<bool()>& done, int millis = 15000) { return QTest::qWaitFor(done, millis); }

    // Types the account into the sign-in boxes and presses "Conectar".
    void signIn(const QString& user = User, const QString& password = Password) {
        f().Usuario->setText(user);
        f().Clave->setText(password);
        QTest::mouseClick(f().Command1, Qt::LeftButton);
    }

    // Until no operation runs and no request is outstanding.
    bool waitIdle(int millis = 15000) {
        return waitFor([this] { return sim::ventanaQuieta(*w); }, millis);
    }

    QStringList offsetsRequested() const {
        QStringList out;
        for (const sim::Request& r : server.log(sim::PathSearch))
            out << r.query.value(QStringLiteral("offset"));
        return out;
    }

    // Signs in and waits for the listings.
    bool signedIn() {
        signIn();
        return waitIdle() && dialogs.shown.isEmpty();
    }

    bool signInEnabled() { return f().Command1->isEnabled() && f().Usuario->isEnabled() && f().Clave->isEnabled(); }
};
