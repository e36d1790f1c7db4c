#pragma once

// The HTTPS/1.1 server, living in a thread of its own: accepts connections on 127.0.0.1, completes the TLS
// handshake, reads requests one after another and writes their answers, or plays the fault chosen for them.

#include "Http.h"
#include "State.h"

#include <QObject>
#include <QSslConfiguration>
#include <QSslSocket>

#include <functional>
#include <optional>
#include <utility>

class QSslServer;

namespace sim {

// One accepted connection; a child of its socket, so both go together.
class Connection : public QObject {
  public:
    Connection(QSslSocket* socket, int serial) : QObject(socket), socket(socket), serial(serial) {}

    QSslSocket* const socket;
    const int serial;
    QByteArray buffer;
    bool silent = false;   // never answers again (NoAnswer, Trickle, HeaderFlood): whatever comes is thrown away
    bool closing = false;  // closed or closing: nothing more is read
    bool gone = false;     // disconnected
    // A request that arrived and waits out the round trip before it is handled; the client asked to close after it.
    std::optional<std::pair<Request, bool>> inTransit;
    // The request whose answer is still to come.
    std::optional<Request> pending;
    quint64 pendingId = 0;
    bool pendingClose = false;
    bool holding = false;  // a stale answer is still to be written after the last one (StaleSecond)
    // Streaming: the next piece to write as the socket drains; empty once the answer is over.
    std::function<QByteArray()> nextPiece;
    bool streaming = false;
    bool pumping = false;

    // An answer is still to come (in transit, delayed, streaming or followed by a stale one); later requests wait.
    bool busy() const { return inTransit.has_value() || pending.has_value() || streaming || holding; }
};

class Server : public QObject {
  public:
    Server(State* state, int roundTripMs) : state(state), roundTripMs(roundTripMs) {}

    bool listen(const QSslConfiguration& configuration, quint16 port, QString* error, quint16* boundPort);
    // Closes everything at once; runs in the server's thread.
    void shutdown();

  private:
    // What handling a request left to do: the status to report (0: none) and whether to report it now.
    struct Outcome {
        int status = 0;
        bool notifyNow = true;
    };

    void accept();
    void lost(Connection* c);
    void read(Connection* c);
    void serve(Connection* c);
    void arrive(Connection* c);
    void handle(Connection* c, Request request, bool close);
    int sendWhole(Connection* c, Request& request, const Answer& answer, bool close, const QByteArray& headers = {});
    int sendRaw(Connection* c, Request& request, int status, const QByteArray& bytes, bool close);
    void answerLate(Connection* c, const Answer& answer);
    void finishAnswer(Connection* c);
    void notify(const Request& request, int status);

    // Faults.cpp: what a fault writes instead of the normal answer, with the caller holding the lock, and what it
    // goes on doing once the lock is released.
    Outcome misbehave(Connection* c, Request& request, const Fault& fault, const Answer& normal, bool close);
    void carryOn(Connection* c, const Request& request, const Fault& fault, const Answer& normal);
    void startTrickle(Connection* c, int millis);
    // Ends the connection the way `how` says (one of the kinds that end a body running to the close) once what
    // was written has gone out.
    void endConnection(Connection* c, FaultKind how, int millis, int tries = 0);
    void pump(Connection* c);

    State* const state;
    const int roundTripMs;
    QSslServer* listener = nullptr;
    int nextSerial = 1;
    bool stopping = false;
};

// Faults whose answer is the normal one (late, cut or altered) let the request take effect; the others do not.
bool takesEffect(const std::optional<Fault>& fault);

// A fault that leaves the answer as it is: none, or a delay of nothing.
bool answersNormally(const std::optional<Fault>& fault);

}  // namespace sim
