#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

// The journal of price changes: one JSON object per line (UTF-8), appended to journal/precios-YYYY-MM.jsonl in its
// folder, one file a month (UTC). Every price request writes an intent line before it leaves, flushed to the disk,
// and an outcome line once its fate is known; a batch also writes a start and an end line with its counts. Lines
// are appended whole, one write each, so two running copies never interleave; a last line left without its end (a
// crash, a full disk) is ended before the next, so it never swallows it. A batch is known by its number in the month
// of its start together with its start time ("batch_start"), since its items may fall in the next month's file. Nothing
// secret goes in: no user, password or seller id. A journal that cannot be written is reported once per run through
// `aviso`; pushing goes on.
class Diario {
  public:
    enum class Resultado { Aplicado, Rechazado, Fallido };
    struct Cuentas {
        int aplicados = 0, rechazados = 0, fallidos = 0;
        bool detenida = false;   // the batch ended before its last row (a failure, the window closed, "Cancelar")
        bool cancelada = false;  // it was the operator's "Cancelar" that stopped it
        int sinEnviar = 0;       // the items it would still have sent
    };
    struct Opciones {
        QString carpeta;                            // the folder that holds the monthly files
        std::function<QDateTime()> ahora;           // the clock; the system's in UTC when empty
        std::function<void(const QString&)> aviso;  // told once per run when a line cannot be written
    };

    explicit Diario(Opciones opciones);

    // Writes the intent of one price request and returns its id. `tanda` is 0 for a single push.
    QString intencion(int tanda, const QString& codigo, const QString& producto, const QString& publicacion,
                      const QString& precio);
    // Writes the outcome of the request `id`: the answer (refused, cut to 500 characters) or the channel's
    // information (failed).
    void resultado(const QString& id, Resultado r, const QString& texto = QString());

    // Starts a batch: its number (one more than the highest any line of this month's file names, so a batch begun
    // last month and still writing here is not numbered again) and its start line.
    int empiezoTanda();
    // The end line, in the file of the start line: the counts, and for a batch that stopped short how many items
    // it did not send.
    void terminoTanda(int tanda, const Cuentas& cuentas);

  private:
    void escribo(const QString& ruta, const QByteArray& linea, bool alDisco);
    QDateTime hora() const;

    Opciones op_;
    QString archivoPendiente_;  // the file of the last intent, where its outcome goes
    QString archivoTanda_;      // the file of the batch's start line, where its end line goes
    QString inicioTanda_;       // the start time of the batch under way, written on each of its lines
    QString corrida_;           // distinguishes the request ids of this run from any other's
    int siguiente_ = 0;
    bool avisado_ = false;
};

// The outcome of a batch in the operator's words: "Tanda terminada: 33 actualizados, 1 rechazado, 1 con error.", or
// for one stopped short "Tanda detenida: 2 actualizados, 0 rechazados, 0 con error, 26 sin enviar." ("Tanda
// cancelada: ..." when the operator stopped it).
QString resumenTanda(const Diario::Cuentas& c);

// The journal's file in `carpeta` for the month of `cuando` (UTC): precios-YYYY-MM.jsonl.
QString archivoDelMes(const QString& carpeta, const QDateTime& cuando);

// Where the journal lives unless the settings say otherwise: journal/ in the user's data folder of the program.
QString carpetaDiario();
