#include "JSON.h"
#include "JsonValue.h"
#include "VbError.h"
#include "cJSONScript.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTest>

namespace {

QString escaped(QString text) {
    text.replace(u'\r', QStringLiteral("\\r"));
    text.replace(u'\n', QStringLiteral("\\n"));
    return text;
}

// Answers input boxes from a list and records every dialog as one line, line breaks written as \r and \n:
// "box STYLE|CAPTION|TEXT" or "input|CAPTION|PROMPT|PRESET|ANSWER".
class ScriptedDialogs : public ScriptDialogs {
  public:
    QStringList answers;
    QStringList records;

    void messageBox(const QString& text, const QString& caption, int style) override {
        records << QStringLiteral("box ") + QString::number(style) + u'|' + escaped(caption) + u'|' + escaped(text);
    }
    QString inputBox(const QString& prompt, const QString& caption, const QString& preset) override {
        const QString answer = answers.isEmpty() ? QStringLiteral("<no answer scripted>") : answers.takeFirst();
        records << QStringLiteral("input|") + escaped(caption) + u'|' + escaped(prompt) + u'|' + escaped(preset) +
                       u'|' + answer;
        return answer;
    }
};

QString readText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

QStringList readLines(const QString& path) {
    QStringList lines = readText(path).split(u'\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

// The answers the scripted input boxes give, in order: the last field of every "input" record.
QStringList answersOf(const QStringList& records) {
    QStringList answers;
    for (const QString& record : records) {
        if (record.startsWith(u"input|")) {
            answers << record.section(u'|', 4);
        }
    }
    return answers;
}

// What one Eval gave: its text, or "error N" when it failed.
QString outcome(cJSONScript& script, const QString& text) {
    try {
        return script.Eval(text);
    } catch (const vb::Error& error) {
        return QStringLiteral("error ") + QString::number(error.number());
    }
}

QString lists(int depth, const QString& inner) {
    return QString(u'[').repeated(depth) + inner + QString(u']').repeated(depth);
}

// Numbers as the user's region writes them, for the duration of one test.
struct RegionGuard {
    explicit RegionGuard(const QLocale& locale) { QLocale::setDefault(locale); }
    ~RegionGuard() { QLocale::setDefault(QLocale::c()); }
};

}  // namespace

class TestScript : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    void scriptFiles_data();
    void scriptFiles();
    void nestingLimit_data();
    void nestingLimit();
    void callsOnOneObject_data();
    void callsOnOneObject();
    void execCommandFailureRestoresNesting();
    void numbersUnderACommaRegion_data();
    void numbersUnderACommaRegion();
    void evaluatedNumbersUseAPointInEveryRegion_data();
    void evaluatedNumbersUseAPointInEveryRegion();
};

// Every NAME.json beside NAME.out (the exact output) or NAME.fail (the error number), and optionally
// NAME.dialogs (every dialog expected, in order; input records carry the answer to give).
void TestScript::scriptFiles_data() {
    QTest::addColumn<QString>("base");
    const QDir dir(QStringLiteral(SCRIPT_DATA_DIR));
    const QStringList files = dir.entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    if (files.isEmpty()) {
        QTest::newRow("no scripts found") << dir.filePath(QStringLiteral("missing"));
    }
    for (const QString& file : files) {
        const QString base = file.chopped(5);
        QTest::newRow(qPrintable(base)) << dir.filePath(base);
    }
}

void TestScript::scriptFiles() {
    QFETCH(QString, base);
    const bool fails = QFile::exists(base + QStringLiteral(".fail"));
    QVERIFY2(fails != QFile::exists(base + QStringLiteral(".out")), "a script needs either .out or .fail beside it");
    const QStringList expectedDialogs = readLines(base + QStringLiteral(".dialogs"));

    ScriptedDialogs dialogs;
    dialogs.answers = answersOf(expectedDialogs);
    cJSONScript script(dialogs);
    const QString got = outcome(script, readText(base + QStringLiteral(".json")));

    if (fails) {
        QCOMPARE(got, QStringLiteral("error ") + readText(base + QStringLiteral(".fail")).trimmed());
    } else {
        QCOMPARE(got, readText(base + QStringLiteral(".out")));
    }
    QCOMPARE(dialogs.records, expectedDialogs);
    QCOMPARE(script.nestingLevel(), 0);
}

void TestScript::nestingLimit_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");
    const QString exceeded = cJSONScript::NestingExceeded;
    const QString get = QStringLiteral(R"({"get": {"name": "x", "default": "d"}})");
    const QString ifEq = QStringLiteral(R"({"if": {"value1": ["a"], "value2": "a", "type": "eq", "true": "same",
                                         "false": "different"}})");

    // The script's own list is not evaluated as a whole: each inner list is one evaluation, and so is the text.
    QTest::newRow("41 evaluations complete") << u'[' + lists(40, QStringLiteral(R"("a")")) + u']' << "a";
    QTest::newRow("the 42nd gives the error text") << u'[' + lists(41, QStringLiteral(R"("a")")) + u']' << exceeded;
    QTest::newRow("texts around an exceeded item stay")
        << QStringLiteral(R"(["x", )") + lists(41, QStringLiteral(R"("a")")) + QStringLiteral(R"(, "y"])")
        << QStringLiteral("x") + exceeded + QStringLiteral("y");
    QTest::newRow("a sibling at a shallow level still evaluates")
        << QStringLiteral("[[") + lists(41, QStringLiteral(R"("a")")) + QStringLiteral(R"(, "b"])") + u']'
        << exceeded + QStringLiteral("b");
    QTest::newRow("a script far deeper than the limit") << lists(800, QStringLiteral("null")) << exceeded;
    QTest::newRow("get at level 40 reads its variable at 41") << u'[' + lists(39, get) + u']' << "d";
    // The error text is not empty, so the default is not taken.
    QTest::newRow("get at level 41 reads its variable at 42") << u'[' + lists(40, get) + u']' << exceeded;
    QTest::newRow("if compares with its values at level 41") << u'[' + lists(38, ifEq) + u']' << "same";
    QTest::newRow("if carries on with the error text as a value") << u'[' + lists(39, ifEq) + u']' << "different";
}

