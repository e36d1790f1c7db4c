#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <functional>

struct Form;

// The one clock every wait of the marketplace link reads: monotonic (a wait never sticks at midnight or when the
// system time is set), and as fast as a test wants it, so that a batch's seconds and pauses can pass in
// milliseconds.
class Reloj {
  public:
    explicit Reloj(double velocidad = 1.0);

    // Seconds since the clock was made, at its speed.
    double segundos() const;

    // Lets the window's events run until `listo` holds, `plazo` seconds of this clock have passed, or the window
    // is closing. Nothing in it sleeps: it waits for the next event, or for the deadline, whichever comes first.
    // True when `listo` held.
    bool esperoEventos(Form& f, const std::function<bool()>& listo, double plazo);

  private:
    QElapsedTimer desde_;
    double velocidad_;
    QTimer despertador_;
};

// Waits `Seconds` hundredths of a second (100 is one second) while the window handles its events; returns at once
// for zero or less, and as soon as the window is closing.
void DelayMili(Form& f, Reloj& reloj, const qint32& Seconds);
