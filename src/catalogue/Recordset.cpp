// The rows a select gave (Recordset in DatabaseEngine.h): blocks of rows that never move, a slot and a tag per
// field, the bytes of the texts beside them, the field as a QVariant when asked for, and the blocks behind a
// forward reader let go.

#include "DatabaseEngine.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

// One block of rows: a slot and a tag per field, the bytes of the texts, and the values kept as QVariant.
struct Recordset::Block {
    static constexpr std::size_t ChunkBytes = 256 * 1024;

    std::unique_ptr<quint64[]> fieldSlots;
    std::unique_ptr<quint8[]> tags;
    std::vector<std::unique_ptr<char[]>> chunks;
    std::size_t chunkUsed = ChunkBytes;
    std::vector<std::unique_ptr<char[]>> own;
    std::vector<QVariant> others;

    explicit Block(std::size_t fields) : fieldSlots(new quint64[fields]), tags(new quint8[fields]) {}
};

Recordset::Recordset(QStringList names) : names_(std::move(names)) {
    width_ = int(names_.size());
}

Recordset::~Recordset() = default;

void Recordset::appendRow() {
    const int inBlock = count_ % BlockRows;
    if (inBlock == 0)
        blocks_.push_back(std::make_unique<Block>(std::size_t(BlockRows) * std::size_t(width_)));
    Block& b = *blocks_.back();
    const std::size_t first = std::size_t(inBlock) * std::size_t(width_);
    for (int i = 0; i < width_; ++i) {
        b.fieldSlots[first + std::size_t(i)] = quint64(QMetaType::UnknownType);
        b.tags[first + std::size_t(i)] = quint8(Kind::Null);
    }
    ++count_;
}

const Recordset::Block& Recordset::blockOf(int row) const {
    const Block* b = blocks_[std::size_t(row / BlockRows)].get();
    if (!b)
        noCurrentRecord();  // let go by releaseBehind()
    return *b;
}

quint64 Recordset::slotAt(int row, int index) const {
    return blockOf(row).fieldSlots[std::size_t(row % BlockRows) * std::size_t(width_) + std::size_t(index)];
}

quint8 Recordset::tagAt(int row, int index) const {
    return blockOf(row).tags[std::size_t(row % BlockRows) * std::size_t(width_) + std::size_t(index)];
}

void Recordset::set(int index, Kind kind, quint64 slot) {
    Block& b = *blocks_.back();
    const std::size_t at = std::size_t((count_ - 1) % BlockRows) * std::size_t(width_) + std::size_t(index);
    b.fieldSlots[at] = slot;
    b.tags[at] = quint8(kind);
}

// The bytes of a text in the current block, after their length (four bytes); gives where the bytes start.
const char* Recordset::storeBytes(const void* data, qsizetype bytes, std::size_t align) {
    Block& b = *blocks_.back();
    const std::size_t need = sizeof(quint32) + std::size_t(bytes) + align;
    char* room = nullptr;
    std::size_t at = 0;
    if (need > Block::ChunkBytes / 4) {
        // A long text gets room of its own.
        b.own.push_back(std::make_unique<char[]>(need));
        room = b.own.back().get();
    } else {
        if (b.chunkUsed + need > Block::ChunkBytes) {
            b.chunks.push_back(std::make_unique<char[]>(Block::ChunkBytes));
            b.chunkUsed = 0;
        }
        room = b.chunks.back().get();
        at = b.chunkUsed;
    }
    // The text starts aligned for its units, its length just before it.
    const std::size_t start = (at + sizeof(quint32) + align - 1) / align * align;
    const auto length = quint32(bytes);
    std::memcpy(room + start - sizeof(quint32), &length, sizeof length);
    if (bytes > 0)
        std::memcpy(room + start, data, std::size_t(bytes));
    if (need <= Block::ChunkBytes / 4)
        b.chunkUsed = start + std::size_t(bytes);
    return room + start;
}

void Recordset::setNull(int index, QMetaType type) {
    set(index, Kind::Null, quint64(type.id()));
}

void Recordset::setInteger(int index, qint64 value) {
    set(index, Kind::Integer, quint64(value));
}

void Recordset::setReal(int index, double value) {
    quint64 bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    set(index, Kind::Real, bits);
}

void Recordset::setUtf8(int index, const char* text, qsizetype bytes) {
    if (bytes > std::numeric_limits<qint32>::max())
        return setVariant(index, QString::fromUtf8(text, bytes));
    set(index, Kind::Utf8, quint64(quintptr(storeBytes(text, bytes, 1))));
}

void Recordset::setUtf16(int index, const char16_t* text, qsizetype units) {
    if (units > std::numeric_limits<qint32>::max() / 2)
        return setVariant(index, QString::fromUtf16(text, units));
    set(index, Kind::Utf16, quint64(quintptr(storeBytes(text, units * 2, alignof(char16_t)))));
}

void Recordset::setVariant(int index, const QVariant& value) {
    if (value.isNull())
        return setNull(index, value.metaType());
    switch (value.metaType().id()) {
        case QMetaType::LongLong:
            return setInteger(index, value.toLongLong());
        case QMetaType::Double:
            return setReal(index, value.toDouble());
        case QMetaType::QString: {
            const QString text = value.toString();
            if (text.size() <= std::numeric_limits<qint32>::max() / 2)
                return setUtf16(index, reinterpret_cast<const char16_t*>(text.utf16()), text.size());
            break;
        }
        default:
            break;
    }
    Block& b = *blocks_.back();
    b.others.push_back(value);
    set(index, Kind::Other, quint64(b.others.size() - 1));
}

QVariant Recordset::field(int index) const {
    switch (kind(index)) {
        case Kind::Null:
            return QVariant(QMetaType(int(slotAt(pos_, index))));
        case Kind::Integer:
            return QVariant(integer(index));
        case Kind::Real:
            return QVariant(real(index));
        case Kind::Utf8: {
            const QByteArrayView t = utf8(index);
            return QString::fromUtf8(t.data(), t.size());
        }
        case Kind::Utf16:
            return utf16(index).toString();
        case Kind::Other:
            return blockOf(pos_).others[std::size_t(slotAt(pos_, index))];
    }
    return {};
}

double Recordset::real(int index) const {
    const quint64 bits = slotAt(pos_, index);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

QByteArrayView Recordset::utf8(int index) const {
    const auto* text = reinterpret_cast<const char*>(quintptr(slotAt(pos_, index)));
    quint32 length = 0;
    std::memcpy(&length, text - sizeof length, sizeof length);
    return QByteArrayView(text, qsizetype(length));
}

QStringView Recordset::utf16(int index) const {
    const auto* text = reinterpret_cast<const char*>(quintptr(slotAt(pos_, index)));
    quint32 length = 0;
    std::memcpy(&length, text - sizeof length, sizeof length);
    return QStringView(reinterpret_cast<const char16_t*>(text), qsizetype(length / 2));
}

void Recordset::releaseBehind() {
    const int behind = std::min(pos_, count_) / BlockRows;
    for (; released_ < behind; ++released_)
        blocks_[std::size_t(released_)].reset();
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
    released_ = 0;
    count_ = 0;
    pos_ = 0;
}
