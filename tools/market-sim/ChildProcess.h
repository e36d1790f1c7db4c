#pragma once
// The programs that tests and benchmarks run as processes of their own (the gateway, the API double,
// chromedriver): a free port on 127.0.0.1 to hand one, the first line it prints, and its stop. A signal goes only to
// a process that runs, by its own id: a process that never started has id 0, and a signal to 0 would reach the
// whole process group, the test runner included.
#include <QProcess>
#include <QString>
#include <QTcpServer>

#include <signal.h>

namespace sim {

// A port nothing listens on just now, on 127.0.0.1.
inline quint16 freePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
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
