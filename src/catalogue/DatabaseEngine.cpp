// Opening a catalogue database (DatabaseEngine in DatabaseEngine.h): the file's kind, the driver that opens it
// (Qt's SQLite driver with Jet's LIKE and collation, or ODBC), the connection that reads its selects (straight from
// SQLite where it can, the sort of a large file on a thread of its own), and the ODBC drivers installed. The rows a
// select gives are in Recordset.cpp.

#include "DatabaseEngine.h"

#include "JetSql.h"
#include "Utf8.h"

#include <QAtomicInt>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>

#include <sqlite3.h>

#ifdef Q_OS_WIN
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <future>
#include <iterator>
#include <system_error>
#include <thread>

DatabaseError::DatabaseError(QString archivo, QString mensaje, QString sentencia)
    : archivo_(std::move(archivo)), mensaje_(std::move(mensaje)), sentencia_(std::move(sentencia)) {
    what_ = aviso().toUtf8();
}

QString DatabaseError::aviso() const {
    if (sentencia_.isEmpty())
        return QStringLiteral("No se pudo abrir la base de datos \"%1\".\r%2").arg(archivo_, mensaje_);
    return QStringLiteral("La base de datos \"%1\" no pudo ejecutar la consulta.\r%2").arg(archivo_, mensaje_);
}

Database::~Database() = default;

namespace {

QString nextConnectionName() {
    static QAtomicInt counter;
    return QStringLiteral("vantoria-%1").arg(counter.fetchAndAddRelaxed(1));
}

QString engineMessage(const QSqlError& e) {
    QString text = e.databaseText().isEmpty() ? e.text() : e.databaseText();
    if (!e.driverText().isEmpty() && !text.contains(e.driverText()) && e.databaseText().isEmpty())
        text = e.driverText();
    return text.trimmed();
}

// The SQLite connection behind a QSQLITE driver; false when the driver gives none.
bool sqliteHandle(const QSqlDriver* driver, sqlite3** out) {
    const QVariant handle = driver ? driver->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return false;
    *out = *static_cast<sqlite3* const*>(handle.constData());
    return true;
}

// Whether SQLite reads these bytes as UTF-8 does: well-formed, no surrogates, nothing past U+10FFFF, and neither
// U+FFFE nor U+FFFF (which SQLite reads as U+FFFD).
bool readsAsUtf8(const char* text, qsizetype bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const auto* end = p + bytes;
    for (char32_t u; p != end;) {
        if (*p < 0x80) {
            ++p;
        } else if (!json::nextUtf8(p, end, u) || u == 0xFFFE || u == 0xFFFF) {
            return false;
        }
    }
    return true;
}

// While it lives, SQLite calls `whileReading` every few thousand steps of the statements run on `sqlite` (null:
// it does nothing).
class ProgressGuard {
  public:
    ProgressGuard(sqlite3* sqlite, const Database::WhileReading& whileReading) {
        if (!whileReading || !sqlite)
            return;
        sqlite_ = sqlite;
        sqlite3_progress_handler(
            sqlite_, 20000,
            [](void* callback) {
                (*static_cast<const Database::WhileReading*>(callback))();
                return 0;
            },
            const_cast<Database::WhileReading*>(&whileReading));
    }
    ~ProgressGuard() {
        if (sqlite_)
            sqlite3_progress_handler(sqlite_, 0, nullptr, nullptr);
    }
    ProgressGuard(const ProgressGuard&) = delete;
    ProgressGuard& operator=(const ProgressGuard&) = delete;

  private:
    sqlite3* sqlite_ = nullptr;
};

// A connection opened on one file; statements as the program wrote them go to `observer`, the engine gets
// `translate(statement)`.
class QtSqlDatabase : public Database {
  public:
    QtSqlDatabase(QString path, DatabaseEngine::Observer observer, QString (*translate)(const QString&),
                  qint64 sortAsideBytes = DatabaseEngine::DefaultSortAsideBytes)
        : path_(std::move(path)),
          observer_(std::move(observer)),
          translate_(translate),
          name_(nextConnectionName()),
          sortAsideBytes_(sortAsideBytes) {}
    ~QtSqlDatabase() override { close(); }

    QSqlDatabase db() const { return QSqlDatabase::database(name_, false); }
    const QString& name() const { return name_; }
    const QString& path() const { return path_; }

