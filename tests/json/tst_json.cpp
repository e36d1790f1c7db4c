#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLocale>
#include <QProcess>
#include <QTemporaryFile>
#include <QTest>

#include "JSON.h"
#include "VbError.h"
#include "tests.h"

using json::Collection;
using json::Dictionary;
using json::JsonValue;

namespace {

QByteArray canonical(const std::optional<JsonValue>& v) {
    return v ? json::toCanonicalUtf8(*v) : "nothing";
}

QString nested(int levels, const QString& inner = QString()) {
    return QString(levels, QLatin1Char('[')) + inner + QString(levels, QLatin1Char(']'));
}

}  // namespace

class ReaderTest : public QObject {
    Q_OBJECT
  private slots:
    void parse_data();
    void parse();
    void bytesReadAsTheirText_data();
    void bytesReadAsTheirText();
    void errorTextBelongsToTheLastParse();
    void nestingLimit_data();
    void nestingLimit();
    void deepTreesCopyAndDestroy();
    void dictionaryKeepsOrderAndRefusesPresentKeys();
    void dictionaryLookupsStayRightWhenLarge();
    void collectionCountsFromOne();
    void accessorsOfAnotherKindRaise();
    void textFormFollowsRegionalSettings();
    void brokenLiteralsDoNotBlowUpTheErrorText();
    void corporaParseTheSameTwiceFromTextOrBytes();
    void tool_data();
    void tool();
};