void TestScript::nestingLimit() {
    QFETCH(QString, script);
    QFETCH(QString, expected);
    ScriptedDialogs dialogs;
    cJSONScript interpreter(dialogs);
    QCOMPARE(outcome(interpreter, script), expected);
    QCOMPARE(interpreter.nestingLevel(), 0);
    QCOMPARE(dialogs.records, QStringList());
}

// Several Eval calls on one object, each with what it must give ("error N" for a failure).
void TestScript::callsOnOneObject_data() {
    QTest::addColumn<QStringList>("scripts");
    QTest::addColumn<QStringList>("expected");
    const QString greeting = QStringLiteral(R"(["Hello ", {"get": {"name": "user", "default": "guest"}}, "!"])");

    QTest::newRow("variables live across calls")
        << QStringList{greeting, QStringLiteral(R"([{"set": {"name": "user", "value": "Ana"}}])"), greeting}
        << QStringList{"Hello guest!", "", "Hello Ana!"};
    QTest::newRow("set replaces a present variable")
        << QStringList{QStringLiteral(R"([{"set": {"name": "a", "value": "1"}}])"),
                       QStringLiteral(R"([{"set": {"name": "a", "value": "2"}}, {"get": {"name": "a"}}])")}
        << QStringList{"", "2"};
    QTest::newRow("a failure keeps variables and restores the nesting level")
        << QStringList{QStringLiteral(R"([{"set": {"name": "x", "value": "1"}}, [[[{"return": 5}]]]])"),
                       u'[' + lists(40, QStringLiteral(R"("deep")")) + u']',
                       QStringLiteral(R"([{"get": {"name": "x"}}])")}
        << QStringList{"error 424", "deep", "1"};
    QTest::newRow("a variable set before a failing sibling stays")
        << QStringList{QStringLiteral(
                           R"([{"set": {"name": "y", "value": [{"set": {"name": "z", "value": "kept"}}, {"return": 1}]}}])"),
                       QStringLiteral(R"([{"get": {"name": "z"}}, "/", {"get": {"name": "y", "default": "unset"}}])")}
        << QStringList{"error 424", "kept/unset"};
    QTest::newRow("a name added by its own value keeps the inner value")
        << QStringList{QStringLiteral(
                           R"([{"set": {"name": "n", "value": [{"set": {"name": "n", "value": "inner"}}, "outer"]}}])"),
                       QStringLiteral(R"([{"get": {"name": "n"}}])")}
        << QStringList{"error 457", "inner"};
    QTest::newRow("a script with parse errors sets nothing")
        << QStringList{QStringLiteral(R"([{"set": {"name": "x", "value": "1"}})"),
                       QStringLiteral(R"([{"get": {"name": "x", "default": "unset"}}])")}
        << QStringList{"", "unset"};
}

