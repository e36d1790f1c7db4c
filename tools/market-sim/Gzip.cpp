#include "Gzip.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <zlib.h>

#include <algorithm>

namespace sim {

namespace {

constexpr qint64 ZeroPiece = 1024 * 1024;

// Deflates `data` into `out` with `flush`; the stream goes on from where it was.
void deflateInto(z_stream& stream, QByteArrayView data, int flush, QByteArray& out) {
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = uInt(data.size());
    char buffer[16 * 1024];
    int status = Z_OK;
    do {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        status = deflate(&stream, flush);
        out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
    } while (stream.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
}

// `data` deflated on its own, without header or final block, ending on a byte boundary with the compressor's
// history emptied: the result decodes to `data` wherever it stands in a stream, so it may be repeated.
QByteArray deflatedPiece(QByteArrayView data) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 9, Z_RLE);
    QByteArray out;
    deflateInto(stream, data, Z_FULL_FLUSH, out);
    deflateEnd(&stream);
    return out;
}

void appendLittleEndian32(QByteArray& out, quint32 value) {
    for (int i = 0; i < 4; ++i) {
        out.append(char((value >> (8 * i)) & 0xff));
    }
}

// Compressing 1 GiB takes seconds; a megabyte of zeros deflated once and repeated takes none. The checksum of the
// whole comes from the piece's with crc32_combine.
QByteArray buildZeros(qint64 count) {
    const QByteArray zeros(std::min(count, ZeroPiece), '0');
    const qint64 whole = count / ZeroPiece;
    const qint64 rest = count % ZeroPiece;
    const QByteArray piece = deflatedPiece(zeros);
    const uLong pieceCrc = crc32(0, reinterpret_cast<const Bytef*>(zeros.constData()), uInt(zeros.size()));

    QByteArray out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff", 10);  // gzip, deflate, no name, best compression
    out.reserve(out.size() + piece.size() * (whole + 1) + 16);
    uLong crc = crc32(0, nullptr, 0);
    for (qint64 i = 0; i < whole; ++i) {
        out += piece;
        crc = crc32_combine(crc, pieceCrc, z_off_t(ZeroPiece));
    }
    if (rest > 0) {
        out += deflatedPiece(QByteArrayView(zeros).first(rest));
        crc =
            crc32_combine(crc, crc32(0, reinterpret_cast<const Bytef*>(zeros.constData()), uInt(rest)), z_off_t(rest));
    }
    out.append("\x03\x00", 2);  // an empty final block
    appendLittleEndian32(out, quint32(crc));
    appendLittleEndian32(out, quint32(count & 0xffffffff));
    return out;
}

}  // namespace

QByteArray gzip(QByteArrayView data) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out;
    deflateInto(stream, data, Z_FINISH, out);
    deflateEnd(&stream);
    return out;
}

QByteArray gzipOfZeros(qint64 count) {
    static QMutex mutex;
    static QHash<qint64, QByteArray> built;
    QMutexLocker lock(&mutex);
    auto it = built.find(count);
    if (it == built.end()) {
        it = built.insert(count, buildZeros(count));
    }
    return *it;
}

}  // namespace sim