void ReaderTest::parse_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("tree");
    QTest::addColumn<QString>("errors");

    // clang-format off
    QTest::newRow("empty text") << "" << QByteArray("nothing") << "Invalid JSON";
    QTest::newRow("only blanks and comments") << " \t// note\r\n/* x */ " << QByteArray("nothing") << "Invalid JSON";
    QTest::newRow("a bare word") << "  hello" << QByteArray("nothing") << "Invalid JSON";
    QTest::newRow("empty object") << "{}" << QByteArray("{}") << "";
    QTest::newRow("empty array") << "[]" << QByteArray("[]") << "";
    QTest::newRow("object in parentheses") << "({})" << QByteArray("{}") << "";
    QTest::newRow("after a line comment") << "// c\n{}" << QByteArray("{}") << "";
    QTest::newRow("after a block comment") << "/* c */[]" << QByteArray("[]") << "";
    QTest::newRow("words after the value are ignored") << "[1] and more" << QByteArray("[1]") << "";
    QTest::newRow("standard document")
        << "{\"id\":\"MLV1\",\"price\":12.5,\"tags\":[true,false,null],\"sub\":{}}"
        << QByteArray("{\"id\":\"MLV1\",\"price\":12.5,\"tags\":[true,false,null],\"sub\":{}}") << "";
    QTest::newRow("no commas needed") << "[1 2 {a:1 b:2}]" << QByteArray("[1,2,{\"a\":1,\"b\":2}]") << "";
    QTest::newRow("cut after a digit") << "[1" << QByteArray("[1]") << "Missing ']': [1\r\n";
    QTest::newRow("cut inside a string") << "[\"abc" << QByteArray("[\"abc\"]") << "Missing ']': [\"abc\r\n";
    QTest::newRow("cut after a comma") << "[1," << QByteArray("[1,empty]") << "Missing ']': [1,\r\n";
    QTest::newRow("missing brace quotes the last 20 characters")
        << "{\"key\":\"value\",\"other\":1" << QByteArray("{\"key\":\"value\",\"other\":1}")
        << "Missing '}': y\":\"value\",\"other\":1\r\n";
    QTest::newRow("unquoted and apostrophe keys") << "{a:1,'b':2}" << QByteArray("{\"a\":1,\"b\":2}") << "";
    QTest::newRow("blanks dropped inside quoted keys") << "{\"first name\":1}" << QByteArray("{\"firstname\":1}") << "";
    QTest::newRow("keys differ by case") << "{A:1,a:2}" << QByteArray("{\"A\":1,\"a\":2}") << "";
    QTest::newRow("backslash is ordinary in keys") << "{a\\b:1}" << QByteArray("{\"a\\\\b\":1}") << "";
    QTest::newRow("duplicate key keeps the first")
        << "{\"a\":1,\"a\":2}" << QByteArray("{\"a\":1}")
        << "This key is already associated with an element of this collection: a\r\n";
    QTest::newRow("invalid key reads the value from there")
        << "{\"a\" 1}" << QByteArray("{\"a\":1}") << "Invalid Key at position 6 : a\r\n";
    QTest::newRow("escapes") << "[\"\\u00e9\\uD83D\\uDE00\\q\\\"\\\\\\/\\'\\b\\f\\n\\r\\t\"]"
                             << QByteArray("[\"\xc3\xa9\xf0\x9f\x98\x80q\\\"\\\\/'\\u0008\\u000c\\u000a\\u000d\\u0009\"]")
                             << "";
    QTest::newRow("short unicode escape swallows four characters")
        << "[\"\\u00e\"]" << QByteArray("[\"\\u000e]\"]") << "Missing ']': [\"\\u00e\"]\r\n";
    QTest::newRow("unicode escape without digits") << "[\"\\uzzzz\"]" << QByteArray("[\"\\u0000\"]") << "";
    QTest::newRow("lone surrogate escape") << "[\"\\uD800x\"]" << QByteArray("[\"\\ud800x\"]") << "";
    QTest::newRow("the other quote is ordinary") << "['a\"b',\"c'd\"]" << QByteArray("[\"a\\\"b\",\"c'd\"]") << "";
    QTest::newRow("no comments inside strings") << "[\"a//b\"]" << QByteArray("[\"a//b\"]") << "";
    QTest::newRow("numbers in any notation") << "[1.5,12.5e1,+5,1.50,-0,125.0,-3E-2]"
                                             << QByteArray("[1.5,125,5,1.5,0,125,-0.03]") << "";
    QTest::newRow("long plain numbers")
        << "[12345678,1234567890123456789,-98765432.12345678,0.0000000012345678901,00000000000000000001,"
           "12345678901234567890,99999999999999999999.5,.5,5.,-0.0,1234567812345678e-8]"
        << QByteArray("[12345678,1234567890123456789,-98765432.12345678,0.0000000012345678901,1,"
                      "12345678901234567890,99999999999999999999.5,0.5,5,0,12345678.12345678]") << "";
    QTest::newRow("two commas in a row") << "[1,,2]" << QByteArray("[1]") << "Type mismatch: ,2]\r\n";
    QTest::newRow("comma before the bracket") << "[1,]" << QByteArray("[1]") << "Type mismatch: ]\r\n";
    QTest::newRow("number out of range") << "[1e40,2]" << QByteArray("[]") << "Overflow: ,2]\r\n";
    QTest::newRow("failed member value") << "{\"a\":-}" << QByteArray("{}") << "Type mismatch: a\r\n";
    QTest::newRow("broken true in an object")
        << "{\"a\": tru}" << QByteArray("{\"a\":false,\"tru}\":empty}")
        << "Invalid Boolean at position 7 : tru}\r\nMissing '}': {\"a\": tru}\r\n";
    QTest::newRow("broken null in an object")
        << "{\"a\":nul}" << QByteArray("{\"a\":empty,\"nul}\":empty}")
        << "Invalid null value at position 6 : nul}\r\nMissing '}': {\"a\":nul}\r\n";
    QTest::newRow("cut-off true ends the array once") << "[tr" << QByteArray("[false]")
                                                      << "Invalid Boolean at position 2 : tr\r\n";
    QTest::newRow("broken null ends the array") << "[nul, 1]" << QByteArray("[empty]")
                                                << "Invalid null value at position 2 : nul, 1]\r\n";
    QTest::newRow("enclosing array goes on from the broken literal")
        << "[[tr],2]" << QByteArray("[[false],false]")
        << "Invalid Boolean at position 3 : tr],2]\r\nInvalid Boolean at position 3 : tr],2]\r\n";
    QTest::newRow("broken literal inside an object inside an array")
        << "[{\"a\":tru},3]" << QByteArray("[{\"a\":false,\"tru},3]\":empty}]")
        << "Invalid Boolean at position 7 : tru},3]\r\nMissing '}': [{\"a\":tru},3]\r\n"
           "Missing ']': [{\"a\":tru},3]\r\n";
    QTest::newRow("capitalised words are not literals") << "[True]" << QByteArray("[]") << "Type mismatch: True]\r\n";
    QTest::newRow("NULL") << "[1,NULL]" << QByteArray("[1]") << "Type mismatch: NULL]\r\n";
    QTest::newRow("lone slash is a blank") << "[/1]" << QByteArray("[1]") << "";
    QTest::newRow("lone slash in a line comment ends it") << "[//x/1\n2]" << QByteArray("[1,2]") << "";
    QTest::newRow("block comment with a slash inside") << "[/* a/b */1]" << QByteArray("[1]") << "";
    QTest::newRow("any earlier asterisk lets a slash end a block") << "[/* * x / 1]" << QByteArray("[1]") << "";
    QTest::newRow("two asterisks open a block comment") << "[** x */1]" << QByteArray("[1]") << "";
    QTest::newRow("asterisk slash opens a line comment") << "[*/x\n1]" << QByteArray("[1]") << "";
    QTest::newRow("long indentation around comments")
        << "[1,\r\n" + QString(20, ' ') + "\t// x\r\n" + QString(17, ' ') + "/* " + QString(16, ' ') + "*/" +
               QString(33, ' ') + "2" + QString(16, '\n') + "]"
        << QByteArray("[1,2]") << "";
    QTest::newRow("line breaks do not end a block comment") << "[/* a\n b */1]" << QByteArray("[1]") << "";
    QTest::newRow("form feed is not a blank") << "\f[1]" << QByteArray("nothing") << "Invalid JSON";
    QTest::newRow("brace after comma is read as a key") << "{\"a\":1,}" << QByteArray("{\"a\":1,\"}\":empty}")
                                                        << "Missing '}': {\"a\":1,}\r\n";
    // clang-format on
}

