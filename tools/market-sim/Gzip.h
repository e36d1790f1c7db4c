#pragma once

// Gzip bodies for the faults that announce "Content-Encoding: gzip".

#include <QByteArray>
#include <QByteArrayView>

namespace sim {

// `data` as one gzip member.
QByteArray gzip(QByteArrayView data);

// A gzip member that decodes to `count` digits '0', built once per count and kept for the rest of the run.
QByteArray gzipOfZeros(qint64 count);

}  // namespace sim