void TestScript::callsOnOneObject() {
    QFETCH(QStringList, scripts);
    QFETCH(QStringList, expected);
    ScriptedDialogs dialogs;
    cJSONScript interpreter(dialogs);
    for (qsizetype i = 0; i < scripts.size(); ++i) {
        QCOMPARE(outcome(interpreter, scripts.at(i)), expected.at(i));
        QCOMPARE(interpreter.nestingLevel(), 0);
    }
}

void TestScript::execCommandFailureRestoresNesting() {
    const std::optional<json::JsonValue> tree =
        ParseJson(u"[[{\"set\": {\"name\": \"v\", \"value\": \"set\"}}, [{\"alert\": \"text\"}]]]");
    QVERIFY(tree && ParserErrors().isEmpty());
    ScriptedDialogs dialogs;
    cJSONScript interpreter(dialogs);
    try {
        interpreter.ExecCommand(*tree);
        QFAIL("an alert without an inner object must fail");
    } catch (const vb::Error& error) {
        QCOMPARE(error.number(), 424);
        QCOMPARE(error.description(), QStringLiteral("Object required"));
    }
    QCOMPARE(interpreter.nestingLevel(), 0);
    QCOMPARE(interpreter.variables().Item(u"v").toText(), QStringLiteral("set"));
}

void TestScript::numbersUnderACommaRegion_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("expected");
    QTest::newRow("an evaluated number takes a point") << R"([[1.5, " ", -0.25]])"
                                                       << "1.5 -0.25";
    QTest::newRow("a tag argument keeps the regional comma") << R"([{"n": {"a": 2.25, "b": 3}}])"
                                                             << "<%N(2,25,3)%>";
    QTest::newRow("an unevaluated case keeps the comma")
        << R"([{"switch": {"default": "d", "case": "3,5", "items": [{"case": 3.5, "return": "matched"}]}}])"
        << "matched";
    QTest::newRow("an evaluated case does not")
        << R"([{"switch": {"default": "d", "case": [3.5], "items": [{"case": 3.5, "return": "matched"}]}}])"
        << "d";
    QTest::newRow("a stored number reads back with a point")
        << R"([{"set": {"name": "p", "value": [7.5]}}, {"get": {"name": "p"}}])"
        << "7.5";
}

void TestScript::numbersUnderACommaRegion() {
    QFETCH(QString, script);
    QFETCH(QString, expected);
    const RegionGuard region(QLocale(QLocale::German, QLocale::Germany));
    ScriptedDialogs dialogs;
    cJSONScript interpreter(dialogs);
    QCOMPARE(outcome(interpreter, script), expected);
}

void TestScript::evaluatedNumbersUseAPointInEveryRegion_data() {
    QTest::addColumn<QLocale>("region");
    QTest::newRow("German, decimal comma") << QLocale(QLocale::German, QLocale::Germany);
    QTest::newRow("Arabic, Arabic decimal separator") << QLocale(QLocale::Arabic, QLocale::SaudiArabia);
    QTest::newRow("Persian") << QLocale(QLocale::Persian, QLocale::Iran);
}

void TestScript::evaluatedNumbersUseAPointInEveryRegion() {
    QFETCH(QLocale, region);
    const RegionGuard guard(region);
    ScriptedDialogs dialogs;
    cJSONScript interpreter(dialogs);
    QCOMPARE(outcome(interpreter, QStringLiteral(R"([[1.5, " ", -2.25, " ", 1000]])")),
             QStringLiteral("1.5 -2.25 1000"));
}

QTEST_GUILESS_MAIN(TestScript)
#include "tst_cjsonscript.moc"