void ReaderTest::parse() {
    QFETCH(QString, text);
    QFETCH(QByteArray, tree);
    QFETCH(QString, errors);
    const std::optional<JsonValue> value = ParseJson(text);
    QCOMPARE(canonical(value), tree);
    QCOMPARE(ParserErrors(), errors);
    if (value) {
        QVERIFY(value->isContainer());
    }
    QCOMPARE(canonical(ParseJsonUtf8(text.toUtf8())), tree);
    QCOMPARE(ParserErrors(), errors);
}

// Read from its bytes, an input gives what its text gives: tree and error text.
void ReaderTest::bytesReadAsTheirText_data() {
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray longAscii = QByteArray("abcdefghijklmnopq").repeated(3);
    // clang-format off
    QTest::newRow("accents in keys and values") << QByteArray("{\"a\xc3\xb1o\":\"caf\xc3\xa9\", ni\xc3\xb1o: 'se\xc3\xb1or'}");
    QTest::newRow("four-byte characters") << QByteArray("[\"\xf0\x9f\x98\x80x\", \"\xf4\x8f\xbf\xbf\"]");
    QTest::newRow("noncharacters") << QByteArray("[\"\xef\xbf\xbe\xef\xbf\xbf\xef\xb7\x90\"]");
    QTest::newRow("broken sequence in a string") << QByteArray("[\"a\xc3(\", \"\xed\xa0\x80\", \"\xc0\x80\", \"\xf4\x90\x80\x80\"]");
    QTest::newRow("cut sequence at the end") << QByteArray("[\"ab\xe2\x82");
    QTest::newRow("byte order mark first") << QByteArray("\xef\xbb\xbf{\"a\":1}");
    QTest::newRow("byte order mark inside") << QByteArray("[\"\xef\xbb\xbf\"]");
    QTest::newRow("accent outside strings") << QByteArray("[1, \xc3\xa9]");
    QTest::newRow("accent in a comment") << QByteArray("[1 /* \xc3\xa9 */, 2 // \xc3\xa9\n]");
    QTest::newRow("short unicode escape before an accent") << QByteArray("[\"\\u4\xc3\xa9xyz\"]");
    QTest::newRow("short unicode escape before ASCII") << QByteArray("[\"\\u4xyz!\"]");
    QTest::newRow("unknown escape of an accent") << QByteArray("[\"a\\\xc3\xa9" "b\"]");
    QTest::newRow("escapes among accents") << QByteArray("[\"\xc3\xa9\\n" + longAscii + "\xc3\xa9\\\"\xe2\x82\xac\"]");
    QTest::newRow("quote at every offset of a block") << "[\"" + longAscii + "\",\"" + longAscii.left(15) + "\",\"" + longAscii.left(16) + "\"]";
    QTest::newRow("accent just past the quote") << "[\"" + longAscii.left(10) + "\",\"\xc3\xa9" + longAscii + "\"]";
    QTest::newRow("bare key with accent and blanks") << QByteArray("{ 'ma\xc3\xb1' ana' :1, \"x y\"z\":2}");
    QTest::newRow("broken key") << QByteArray("{\"cl\xc3\xa1ve\" x:1}");
    QTest::newRow("broken literal after accents") << QByteArray("[\"\xc3\xa9\", tru]");
    QTest::newRow("numbers") << QByteArray("[+1, -0, 0.000, 12345678901234567890, 1e3, 0.1234567890123456789012345678901, 1..2]");
    // clang-format on
}

