#include "DatabaseEngine.h"

#include "JetSql.h"

#include <QAtomicInt>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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

#include <iterator>

DatabaseError::DatabaseError(QString archivo, QString mensaje, QString sentencia)
    : archivo_(std::move(archivo)), mensaje_(std::move(mensaje)), sentencia_(std::move(sentencia)) {
    what_ = aviso().toUtf8();
}

QString DatabaseError::aviso() const {
    if (sentencia_.isEmpty())
        return QStringLiteral("No se pudo abrir la base de datos \"%1\".\r%2").arg(archivo_, mensaje_);
    return QStringLiteral("La base de datos \"%1\" no pudo ejecutar la consulta.\r%2").arg(archivo_, mensaje_);
}

Recordset::Recordset(QStringList names) : names_(std::move(names)) {
    width_ = int(names_.size());
}

QVariant* Recordset::appendRow() {
    const int inBlock = count_ % BlockRows;
    if (inBlock == 0)
        blocks_.push_back(std::make_unique<QVariant[]>(std::size_t(BlockRows) * std::size_t(width_)));
    ++count_;
    return blocks_.back().get() + std::size_t(inBlock) * std::size_t(width_);
}

int Recordset::fieldIndex(QStringView name) const {
    for (int i = 0; i < width_; ++i)
        if (QStringView(names_[i]).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    throw DatabaseError({}, QStringLiteral("No existe el campo %1.").arg(name));
}

void Recordset::noCurrentRecord() {
    throw DatabaseError({}, QStringLiteral("No hay un registro actual."));
}

void Recordset::close() {
    blocks_.clear();
    blocks_.shrink_to_fit();
    count_ = 0;
    pos_ = 0;
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

// While it lives, SQLite calls `whileReading` every few thousand steps of the statements run on `db` (for other
// engines it does nothing).
class ProgressGuard {
  public:
    ProgressGuard(const QSqlDatabase& db, const Database::WhileReading& whileReading) {
        if (!whileReading || !sqliteHandle(db.driver(), &sqlite_) || !sqlite_)
            return;
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
    QtSqlDatabase(QString path, DatabaseEngine::Observer observer, QString (*translate)(const QString&))
        : path_(std::move(path)), observer_(std::move(observer)), translate_(translate), name_(nextConnectionName()) {}
    ~QtSqlDatabase() override { close(); }

    QSqlDatabase db() const { return QSqlDatabase::database(name_, false); }
    const QString& name() const { return name_; }
    const QString& path() const { return path_; }

    std::unique_ptr<Recordset> openRecordset(const QString& statement, const WhileReading& whileReading = {}) override {
        report(statement);
        QSqlQuery q(db());
        q.setForwardOnly(true);
        // SQLite sorts the whole result before it gives the first row; it calls back during that time too.
        const ProgressGuard progress(db(), whileReading);
        if (!q.exec(translate_(statement)))
            throw DatabaseError(path_, engineMessage(q.lastError()), statement);
        const QSqlRecord rec = q.record();
        QStringList names;
        for (int i = 0; i < rec.count(); ++i)
            names << rec.fieldName(i);
        const int width = rec.count();
        auto rs = std::make_unique<Recordset>(std::move(names));
        while (q.next()) {
            QVariant* row = rs->appendRow();
            for (int i = 0; i < width; ++i)
                row[i] = q.value(i);
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
        auto d = std::make_unique<QtSqlDatabase>(path, observer_, &jet::paraSqlite);
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
