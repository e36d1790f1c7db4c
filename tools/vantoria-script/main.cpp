// vantoria-script FILE: evaluates the JSON script in FILE (standard input when FILE is -) and writes what it
// produces to standard output. Dialogs go to the console: a message box is one line on standard error, an input
// box writes its prompt there and reads the answer from standard input.

#include "JSON.h"
#include "VbError.h"
#include "cJSONScript.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <string>

namespace {

enum ExitCode : int { Ok = 0, ParseFailed = 1, ScriptFailed = 2, Usage = 64, NoInput = 66 };

const char UsageLine[] = "usage: vantoria-script FILE\n";
const char HelpText[] =
    "Runs the JSON script in FILE (standard input when FILE is -) and writes the text it gives to standard\n"
    "output. Message boxes are lines on standard error; an input box writes its prompt there and reads one line\n"
    "from standard input.\n"
    "Exit status: 0 done, 1 the script has parse errors, 2 the script failed, 64 wrong command line,\n"
    "66 the file cannot be read.\n";

// Status 2 already means a failed script, so a wrong command line keeps the status of a missing file name.
int wrongUsage(const QByteArray& what) {
    std::fprintf(stderr, "vantoria-script: %s\n", what.constData());
    std::fputs(UsageLine, stderr);
    return Usage;
}

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
    const char* name = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(UsageLine, stdout);
            std::fputs(HelpText, stdout);
            return Ok;
        }
        if (argv[i][0] == '-' && argv[i][1] != '\0')
            return wrongUsage(QByteArray("unknown option ") + argv[i]);
        if (name)
            return wrongUsage(QByteArray("one script at a time, not also ") + argv[i]);
        name = argv[i];
    }
    if (!name) {
        std::fputs(UsageLine, stderr);
        return Usage;
    }
    QFile file;
    if (std::strcmp(name, "-") == 0) {
        // The script is all of standard input, so an input box in it finds the end of input: cancelled.
        file.open(stdin, QIODevice::ReadOnly);
    } else {
        const QString path = QString::fromLocal8Bit(name);
        if (QFileInfo(path).isDir()) {
            writeTo(stderr, QStringLiteral("vantoria-script: %1: is a folder, not a file\n").arg(path));
            return NoInput;
        }
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly)) {
            writeTo(stderr, QStringLiteral("vantoria-script: %1: %2\n").arg(path, file.errorString()));
            return NoInput;
        }
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