void ReaderTest::bytesReadAsTheirText() {
    QFETCH(QByteArray, bytes);
    const json::ParseOutcome fromText = json::parseJsonText(QString::fromUtf8(bytes));
    const json::ParseOutcome fromBytes = json::parseJsonUtf8(bytes);
    QCOMPARE(canonical(fromBytes.value), canonical(fromText.value));
    QCOMPARE(fromBytes.errors, fromText.errors);
}

void ReaderTest::errorTextBelongsToTheLastParse() {
    std::optional<JsonValue> first = ParseJson(u"[1,,2]");
    QCOMPARE(ParserErrors(), QStringLiteral("Type mismatch: ,2]\r\n"));
    QCOMPARE(ParserErrors(), QStringLiteral("Type mismatch: ,2]\r\n"));
    std::optional<JsonValue> second = ParseJson(u"{\"b\":[true]}");
    QCOMPARE(ParserErrors(), QString());
    QCOMPARE(canonical(first), QByteArray("[1]"));
    QCOMPARE(canonical(second), QByteArray("{\"b\":[true]}"));
}

void ReaderTest::nestingLimit_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("tree");
    QTest::addColumn<QString>("errors");

    QTest::newRow("1000 levels parse") << nested(1000, "7") << nested(1000, "7").toUtf8() << "";
    QTest::newRow("the 1001st level stops the parse")
        << nested(1001) << QByteArray("[]") << "Nesting too deep at position 1001\r\n";
    QTest::newRow("what was added before stays")
        << ("[1,{\"a\":[2]}," + nested(1000) + ",3]") << QByteArray("[1,{\"a\":[2]}]")
        << "Nesting too deep at position 1013\r\n";
    QTest::newRow("deep objects") << (QString("{a:").repeated(1001) + "1" + QString("}").repeated(1001))
                                  << QByteArray("{}") << "Nesting too deep at position 3001\r\n";
    QTest::newRow("hostile depth") << QString(200000, QLatin1Char('[')) << QByteArray("[]")
                                   << "Nesting too deep at position 1001\r\n";
}

// The same columns and checks as parse().
void ReaderTest::nestingLimit() {
    parse();
}

