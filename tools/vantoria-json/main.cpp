// vantoria-json [FILE]: shows what the JSON reader makes of a text, as one canonical line, then the reader's
// error lines after "--- errors" when there are any. Exit status 0 without errors, 1 with, 2 for a wrong
// command line, 66 when the file cannot be read.
#include "JSON.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <cstdio>
#include <cstring>

namespace {

enum ExitCode : int { Clean = 0, Errors = 1, Usage = 2, NoInput = 66 };

const char UsageText[] =
    "usage: vantoria-json [FILE]\n"
    "Shows what the JSON reader makes of FILE, or of standard input when FILE is - or absent: the tree on one\n"
    "line, then the reader's error lines after \"--- errors\".\n"
    "Exit status: 0 no errors, 1 the reader wrote errors, 2 wrong command line, 66 the file cannot be read.\n";

int wrongUsage(const QByteArray& what) {
    std::fprintf(stderr, "vantoria-json: %s\n", what.constData());
    std::fputs(UsageText, stderr);
    return Usage;
}

}  // namespace

int main(int argc, char** argv) {
    const char* name = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(UsageText, stdout);
            return Clean;
        }
        if (argv[i][0] == '-' && argv[i][1] != '\0')
            return wrongUsage(QByteArray("unknown option ") + argv[i]);
        if (name)
            return wrongUsage(QByteArray("one file at most, not also ") + argv[i]);
        name = argv[i];
    }
    const bool fromStdin = !name || std::strcmp(name, "-") == 0;
    QFile input;
    bool opened;
    if (fromStdin) {
        opened = input.open(stdin, QIODevice::ReadOnly);
    } else {
        input.setFileName(QString::fromLocal8Bit(name));
        if (QFileInfo(input.fileName()).isDir()) {
            std::fprintf(stderr, "vantoria-json: cannot read %s: it is a folder\n", name);
            return NoInput;
        }
        opened = input.open(QIODevice::ReadOnly);
    }
    if (!opened) {
        std::fprintf(stderr, "vantoria-json: cannot read %s: %s\n", fromStdin ? "standard input" : name,
                     qPrintable(input.errorString()));
        return NoInput;
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
    const std::optional<json::JsonValue> value = ParseJsonUtf8(utf8);
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
    return errors.isEmpty() ? Clean : Errors;
}
