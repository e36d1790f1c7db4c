// vantoria-json [FILE]: shows what the JSON reader makes of a text, as one canonical line, then the reader's
// error lines after "--- errors" when there are any. Exit status 0 without errors, 1 with.
#include "JSON.h"

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
    const QString text = QString::fromUtf8(input.readAll());
    const std::optional<json::JsonValue> value = ParseJson(text);
    const QString errors = ParserErrors();

    QByteArray out = value ? json::toCanonicalUtf8(*value) : QByteArrayLiteral("nothing");
    out.append('\n');
    if (!errors.isEmpty()) {
        out.append("--- errors\n");
        out.append(json::toUtf8Lossy(errors));
    }
    std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);
    std::fflush(stdout);
    return errors.isEmpty() ? 0 : 1;
}