void ReaderTest::deepTreesCopyAndDestroy() {
    std::optional<JsonValue> deep = ParseJson(QString("{a:[").repeated(500) + "\"x\"" + QString("]}").repeated(500));
    QCOMPARE(ParserErrors(), QString());
    JsonValue copy = *deep;
    deep.reset();
    const QByteArray dumped = json::toCanonicalUtf8(copy);
    QCOMPARE(dumped, (QString("{\"a\":[").repeated(500) + "\"x\"" + QString("]}").repeated(500)).toUtf8());

    // Texts and containers of a parse share storage; parts taken out outlive the tree and change on their own.
    QByteArray page = "[";
    for (int i = 0; i < 3000; ++i) {
        page += "{\"id\":\"MLV" + QByteArray::number(i) + "\",\"t\":\"" + QByteArray(i % 300, 'x') + "\",\"n\":[" +
                QByteArray::number(i) + "]},";
    }
    page += "{}]";
    std::optional<JsonValue> tree = ParseJsonUtf8(page);
    QCOMPARE(ParserErrors(), QString());
    QString id = tree->collection().Item(2000).dictionary().Item(u"id").text();
    QString title = tree->collection().Item(299).dictionary().Item(u"t").text();
    Dictionary item = std::move(tree->collection().Item(1500).dictionary());
    Collection numbers = tree->collection().Item(10).dictionary().Item(u"n").collection();
    tree.reset();
    id.append(u"-b");
    title[0] = u'y';
    item.Add("extra", JsonValue(id));
    numbers.Add(JsonValue(title));
    QCOMPARE(id, QStringLiteral("MLV1999-b"));
    QCOMPARE(title, QString(u'y') + QString(297, u'x'));
    QCOMPARE(json::toCanonicalUtf8(JsonValue(std::move(item))),
             "{\"id\":\"MLV1499\",\"t\":\"" + QByteArray(299, 'x') + "\",\"n\":[1499],\"extra\":\"MLV1999-b\"}");
    QCOMPARE(json::toCanonicalUtf8(JsonValue(std::move(numbers))), "[9,\"y" + QByteArray(297, 'x') + "\"]");
}

void ReaderTest::dictionaryKeepsOrderAndRefusesPresentKeys() {
    Dictionary d;
    d.Add("zeta", JsonValue(QStringLiteral("1")));
    d.Add("Alpha", JsonValue(true));
    d.Add("alpha", JsonValue::null());
    QCOMPARE(d.keys(), QStringList({"zeta", "Alpha", "alpha"}));
    try {
        d.Add("Alpha", JsonValue(false));
        QFAIL("a present key was added");
    } catch (const vb::Error& e) {
        QCOMPARE(e.number(), 457);
        QCOMPARE(e.description(), QStringLiteral("This key is already associated with an element of this collection"));
    }
    QCOMPARE(d.Item(u"Alpha").boolean(), true);
    QVERIFY(d.Item(u"missing").isEmpty());
    QVERIFY(!d.Exists(u"missing"));
    d.setItem("zeta", JsonValue(QStringLiteral("2")));
    d.setItem("new", JsonValue(QStringLiteral("3")));
    QCOMPARE(d.keys(), QStringList({"zeta", "Alpha", "alpha", "new"}));
    QCOMPARE(d.Item(u"zeta").text(), QStringLiteral("2"));
    QCOMPARE(d.Count(), 4);
}

