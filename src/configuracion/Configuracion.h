#pragma once

#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

// The program's settings: where it reaches the marketplace and the gateway, what it trusts besides the system's
// authorities, and which files it works on. The build gives the defaults; a Vantoria.ini beside the program and one
// in the user's configuration folder change them.
struct Configuracion {
    QString urlMercado;                       // [marketplace] url
    QString urlPasarela;                      // [gateway] url
    QList<QSslCertificate> autoridadesExtra;  // [tls] extra_ca, read from its PEM file
    QString archivoCatalogo;                  // [catalogue] file; empty: "Base de Datos.dba" beside the program
    QString carpetaDiario;                    // [journal] folder; empty: none chosen
    // A line for each value that could not be used, naming its file, its key and what is wrong with it; each such
    // key kept its default.
    QStringList problemas;

    // The values the program was built with.
    static Configuracion deCompilacion();
};

inline constexpr char ArchivoConfiguracion[] = "Vantoria.ini";

// Reads Vantoria.ini (INI, UTF-8) from `carpetaPrograma`, then from `carpetaUsuario`; either may be empty or hold no
// such file. A key the user's file sets wins over the same key beside the program; a key neither sets keeps its
// value in `predeterminada`, as does a key whose value is wrong. Sections and keys are matched in any letter case; a
// section, key or line the program does not know is told in `problemas`. Values are taken as they stand (no escapes);
// in a path a backslash, or two in a row, is a separator. A relative path is taken from the folder of the file that
// names it.
Configuracion leoConfiguracion(const QString& carpetaPrograma, const QString& carpetaUsuario,
                               Configuracion predeterminada = Configuracion::deCompilacion());

// The user's configuration folder: where the user's own Vantoria.ini goes.
QString carpetaConfiguracionUsuario();
