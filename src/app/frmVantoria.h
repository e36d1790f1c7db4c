#pragma once

#include "Configuracion.h"
#include "DatabaseEngine.h"
#include "Dialogs.h"
#include "Form.h"
#include "Inet.h"

#include <QDateTime>
#include <QList>
#include <QSslCertificate>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class Diario;
class Reloj;
struct Mercado;

// The program's one window: lays the controls out and connects each control's events to its handler.
class frmVantoria : public QWidget {
    Q_OBJECT
  public:
    struct Options {
        // The folder whose "Base de Datos.dba" the window reads; the program's own folder when empty.
        QString programFolder;
        // The message boxes; Qt's own when null.
        Dialogs* dialogs = nullptr;
        // Sees every statement the database engine runs.
        DatabaseEngine::Observer statementObserver;
        // How the catalogue is reached through ODBC; this platform's way unless given.
        std::optional<OdbcSettings> odbc;

        // The settings read from Vantoria.ini (the program does; a test may): the endpoints, the extra authorities,
        // the catalogue and the journal's folder. Their problems are told in one notice at the first activation,
        // before the catalogue loads. The build's values when not given.
        std::optional<Configuracion> configuracion;
        // The marketplace's search interface and the gateway; those of the settings unless a test or the demo
        // gives its own.
        QString urlMercado;
        QString urlPasarela;
        // Trusted besides the system's authorities: those of the settings, unless given here.
        std::optional<QList<QSslCertificate>> autoridadesExtra;
        // The channel's time-outs: no byte for this long, or the whole request for this long.
        int sinDatosMs = Inet::Ajustes().sinDatosMs;
        int totalMs = Inet::Ajustes().totalMs;
        // Whether the listing pages share one kept connection (each checked to be the page asked for).
        bool paginasEnUnaConexion = Inet::Ajustes().paginasEnUnaConexion;
        // How fast the clock of every wait runs: 1 is real time.
        double velocidadReloj = 1.0;
        // The folder of the journal of price changes (the user's data folder unless given), and the clock that
        // dates its lines and picks its monthly file (the system's, in UTC, unless given).
        QString carpetaDiario;
        std::function<QDateTime()> relojDiario;
    };

    frmVantoria();
    explicit frmVantoria(Options options);
    ~frmVantoria() override;

    Form& form() { return form_; }
    // The database engine of the run, made at its first use.
    DatabaseEngine& DBEngine();
    Inet& Inet1() { return *inet_; }
    // What the marketplace handlers share: the channel, the clock and the endpoints.
    Mercado& mercado() { return *mercado_; }

  protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void Form_Activate();
    void Grid1_Click();
    void Grid1_DblClick();
    void BuscarPalabra_Enter();
    void Buscar_Enter();
    void Command1_Click();
    void Inet1_StateChanged(int State);

    Options options_;
    Form form_;
    std::unique_ptr<QtDialogs> qtDialogs_;
    std::unique_ptr<DatabaseEngine> engine_;
    std::unique_ptr<Reloj> reloj_;
    Inet* inet_ = nullptr;
    std::unique_ptr<Mercado> mercado_;
    std::unique_ptr<Diario> diario_;
};