void ReaderTest::dictionaryLookupsStayRightWhenLarge() {
    Dictionary d;
    for (int i = 0; i < 1000; ++i) {
        QVERIFY(d.tryAdd(QString::number(i * 7), JsonValue(QString::number(i))));
    }
    QVERIFY(!d.tryAdd(QStringLiteral("693"), JsonValue()));
    for (int i = 0; i < 1000; ++i) {
        QCOMPARE(d.Item(QString::number(i * 7)).text(), QString::number(i));
        QVERIFY(!d.Exists(QString::number(i * 7 + 1)));
    }
    Dictionary copy = d;
    copy.setItem(QStringLiteral("0"), JsonValue(QStringLiteral("changed")));
    QCOMPARE(d.Item(u"0").text(), QStringLiteral("0"));
    QCOMPARE(copy.Item(u"0").text(), QStringLiteral("changed"));
    QCOMPARE(copy.keys().first(), QStringLiteral("0"));

    std::optional<JsonValue> parsed = ParseJson(u"{k1:1,k2:2,k3:3,k4:4,k5:5,k6:6,k7:7,k8:8,k9:9,k10:10,k3:0}");
    QCOMPARE(ParserErrors(),
             QStringLiteral("This key is already associated with an element of this collection: k3\r\n"));
    QCOMPARE(parsed->dictionary().Count(), 10);
    QCOMPARE(parsed->dictionary().Item(u"k9").number().toText('.'), QStringLiteral("9"));
}

void ReaderTest::collectionCountsFromOne() {
    std::optional<JsonValue> v = ParseJson(u"['a','b']");
    const Collection& c = v->collection();
    QCOMPARE(c.Count(), 2);
    QCOMPARE(c.Item(1).text(), QStringLiteral("a"));
    QCOMPARE(c.Item(2).text(), QStringLiteral("b"));
    for (int bad : {0, 3, -1}) {
        try {
            (void)c.Item(bad);
            QFAIL("an index out of range was read");
        } catch (const vb::Error& e) {
            QCOMPARE(e.number(), 9);
        }
    }
}

void ReaderTest::accessorsOfAnotherKindRaise() {
    std::optional<JsonValue> v = ParseJson(u"[null, 'x', {}]");
    const Collection& c = v->collection();
    QCOMPARE(c.Item(3).typeName(), QStringLiteral("Dictionary"));
    QCOMPARE(v->typeName(), QStringLiteral("Collection"));
    for (int i : {1, 2}) {
        try {
            (void)c.Item(i).dictionary();
            QFAIL("a value of another kind was read as a dictionary");
        } catch (const vb::Error& e) {
            QCOMPARE(e.number(), 13);
        }
    }
    try {
        (void)c.Item(1).toText();
        QFAIL("null has no text form");
    } catch (const vb::Error& e) {
        QCOMPARE(e.number(), 13);
    }
}

void ReaderTest::textFormFollowsRegionalSettings() {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    std::optional<JsonValue> v = ParseJson(u"{\"paging\":{\"primary_results\":1234.50}, \"t\":true}");
    QCOMPARE(v->dictionary().Item(u"paging").dictionary().Item(u"primary_results").toText(), QStringLiteral("1234,5"));
    QCOMPARE(v->dictionary().Item(u"t").toText(), QStringLiteral("true"));
    // The canonical form is the same whatever the settings.
    QCOMPARE(json::toCanonicalUtf8(*v), QByteArray("{\"paging\":{\"primary_results\":1234.5},\"t\":true}"));
    QLocale::setDefault(saved);
}

void ReaderTest::brokenLiteralsDoNotBlowUpTheErrorText() {
    // Each broken literal quotes the rest of the text; 40,000 of them in 200,000 characters must stay bounded.
    QString text = "{";
    for (int i = 0; i < 40000; ++i) {
        text += QStringLiteral("a%1:tx ").arg(i);
    }
    std::optional<JsonValue> v = ParseJson(text);
    QVERIFY(v.has_value());
    const QString errors = ParserErrors();
    QVERIFY(errors.startsWith(QStringLiteral("Invalid Boolean at position 5 : tx a1:tx ")));
    QVERIFY2(errors.size() < 8'000'000, qPrintable(QString::number(errors.size())));
    QCOMPARE(errors.count(QStringLiteral("Invalid Boolean")), 40000);
}

