// bench_qt_json_compact FILE: the peer of vantoria-json in whole-process.sh. Reads FILE, parses it with
// QJsonDocument::fromJson and writes it back with toJson(QJsonDocument::Compact), one line, to standard output.
#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QString>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: bench_qt_json_compact FILE\n", stderr);
        return 2;
    }
    QFile input(QString::fromLocal8Bit(argv[1]));
    if (!input.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_qt_json_compact: cannot read %s: %s\n", argv[1], qPrintable(input.errorString()));
        return 2;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(input.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        std::fprintf(stderr, "bench_qt_json_compact: %s at offset %lld\n", qPrintable(error.errorString()),
                     static_cast<long long>(error.offset));
        return 1;
    }
    QByteArray out = document.toJson(QJsonDocument::Compact);
    out.append('\n');
    std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);
    std::fflush(stdout);
    return 0;
}
