#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

struct Form;
struct Mercado;
struct Evento;

// One page of the seller's listings: appends its listings to the listing grid, then asks for the next page (by
// handing over to the sign-in branch within the same event) or ends the download.
void RamaPublicaciones(Form& f, Mercado& m, Evento& ev);

// The download has begun (its first page is asked for): the wait panel shows its progress and "Cancelar".
void empiezoDescarga(Form& f);

// The status line of a download stopped by "Cancelar", with the listings it kept: "Descarga cancelada: 40
// publicaciones." (one: "1 publicación."), the number in the user's format.
QString textoDescargaCancelada(int publicaciones);

// Whether a page's answer is the page asked for, at `offset` of the seller `vendedor`: its "paging" "offset" is that
// offset, its "seller" "id" that seller, and every listing that names a seller names that one. Empty when it is,
// else why not. An answer on a connection that carried an earlier page must pass it.
QString pruebaDePagina(const QByteArray& cuerpo, qint32 offset, const QString& vendedor);
