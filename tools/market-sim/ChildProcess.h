#pragma once
// The programs that tests, benchmarks and the demo run as processes of their own (the gateway, the API double,
// chromedriver): a free port on 127.0.0.1 to hand one, a command run to its end, the first line a server prints, and
// its stop. A signal goes only to
// a process that runs, by its own id: a process that never started has id 0, and a signal to 0 would reach the
// whole process group, the test runner included.
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include <signal.h>

namespace sim {

// A port nothing listens on just now, on 127.0.0.1.
inline quint16 freePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// What a program run to its end left: its standard output and error, and its exit code (-1 when it crashed or was
// killed after its time, -2 when it could not start).
struct Fin {
    QByteArray salida;
    QByteArray errores;
    int codigo = -1;
};

// Runs `program` with `args` to its end, `input` on its standard input; killed after `ms`.
inline Fin run(const QString& program, const QStringList& args, const QByteArray& input = {}, int ms = 30'000) {
    QProcess p;
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(ms)) {
        p.kill();
        p.waitForFinished(5000);
        return {p.readAllStandardOutput(), p.readAllStandardError(), p.error() == QProcess::FailedToStart ? -2 : -1};
    }
    return {p.readAllStandardOutput(), p.readAllStandardError(),
            p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1};
}

// The first line a starting program prints, within `ms`; empty when none came.
inline QString firstLine(QProcess& p, int ms = 10'000) {
    for (int waited = 0; waited < ms && !p.canReadLine() && p.state() != QProcess::NotRunning; waited += 100)
        p.waitForReadyRead(100);
    return QString::fromUtf8(p.readLine()).trimmed();
}

// Sends `signal` to the process when it runs.
inline void signal(QProcess& p, int signal) {
    if (p.state() != QProcess::NotRunning && p.processId() > 0)
        ::kill(static_cast<pid_t>(p.processId()), signal);
}

// Asks the process to end (SIGTERM) and waits up to `ms`, then kills it. Its exit code; -1 when it did not end by
// itself.
inline int stop(QProcess& p, int ms = 10'000) {
    if (p.state() != QProcess::NotRunning) {
        signal(p, SIGTERM);
        if (!p.waitForFinished(ms)) {
            p.kill();
            p.waitForFinished();
            return -1;
        }
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

}  // namespace sim