    std::unique_ptr<Recordset> openRecordset(const QString& statement, const WhileReading& whileReading = {}) override {
        report(statement);
        const QString translated = translate_(statement);
        sqlite3* sqlite = nullptr;
        if (!sqliteHandle(db().driver(), &sqlite))
            sqlite = nullptr;
        if (sqlite)
            if (auto rs = readSqlite(sqlite, translated, statement, whileReading))
                return rs;
        // SQLite sorts the whole result before it gives the first row; it calls back during that time too.
        const ProgressGuard progress(sqlite, whileReading);
        QSqlQuery q(db());
        q.setForwardOnly(true);
        if (!q.exec(translated))
            throw DatabaseError(path_, engineMessage(q.lastError()), statement);
        const QSqlRecord rec = q.record();
        QStringList names;
        for (int i = 0; i < rec.count(); ++i)
            names << rec.fieldName(i);
        const int width = rec.count();
        auto rs = std::make_unique<Recordset>(std::move(names));
        while (q.next()) {
            rs->appendRow();
            for (int i = 0; i < width; ++i)
                rs->setVariant(i, q.value(i));
            if (whileReading)
                whileReading();
        }
        if (q.lastError().isValid())
            throw DatabaseError(path_, engineMessage(q.lastError()), statement);
        return rs;
    }

    void execute(const QString& statement) override {
        report(statement);
        QSqlQuery q(db());
        if (!q.exec(translate_(statement)))
            throw DatabaseError(path_, engineMessage(q.lastError()), statement);
    }

    void close() override {
        if (closed_)
            return;
        closed_ = true;
        {
            QSqlDatabase d = db();
            if (d.isValid())
                d.close();
        }
        QSqlDatabase::removeDatabase(name_);
    }

  private:
    // A select read straight from SQLite, each field as Qt's SQLite driver gives it but without a QVariant and a
    // QString per field: numbers as they are, texts in the UTF-8 SQLite keeps them in. Null when the statement is
    // one the driver treats specially (none, or more than one); the driver then runs it.
    std::unique_ptr<Recordset> readSqlite(sqlite3* sqlite, const QString& translated, const QString& statement,
                                          const WhileReading& whileReading) {
        sqlite3_stmt* stmt = nullptr;
        const void* tail = nullptr;
        const int prepared =
            sqlite3_prepare16_v2(sqlite, translated.utf16(), int((translated.size() + 1) * 2), &stmt, &tail);
        const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> finalize(stmt, &sqlite3_finalize);
        if (prepared != SQLITE_OK)
            throw DatabaseError(path_, sqliteMessage(sqlite), statement);
        if (!stmt || (tail && !QStringView(static_cast<const char16_t*>(tail)).trimmed().isEmpty()))
            return nullptr;
        const int width = sqlite3_column_count(stmt);
        QStringList names;
        for (int i = 0; i < width; ++i)
            names << QString::fromUtf16(static_cast<const char16_t*>(sqlite3_column_name16(stmt, i))).remove(u'"');
        auto rs = std::make_unique<Recordset>(std::move(names));
        int stepped = firstStep(sqlite, stmt, whileReading, QFileInfo(path_).size() >= sortAsideBytes_);
        // The rows that follow are merged from the sorted runs a few at a time: SQLite calls back often enough.
        const ProgressGuard progress(sqlite, whileReading);
        for (;; stepped = sqlite3_step(stmt)) {
            if (stepped == SQLITE_DONE)
                break;
            if (stepped != SQLITE_ROW)
                throw DatabaseError(path_, sqliteMessage(sqlite), statement);
            rs->appendRow();
            for (int i = 0; i < width; ++i) {
                switch (sqlite3_column_type(stmt, i)) {
                    case SQLITE_INTEGER:
                        rs->setInteger(i, sqlite3_column_int64(stmt, i));
                        break;
                    case SQLITE_FLOAT:
                        rs->setReal(i, sqlite3_column_double(stmt, i));
                        break;
                    case SQLITE_NULL:
                        rs->setNull(i, QMetaType::fromType<QString>());
                        break;
                    case SQLITE_BLOB:
                        rs->setVariant(i, QByteArray(static_cast<const char*>(sqlite3_column_blob(stmt, i)),
                                                     sqlite3_column_bytes(stmt, i)));
                        break;
                    default: {
                        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
                        const int bytes = sqlite3_column_bytes(stmt, i);
                        if (readsAsUtf8(text, bytes)) {
                            rs->setUtf8(i, text, bytes);
                        } else {
                            // SQLite's own reading of bytes that are no well-formed UTF-8, as the driver gets it.
                            const auto* units = static_cast<const char16_t*>(sqlite3_column_text16(stmt, i));
                            rs->setUtf16(i, units, sqlite3_column_bytes16(stmt, i) / 2);
                        }
                        break;
                    }
                }
            }
            // Every 64 rows (a hundred microseconds or so): the callback reads the clock each time.
            if (whileReading && rs->RecordCount() % 64 == 0)
                whileReading();
        }
        return rs;
    }

