#pragma once
// A PostgreSQL server of the tests' own: a fresh cluster in a temporary folder, on a free port of 127.0.0.1, its
// socket in that folder, stopped by its pid at the end. Run as root, the server runs as the unprivileged `postgres`
// user (PostgreSQL refuses root).

#include "ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

class PostgresServer {
  public:
    static constexpr char User[] = "vantoria";
    static constexpr char Password[] = "clave de prueba";

    // The folder with initdb and postgres (the newest installed version), empty when PostgreSQL is not installed.
    static QString binaries() {
        const QStringList versions =
            QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (auto v = versions.crbegin(); v != versions.crend(); ++v) {
            const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(*v);
            if (QFile::exists(bin + "/initdb") && QFile::exists(bin + "/postgres")) {
                return bin;
            }
        }
        return {};
    }

    ~PostgresServer() { stop(); }

    bool start(QString* error) {
        if (!dir_.isValid()) {
            *error = QStringLiteral("no temporary folder");
            return false;
        }
        if (::getuid() == 0) {
            const passwd* pw = ::getpwnam("postgres");
            if (!pw || ::chown(QFile::encodeName(dir_.path()).constData(), pw->pw_uid, pw->pw_gid) != 0) {
                *error = QStringLiteral("no postgres user to run the server as");
                return false;
            }
            uid_ = pw->pw_uid;
            gid_ = pw->pw_gid;
        }
        QFile pw(dir_.filePath(QStringLiteral("pw")));
        if (!pw.open(QIODevice::WriteOnly) || pw.write(Password) < 0) {
            *error = pw.errorString();
            return false;
        }
        pw.close();
        if (uid_ != 0 && ::chown(QFile::encodeName(pw.fileName()).constData(), uid_, gid_) != 0) {
            *error = QStringLiteral("cannot hand the password file over");
            return false;
        }
        QProcess initdb;
        initdb.setProcessChannelMode(QProcess::MergedChannels);
        launch(initdb, QStringLiteral("initdb"),
               {QStringLiteral("-D"), data(), QStringLiteral("-U"), QString::fromLatin1(User),
                QStringLiteral("--pwfile=") + pw.fileName(), QStringLiteral("--auth=scram-sha-256"),
                QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C"), QStringLiteral("-N")});
        if (!initdb.waitForFinished(120000) || initdb.exitCode() != 0) {
            *error = QStringLiteral("initdb: ") + QString::fromLocal8Bit(initdb.readAll());
            initdb.kill();
            initdb.waitForFinished(5000);
            return false;
        }
        port_ = sim::freePort();
        return run(error);
    }

    // Starts the server on the cluster made by start(), on the same port: a restart is stop() then resume().
    bool resume(QString* error) { return run(error); }

    // A fast shutdown by the server's pid, waited for.
    void stop() {
        if (server_.state() == QProcess::NotRunning) {
            return;
        }
        ::kill(static_cast<pid_t>(server_.processId()), SIGINT);
        if (!server_.waitForFinished(30000)) {
            server_.kill();
            server_.waitForFinished(5000);
        }
    }

    int port() const { return port_; }
    QString data() const { return dir_.filePath(QStringLiteral("data")); }
    QString url(const QString& database) const {
        return QStringLiteral("postgresql://%1:%2@127.0.0.1:%3/%4")
            .arg(QLatin1String(User), QString::fromLatin1(QByteArray(Password).toPercentEncoding()))
            .arg(port_)
            .arg(database);
    }

    // A new empty database; each test gets one so no rows leak between them.
    QString createDatabase() {
        const QString name = QStringLiteral("t%1").arg(++databases_);
        QSqlDatabase admin = adminConnection();
        QSqlQuery query(admin);
        return query.exec(QStringLiteral("CREATE DATABASE ") + name) ? name : QString();
    }

  private:
    // Through setpriv, which executes the program in its own place (the pid is the server's): as `postgres` when run
    // as root, and told to stop fast if the test program dies first, so a crashed test leaves no server behind.
    void launch(QProcess& p, const QString& program, const QStringList& args) const {
        QStringList wrap{QStringLiteral("--pdeathsig"), QStringLiteral("INT")};
        if (uid_ != 0) {
            wrap << QStringLiteral("--reuid=%1").arg(uid_) << QStringLiteral("--regid=%1").arg(gid_)
                 << QStringLiteral("--clear-groups");
        }
        p.start(QStringLiteral("setpriv"),
                wrap + QStringList{QStringLiteral("--"), binaries() + u'/' + program} + args);
    }

    bool run(QString* error) {
        server_.setProcessChannelMode(QProcess::MergedChannels);
        launch(server_, QStringLiteral("postgres"),
               {QStringLiteral("-D"), data(), QStringLiteral("-p"), QString::number(port_), QStringLiteral("-h"),
                QStringLiteral("127.0.0.1"), QStringLiteral("-k"), dir_.path(), QStringLiteral("-c"),
                QStringLiteral("fsync=off"), QStringLiteral("-c"), QStringLiteral("full_page_writes=off"),
                QStringLiteral("-c"), QStringLiteral("max_connections=200")});
        if (!server_.waitForStarted(10000)) {
            *error = server_.errorString();
            return false;
        }
        // Ready when a connection gets in; bounded.
        for (int i = 0; i < 200; ++i) {
            {
                QSqlDatabase admin = adminConnection();
                if (admin.isOpen()) {
                    return true;
                }
            }
            QSqlDatabase::removeDatabase(QStringLiteral("pg-admin"));
            if (server_.waitForFinished(100)) {
                break;
            }
        }
        *error = QStringLiteral("postgres did not start: ") + QString::fromLocal8Bit(server_.readAll());
        stop();
        return false;
    }

    QSqlDatabase adminConnection() const {
        const QString name = QStringLiteral("pg-admin");
        QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                       : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        if (!db.isOpen() || !QSqlQuery(db).exec(QStringLiteral("SELECT 1"))) {
            db.close();
            db.setHostName(QStringLiteral("127.0.0.1"));
            db.setPort(port_);
            db.setUserName(QString::fromLatin1(User));
            db.setPassword(QString::fromLatin1(Password));
            db.setDatabaseName(QStringLiteral("postgres"));
            db.open();
        }
        return db;
    }

    QTemporaryDir dir_;
    QProcess server_;
    int port_ = 0;
    int databases_ = 0;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};
