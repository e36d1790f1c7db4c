#pragma once

#include <QString>
#include <QStringView>

// What the program says to the marketplace and the gateway, and how it reads their answers: pure functions, tested
// without a network.
namespace solicitudes {

inline constexpr int Limite = 20;  // listings per search page

// Where a listing download that does not end by itself is stopped: a server announcing more than it sends, or
// sending full pages for good, would otherwise keep the window downloading and the listing grid growing for ever.
inline constexpr int MaxPaginas = 5000;
inline constexpr int MaxPublicaciones = 100'000;
// The longest title kept: a listing's title is shown in a grid cell, and megabytes of it would freeze the window.
inline constexpr qsizetype MaxTitulo = 1000;

inline const QString Metodo = QStringLiteral("POST");
inline const QString Encabezado = QStringLiteral("Content-Type: application/x-www-form-urlencoded");

inline const QString RutaIngreso = QStringLiteral("/mercadolibre/ml00000316_LogeandoEspecial.php");
inline const QString RutaBusqueda = QStringLiteral("/sites/MLV/search");
inline const QString RutaPrecio = QStringLiteral("/mercadolibre/ml00000102_meliGet.php");
inline const QString RutaPausa = QStringLiteral("/mercadolibre/ml00000319_Blank.php");

// Every byte of the value's UTF-8 but A-Z a-z 0-9 - . _ ~ as %XX (upper-case hex), so that no value can add a key,
// end a line or change the meaning of the request around it.
QString codifico(const QString& valor);

// A base URL without the slash at its end, so that paths join it cleanly.
QString base(const QString& url);

QString cuerpoIngreso(const QString& usuario, const QString& clave);
QString urlIngreso(const QString& pasarela);
QString urlPagina(const QString& mercado, int limite, qint32 offset, const QString& idVendedor);
QString urlPrecio(const QString& pasarela, const QString& idPublicacion, const QString& precio);
QString urlPausa(const QString& pasarela);

// The text without the blanks at its start and end (only the blank: tabs and line ends stay).
QString sinBlancos(const QString& texto);

// Position (from 0) of the first "Listo!!!" in the text, letter case ignored; -1 when there is none.
qsizetype posicionListo(const QString& texto);
inline bool esListo(const QString& texto) {
    return posicionListo(texto) >= 0;
}

// The seller's identifier in a sign-in answer: everything after the first "Listo!!!", without the blanks, tabs and
// line ends around it.
QString idVendedor(const QString& respuesta);

// A listing's title as the window keeps it: its first MaxTitulo characters, one fewer where the cut would split a
// surrogate pair.
QString tituloAcotado(const QString& titulo);

// The number at the start of a text, as a reader of typed numbers takes it: leading blanks skipped, then an
// optional sign, digits, a decimal point and an exponent; 0 when the text does not begin with a number.
double valorInicial(QStringView texto);

// A number as the error reports write it: one leading blank for zero or more (a minus sign otherwise), its
// shortest decimal form, and no zero before the point of a value below one (0.007 gives " .007").
QString numeroInforme(double valor);

// The channel's line about an answer ("HTTP/1.1 403 Forbidden"), followed for an HTTP error (4xx or 5xx) by the
// beginning of what the host said: its first 200 characters, each run of blanks and line ends made one blank. The
// operator then sees why the host refused, not only what failed to read its answer.
QString lineaDeRespuesta(const QString& info, QStringView cuerpo);

// The text of a channel state for the status labels; the state of a complete response (12) has none.
QString textoEstado(int estado);

}  // namespace solicitudes