    // The first step of a select: where it sorts, SQLite reads and sorts every row before it gives the first one,
    // and it sorts a run of rows (2 MB of them), or merges runs, inside one step of its program, where no progress
    // handler is called: 17 to 50 ms each at a million products. On a large file (`aside`, see
    // DatabaseEngine::sortAsideBytes()) that step runs on a thread of its own while this one calls back every two
    // milliseconds; nothing else uses the connection meanwhile. The rows themselves are read here, so that their
    // memory is this thread's heap, which the grid reuses. A small file is sorted here: its runs are few, and on a
    // thread of its own the sort took longer.
    static int firstStep(sqlite3* sqlite, sqlite3_stmt* stmt, const WhileReading& whileReading, bool aside) {
        // Only with SQLite serializing the use of a connection, so that even an unforeseen use of it from this
        // thread while the other steps waits instead of breaking it.
        std::promise<int> stepped;
        std::future<int> done = stepped.get_future();
        std::thread stepper;
        if (whileReading && aside && sqlite3_threadsafe() == 1) {
            try {
                stepper = std::thread([&] { stepped.set_value(sqlite3_step(stmt)); });
            } catch (const std::system_error&) {
                // No thread to be had: the sort runs here, as for a small file.
            }
        }
        if (!stepper.joinable()) {
            const ProgressGuard progress(sqlite, whileReading);
            return sqlite3_step(stmt);
        }
        // Whatever leaves early (a callback that throws), the step is stopped before the statement goes.
        const auto joined = qScopeGuard([&] {
            if (stepper.joinable()) {
                sqlite3_interrupt(sqlite);
                stepper.join();
            }
        });
        while (done.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready)
            whileReading();
        stepper.join();
        return done.get();
    }

    static QString sqliteMessage(sqlite3* sqlite) {
        return QString::fromUtf16(static_cast<const char16_t*>(sqlite3_errmsg16(sqlite))).trimmed();
    }

    void report(const QString& statement) {
        if (closed_)
            throw DatabaseError(path_, QStringLiteral("La base de datos está cerrada."), statement);
        if (observer_)
            observer_(statement);
    }

    QString path_;
    DatabaseEngine::Observer observer_;
    QString (*translate_)(const QString&);
    QString name_;
    qint64 sortAsideBytes_;
    bool closed_ = false;
};

// SQLWCHAR is 16 bits wide on Windows and with unixODBC, the wide functions speak UTF-16.
QString fromSqlWide(const SQLWCHAR* text, SQLSMALLINT length) {
    static_assert(sizeof(SQLWCHAR) == sizeof(char16_t));
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(text), qsizetype(length));
}

enum class Kind { Missing, Unreadable, Sqlite, Jet, Unknown };

Kind sniff(const QString& path, QString* message) {
    QFileInfo info(path);
    if (!info.exists()) {
        *message = QStringLiteral("El archivo no existe.");
        return Kind::Missing;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *message = file.errorString();
        return Kind::Unreadable;
    }
    const QByteArray head = file.read(32);
    if (head.startsWith(QByteArrayLiteral("SQLite format 3\0")))
        return Kind::Sqlite;
    const QByteArray kind = head.mid(4, 15);
    if (kind == "Standard Jet DB" || kind == "Standard ACE DB")
        return Kind::Jet;
    *message = QStringLiteral("El archivo no es una base de datos que Vantoria pueda leer.");
    return Kind::Unknown;
}

}  // namespace

