// vantoria-script FILE: evaluates the JSON script in FILE and writes what it produces to standard output.
// Dialogs go to the console: a message box is one line on standard error, an input box writes its prompt
// there and reads the answer from standard input.

#include "JSON.h"
#include "VbError.h"
#include "cJSONScript.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>
#include <iostream>
#include <new>
#include <string>

namespace {

enum ExitCode : int { Ok = 0, ParseFailed = 1, ScriptFailed = 2, Usage = 64, NoInput = 66 };

void writeTo(FILE* stream, QStringView text) {
    const QByteArray bytes = json::toUtf8Lossy(text);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// Line breaks inside a text are shown as \r and \n so that each dialog stays on one line of the log.
QString oneLine(QString text) {
    text.replace(u'\r', QStringLiteral("\\r"));
    text.replace(u'\n', QStringLiteral("\\n"));
    return text;
}

class ConsoleDialogs : public ScriptDialogs {
  public:
    void messageBox(const QString& text, const QString& caption, int style) override {
        if (style == Warning) {
            // The parser's report: several lines, each ending in CR LF.
            QString lines = text;
            lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            if (!lines.endsWith(u'\n')) {
                lines += u'\n';
            }
            writeTo(stderr, caption + u'\n' + lines);
            return;
        }
        writeTo(stderr, u'[' + oneLine(caption) + QStringLiteral("] ") + oneLine(text) + u'\n');
    }

    QString inputBox(const QString& prompt, const QString& caption, const QString& preset) override {
        QString line = u'[' + oneLine(caption) + QStringLiteral("] ") + oneLine(prompt);
        if (!preset.isEmpty()) {
            line += QStringLiteral(" (") + oneLine(preset) + u')';
        }
        writeTo(stderr, line + u'\n');
        std::string answer;
        if (!std::getline(std::cin, answer)) {
            return {};  // end of input: the box was cancelled
        }
        if (!answer.empty() && answer.back() == '\r') {
            answer.pop_back();
        }
        return QString::fromUtf8(answer.data(), qsizetype(answer.size()));
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: vantoria-script FILE\n", stderr);
        return Usage;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        writeTo(stderr, QStringLiteral("vantoria-script: %1: %2\n").arg(path, file.errorString()));
        return NoInput;
    }
    QByteArray bytes = file.readAll();
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        bytes.remove(0, 3);  // editors on the shop's desktop save UTF-8 with a byte order mark
    }
    const QString script = QString::fromUtf8(bytes);

    ConsoleDialogs dialogs;
    cJSONScript interpreter(dialogs);
    QString result;
    try {
        result = interpreter.Eval(script);
    } catch (const vb::Error& error) {
        writeTo(stderr, QStringLiteral("Error %1: %2\n").arg(error.number()).arg(error.description()));
        return ScriptFailed;
    } catch (const std::bad_alloc&) {
        writeTo(stderr, QStringLiteral("Error 7: Out of memory\n"));
        return ScriptFailed;
    }
    // Eval parses the script once, so the parser's report still belongs to it.
    if (!ParserErrors().isEmpty()) {
        return ParseFailed;
    }
    writeTo(stdout, result);
    return Ok;
}
