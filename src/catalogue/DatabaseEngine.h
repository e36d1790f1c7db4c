#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

#include <exception>
#include <functional>
#include <memory>
#include <vector>

// A database that cannot be opened or a statement that fails: the file, the engine's message and the statement.
class DatabaseError : public std::exception {
  public:
    DatabaseError(QString archivo, QString mensaje, QString sentencia = {});

    const QString& archivo() const { return archivo_; }
    const QString& mensaje() const { return mensaje_; }
    const QString& sentencia() const { return sentencia_; }
    const char* what() const noexcept override { return what_.constData(); }
    // The text shown to the operator.
    QString aviso() const;

  private:
    QString archivo_, mensaje_, sentencia_;
    QByteArray what_;
};

// The rows a select gave, read in full when it ran (a Jet recordset moved to its last record). Fields are kept
// compactly: numbers in place, texts as the engine gave them (UTF-8 from SQLite) in blocks of bytes, anything else
// as a QVariant; field() gives the QVariant the Qt driver would have given.
class Recordset {
  public:
    // Rows are kept in blocks of this many, so reading a large result never moves the rows already read.
    static constexpr int BlockRows = 4096;

    // How a field is kept.
    enum class Kind : quint8 { Null, Integer, Real, Utf8, Utf16, Other };

    explicit Recordset(QStringList names);
    ~Recordset();

    // Reading: a new row at the end, all fields null, whose fields are then set.
    void appendRow();
    void setNull(int index, QMetaType type);
    void setInteger(int index, qint64 value);
    void setReal(int index, double value);
    // Well-formed UTF-8 (QString::fromUtf8 gives it back unchanged).
    void setUtf8(int index, const char* text, qsizetype bytes);
    void setUtf16(int index, const char16_t* text, qsizetype units);
    void setVariant(int index, const QVariant& value);

    int RecordCount() const { return count_; }
    bool eof() const { return pos_ >= count_; }
    void moveFirst() { pos_ = 0; }
    void moveLast() { pos_ = count_ > 0 ? count_ - 1 : 0; }
    void moveNext() {
        if (pos_ < count_)
            ++pos_;
    }
    // The field of the current record; a null QVariant for a null field. Asking for a field the rows lack throws.
    QVariant field(QStringView name) const {
        if (eof())
            noCurrentRecord();
        return field(fieldIndex(name));
    }
    // The position of a field among the names (letter case ignored), to read it by position in every record;
    // throws when the rows lack it.
    int fieldIndex(QStringView name) const;
    // The field at a position given by fieldIndex(), of the current record.
    QVariant field(int index) const;

    // The same field as it is kept, for a reader that wants no QVariant; each accessor fits its kind only.
    Kind kind(int index) const {
        if (eof())
            noCurrentRecord();
        return Kind(tagAt(pos_, index));
    }
    qint64 integer(int index) const { return qint64(slotAt(pos_, index)); }
    double real(int index) const;
    QByteArrayView utf8(int index) const;
    QStringView utf16(int index) const;

    // A reader that goes through the rows once, forward, lets the rows behind it go: the blocks wholly behind the
    // current record are freed. Moving back to them afterwards is not allowed.
    void releaseBehind();

    const QStringList& names() const { return names_; }
    void close();

  private:
    struct Block;
    [[noreturn]] static void noCurrentRecord();
    const Block& blockOf(int row) const;
    quint64 slotAt(int row, int index) const;
    quint8 tagAt(int row, int index) const;
    void set(int index, Kind kind, quint64 slot);
    const char* storeBytes(const void* data, qsizetype bytes, std::size_t align);

    QStringList names_;
    std::vector<std::unique_ptr<Block>> blocks_;
    int released_ = 0;  // blocks freed by releaseBehind()
    int width_ = 0;
    int count_ = 0;
    int pos_ = 0;
};

// One open database: a select gives a recordset, other statements are executed.
class Database {
  public:
    // Called again and again while a select runs and its rows are read, so that a long one can let the window's
    // events run; always on the thread that asked for the rows. It must not reach the database itself.
    using WhileReading = std::function<void()>;

    virtual ~Database();
    virtual std::unique_ptr<Recordset> openRecordset(const QString& statement,
                                                     const WhileReading& whileReading = {}) = 0;
    virtual void execute(const QString& statement) = 0;
    virtual void close() = 0;
};

// How the engine reaches a file through ODBC.
struct OdbcSettings {
    // The drivers that open a Jet/Access file, most preferred first: the first one installed is used.
    QStringList jetDrivers;
    // What to install when none of them is.
    QString jetDriverPackage;
    // Where the Access driver does not exist (everywhere but Windows) a Jet file is refused with a notice that
    // says why: the drivers there (mdbtools) can at best read it and cannot run its saved query.
    bool jetUsable = true;
    // When set, SQLite files are opened through this ODBC driver instead of Qt's own SQLite driver (the tests run
    // the ODBC path this way on any machine).
    QString sqliteDriver;

    // The settings of this platform.
    static OdbcSettings platform();
};

// The ODBC drivers the driver manager knows, by name.
QStringList installedOdbcDrivers();

// The database engine of the run. Each operation opens the file, runs its statement and closes it again.
class DatabaseEngine {
  public:
    using Observer = std::function<void(const QString& statement)>;

    DatabaseEngine() = default;
    explicit DatabaseEngine(Observer observer, OdbcSettings odbc = OdbcSettings::platform())
        : observer_(std::move(observer)), odbc_(std::move(odbc)) {}

    // Opens a SQLite file or, through ODBC, a Jet/Access file, telling them apart by their first bytes; throws
    // DatabaseError naming the file otherwise.
    std::unique_ptr<Database> openDatabase(const QString& path);

    // Called with every statement the engine runs, as the program wrote it.
    void setObserver(Observer observer) { observer_ = std::move(observer); }

    // A select on a SQLite file of at least this many bytes sorts on a thread of its own while the one that asked
    // for the rows keeps calling back (see Database::WhileReading); a smaller file's select is sorted where it
    // runs. The default is some eight runs of SQLite's sorter, 100,000 products being 7 MB.
    static constexpr qint64 DefaultSortAsideBytes = qint64(16) << 20;
    qint64 sortAsideBytes() const { return sortAsideBytes_; }
    void setSortAsideBytes(qint64 bytes) { sortAsideBytes_ = bytes; }

  private:
    std::unique_ptr<Database> openThroughOdbc(const QString& path, const QString& connection,
                                              QString (*translate)(const QString&));

    Observer observer_;
    OdbcSettings odbc_ = OdbcSettings::platform();
    qint64 sortAsideBytes_ = DefaultSortAsideBytes;
};