std::unique_ptr<Database> DatabaseEngine::openDatabase(const QString& path) {
    QString message;
    const Kind kind = sniff(path, &message);
    if (kind == Kind::Missing || kind == Kind::Unreadable || kind == Kind::Unknown)
        throw DatabaseError(path, message);

    if (kind == Kind::Sqlite && !odbc_.sqliteDriver.isEmpty())
        return openThroughOdbc(path,
                               QStringLiteral("DRIVER={%1};Database=%2;NoCreat=1;Timeout=1500;")
                                   .arg(odbc_.sqliteDriver, QFileInfo(path).absoluteFilePath()),
                               &jet::comodinesAnsi);
    if (kind == Kind::Sqlite) {
        auto d = std::make_unique<QtSqlDatabase>(path, observer_, &jet::paraSqlite, sortAsideBytes_);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), d->name());
        if (!db.isValid())
            throw DatabaseError(path, QStringLiteral("Falta el controlador QSQLITE de Qt."));
        // Opened read-write and never created: a file that vanished since the check stays an error.
        db.setDatabaseName(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()).toString(QUrl::FullyEncoded) +
                           QStringLiteral("?mode=rw"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=1500"));
        if (!db.open())
            throw DatabaseError(path, engineMessage(db.lastError()));
        sqlite3* h = nullptr;
        if (!sqliteHandle(db.driver(), &h))
            throw DatabaseError(path, QStringLiteral("El controlador QSQLITE no da acceso a SQLite."));
        QString error;
        if (!h || !jet::registro(h, &error))
            throw DatabaseError(path, error);
        return d;
    }

    if (!odbc_.jetUsable)
        throw DatabaseError(path, QStringLiteral("Es una base de datos de Access (Jet). En este sistema no hay un "
                                                 "controlador que la abra como Vantoria necesita: el de mdbtools "
                                                 "solo podría leerla y no ejecuta la consulta guardada «Consulta "
                                                 "Productos». Use Vantoria en Windows, con el controlador ODBC de "
                                                 "Access."));
    const QStringList installed = installedOdbcDrivers();
    for (const QString& driver : odbc_.jetDrivers) {
        if (!installed.contains(driver, Qt::CaseInsensitive))
            continue;
        // Shared and read-write, as the shop's administrative system keeps using the file meanwhile.
        return openThroughOdbc(path,
                               QStringLiteral("DRIVER={%1};DBQ=%2;")
                                   .arg(driver, QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath())),
                               &jet::comodinesAnsi);
    }
    throw DatabaseError(path, QStringLiteral("Falta el controlador ODBC de Access («%1»). Instale %2.")
                                  .arg(odbc_.jetDrivers.value(0), odbc_.jetDriverPackage));
}

std::unique_ptr<Database> DatabaseEngine::openThroughOdbc(const QString& path, const QString& connection,
                                                          QString (*translate)(const QString&)) {
    auto d = std::make_unique<QtSqlDatabase>(path, observer_, translate);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QODBC"), d->name());
    if (!db.isValid())
        throw DatabaseError(path, QStringLiteral("Falta el controlador QODBC de Qt."));
    db.setDatabaseName(connection);
    if (!db.open())
        throw DatabaseError(path, engineMessage(db.lastError()));
    return d;
}

OdbcSettings OdbcSettings::platform() {
    OdbcSettings s;
    s.jetDrivers = {QStringLiteral("Microsoft Access Driver (*.mdb, *.accdb)"),
                    QStringLiteral("Microsoft Access Driver (*.mdb)")};
    s.jetDriverPackage = QStringLiteral("«Microsoft Access Database Engine 2016 Redistributable» de Microsoft");
#ifndef Q_OS_WIN
    s.jetUsable = false;
#endif
    return s;
}

QStringList installedOdbcDrivers() {
    QStringList names;
    SQLHENV env = SQL_NULL_HENV;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)))
        return names;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLWCHAR description[512];
    SQLWCHAR attributes[2048];
    SQLSMALLINT descriptionLength = 0, attributesLength = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (
        SQL_SUCCEEDED(SQLDriversW(env, direction, description, SQLSMALLINT(std::size(description)), &descriptionLength,
                                  attributes, SQLSMALLINT(std::size(attributes)), &attributesLength))) {
        names << fromSqlWide(description, descriptionLength);
        direction = SQL_FETCH_NEXT;
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return names;
}