void ReaderTest::corporaParseTheSameTwiceFromTextOrBytes() {
    const QString root = QStringLiteral(VANTORIA_CORPORA_DIR);
    if (!QDir(root).exists()) {
        QSKIP("the shared corpora are not present");
    }
    int files = 0;
    QStringList faults;
    QDirIterator it(root, {"*.json", "*.json5", "*.txt", "*.js"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        const QString text = QString::fromUtf8(bytes);
        const std::optional<JsonValue> a = ParseJson(text);
        const QString errorsA = ParserErrors();
        const std::optional<JsonValue> b = ParseJson(text);
        QCOMPARE(canonical(a), canonical(b));
        QCOMPARE(ParserErrors(), errorsA);
        QCOMPARE(canonical(ParseJsonUtf8(bytes)), canonical(a));
        QCOMPARE(ParserErrors(), errorsA);
        // Well-formed standard documents that start with a container read without a fault.
        const QString name = QFileInfo(f).fileName();
        const QString trimmed = text.trimmed();
        if (name.startsWith("y_") && (trimmed.startsWith('[') || trimmed.startsWith('{'))) {
            if (!errorsA.isEmpty()) {
                faults << name;
            }
        }
        ++files;
    }
    QVERIFY(files > 100);
    // The standard documents the reader refuses by design: numbers beyond the exact decimal's range, and a key
    // given twice (the first value stays).
    faults.sort();
    QCOMPARE(faults,
             QStringList({"y_number.json", "y_number_real_exponent.json", "y_number_real_fraction_exponent.json",
                          "y_object_duplicated_key.json", "y_object_duplicated_key_and_value.json"}));
}

void ReaderTest::tool_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("status");

    QTest::newRow("example") << QByteArray("{\"a\": tru}")
                             << QByteArray(
                                    "{\"a\":false,\"tru}\":empty}\n--- errors\n"
                                    "Invalid Boolean at position 7 : tru}\r\nMissing '}': {\"a\": tru}\r\n")
                             << 1;
    QTest::newRow("clean") << QByteArray("[1.50, \"\xc3\xb1\"]\r\n") << QByteArray("[1.5,\"\xc3\xb1\"]\n") << 0;
    QTest::newRow("nothing") << QByteArray("  ") << QByteArray("nothing\n--- errors\nInvalid JSON") << 1;
    QTest::newRow("positions count UTF-16 units")
        << QByteArray("[\"\xf0\x9f\x98\x80\", tx]")
        << QByteArray("[\"\xf0\x9f\x98\x80\",false]\n--- errors\nInvalid Boolean at position 8 : tx]\r\n") << 1;
    QTest::newRow("longer than one written piece")
        << "[\"" + QByteArray("\xc3\xa9\\\"\x01").repeated(30000) + "\"," + QByteArray("-12.50,").repeated(30000) + "0]"
        << "[\"" + QByteArray("\xc3\xa9\\\"\\u0001").repeated(30000) + "\"," + QByteArray("-12.5,").repeated(30000) +
               "0]\n"
        << 0;
    QTest::newRow("lone surrogate in the error text")
        << QByteArray("{\"a\\ud800\" 1}")
        << QByteArray("{\"a\\\\ud800\":1}\n--- errors\nInvalid Key at position 12 : a\\ud800\r\n") << 1;
}

// Each text goes to the tool once on standard input and once as a file.
void ReaderTest::tool() {
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    QFETCH(int, status);
    QTemporaryFile file;
    QVERIFY(file.open());
    QCOMPARE(file.write(input), input.size());
    file.close();
    for (const QStringList& arguments : {QStringList(), QStringList(file.fileName())}) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LC_ALL", "de_DE.UTF-8");
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(VANTORIA_JSON_TOOL), arguments);
        QVERIFY(p.waitForStarted(10000));
        if (arguments.isEmpty()) {
            p.write(input);
        }
        p.closeWriteChannel();
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.readAllStandardOutput(), output);
        QCOMPARE(p.exitCode(), status);
    }
}

int runReaderTests(int argc, char** argv) {
    ReaderTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_json.moc"
