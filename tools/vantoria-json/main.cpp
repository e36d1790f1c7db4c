// vantoria-json [FILE]: shows what the JSON reader makes of a text, as one canonical line, then the reader's
// error lines after "--- errors" when there are any. Exit status 0 without errors, 1 with.
#include "JSON.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QString>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fputs("usage: vantoria-json [FILE]\n", stderr);
        return 2;
    }
    QFile input;
    bool opened;
    if (argc == 2) {
        input.setFileName(QString::fromLocal8Bit(argv[1]));
        opened = input.open(QIODevice::ReadOnly);
    } else {
        opened = input.open(stdin, QIODevice::ReadOnly);
    }
    if (!opened) {
        std::fprintf(stderr, "vantoria-json: cannot read %s: %s\n", argc == 2 ? argv[1] : "standard input",
                     qPrintable(input.errorString()));
        return 2;
    }
    // A file is read through a mapping of it, a pipe as it comes.
    QByteArray bytes;
    QByteArrayView utf8;
    if (uchar* mapped = !input.isSequential() && input.size() > 0 ? input.map(0, input.size()) : nullptr) {
        utf8 = QByteArrayView(mapped, input.size());
    } else {
        bytes = input.readAll();
        utf8 = bytes;
    }
    const QString text = QString::fromUtf8(utf8);
    const std::optional<json::JsonValue> value = ParseJson(text);
    const QString errors = ParserErrors();

    const auto print = [](QByteArrayView piece) {
        std::fwrite(piece.data(), 1, static_cast<size_t>(piece.size()), stdout);
    };
    if (value) {
        json::writeCanonicalUtf8(*value, print);
    } else {
        print("nothing");
    }
    print("\n");
    if (!errors.isEmpty()) {
        print("--- errors\n");
        print(json::toUtf8Lossy(errors));
    }
    std::fflush(stdout);
    return errors.isEmpty() ? 0 : 1;
}
