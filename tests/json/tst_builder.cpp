#include <QTest>

#include <functional>

#include "VbError.h"
#include "cStringBuilder.h"
#include "tests.h"

using Steps = std::function<void(cStringBuilder&)>;
Q_DECLARE_METATYPE(Steps)

namespace {

QString repeated(QChar c, int n) {
    return QString(n, c);
}

// Runs steps on a fresh builder; returns the error number they raised, 0 when none.
int runSteps(cStringBuilder& b, const Steps& steps) {
    try {
        steps(b);
    } catch (const vb::Error& e) {
        return e.number();
    }
    return 0;
}

}  // namespace

class BuilderTest : public QObject {
    Q_OBJECT
  private slots:
    void growthAndContent_data();
    void growthAndContent();
    void faultsLeaveBuilderUnchanged_data();
    void faultsLeaveBuilderUnchanged();
    void find_data();
    void find();
    void appendingFromOwnContentIsSafe();
    void copiesAreIndependent();
};

void BuilderTest::growthAndContent_data() {
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<QString>("content");
    QTest::addColumn<int>("capacity");

    QTest::newRow("new builder") << Steps([](cStringBuilder&) {}) << QString() << 0;
    QTest::newRow("one character takes one chunk") << Steps([](cStringBuilder& b) { b.Append(u"x"); }) << "x" << 8192;
    QTest::newRow("20000 characters grow by three chunks at once")
        << Steps([](cStringBuilder& b) { b.Append(repeated('a', 20000)); }) << repeated('a', 20000) << 24576;
    QTest::newRow("ten pieces of 1000") << Steps([](cStringBuilder& b) {
        for (int i = 0; i < 10; ++i) {
            b.Append(repeated(QChar('0' + i), 1000));
            if (i == 0) {
                QCOMPARE(b.Capacity(), 8192);
            }
            if (i == 8) {
                QCOMPARE(b.Capacity(), 16384);
            }
        }
    }) <<
        [] {
            QString s;
            for (int i = 0; i < 10; ++i) {
                s += repeated(QChar('0' + i), 1000);
            }
            return s;
        }() << 16384;
    QTest::newRow("empty append allocates nothing")
        << Steps([](cStringBuilder& b) { b.Append(u""); }) << QString() << 0;
    QTest::newRow("AppendNL adds CR LF") << Steps([](cStringBuilder& b) { b.AppendNL(u"abc"); }) << "abc\r\n" << 8192;
    QTest::newRow("insert in front") << Steps([](cStringBuilder& b) {
        b.Append(u"world");
        b.Insert(0, u"hello ");
    }) << "hello world" << 8192;
    QTest::newRow("insert at Length appends") << Steps([](cStringBuilder& b) {
        b.Append(u"ab");
        b.Insert(2, u"cd");
    }) << "abcd" << 8192;
    QTest::newRow("insert in the middle") << Steps([](cStringBuilder& b) {
        b.Append(u"abef");
        b.InsertByVal(2, QStringLiteral("cd"));
    }) << "abcdef" << 8192;
    QTest::newRow("insert past a chunk boundary grows") << Steps([](cStringBuilder& b) {
        b.Append(repeated('a', 8190));
        b.Insert(1, u"xyz");
    }) << QString("a" + QString("xyz") + repeated('a', 8189))
                                                        << 16384;
    QTest::newRow("remove everything keeps the storage") << Steps([](cStringBuilder& b) {
        b.Append(u"abcdef");
        b.Remove(0, 6);
    }) << QString() << 8192;
    QTest::newRow("remove in the middle") << Steps([](cStringBuilder& b) {
        b.Append(u"abcdef");
        b.Remove(1, 3);
    }) << "aef" << 8192;
    QTest::newRow("shorter TheString keeps the capacity") << Steps([](cStringBuilder& b) {
        b.Append(repeated('a', 9000));
        b.TheString(u"xy");
    }) << "xy" << 16384;
    QTest::newRow("TheString grows one chunk at a time")
        << Steps([](cStringBuilder& b) { b.TheString(repeated('q', 17000)); }) << repeated('q', 17000) << 24576;
    QTest::newRow("empty TheString gives up the storage") << Steps([](cStringBuilder& b) {
        b.Append(u"abc");
        b.TheString(u"");
    }) << QString() << 0;
    QTest::newRow("Clear gives up the storage") << Steps([](cStringBuilder& b) {
        b.Append(u"abc");
        b.Clear();
    }) << QString() << 0;
    QTest::newRow("HeapMinimize keeps one chunk of three") << Steps([](cStringBuilder& b) {
        b.Append(repeated('a', 20000));
        b.Remove(100, 19900);
        b.HeapMinimize();
    }) << repeated('a', 100) << 8192;
    QTest::newRow("HeapMinimize with one chunk does nothing") << Steps([](cStringBuilder& b) {
        b.Append(u"abc");
        b.HeapMinimize();
    }) << "abc" << 8192;
    QTest::newRow("HeapMinimize of an emptied builder keeps one chunk") << Steps([](cStringBuilder& b) {
        b.Append(repeated('a', 20000));
        b.Remove(0, 20000);
        b.HeapMinimize();
    }) << QString() << 8192;
    QTest::newRow("chunk size 100 grows by hundreds") << Steps([](cStringBuilder& b) {
        b.ChunkSize(100);
        QCOMPARE(b.ChunkSize(), 100);
        b.Append(repeated('a', 250));
    }) << repeated('a', 250) << 300;
    QTest::newRow("chunk size change leaves storage alone") << Steps([](cStringBuilder& b) {
        b.Append(u"a");
        b.ChunkSize(10);
        QCOMPARE(b.Capacity(), 8192);
        b.Append(repeated('b', 8195));
    }) << QString("a" + repeated('b', 8195)) << 8202;
}

void BuilderTest::growthAndContent() {
    QFETCH(Steps, steps);
    QFETCH(QString, content);
    QFETCH(int, capacity);
    cStringBuilder b;
    QCOMPARE(runSteps(b, steps), 0);
    QCOMPARE(b.toString(), content);
    QCOMPARE(b.Length(), content.size());
    QCOMPARE(b.Capacity(), capacity);
}

void BuilderTest::faultsLeaveBuilderUnchanged_data() {
    QTest::addColumn<Steps>("fault");
    QTest::addColumn<int>("error");

    QTest::newRow("insert past the end") << Steps([](cStringBuilder& b) { b.Insert(7, u"x"); }) << 9;
    QTest::newRow("insert at a negative index") << Steps([](cStringBuilder& b) { b.Insert(-1, u"x"); }) << 9;
    QTest::newRow("remove a span past the end") << Steps([](cStringBuilder& b) { b.Remove(2, 5); }) << 9;
    QTest::newRow("remove from past the end") << Steps([](cStringBuilder& b) { b.Remove(7, 0); }) << 9;
    QTest::newRow("remove a negative length") << Steps([](cStringBuilder& b) { b.Remove(2, -1); }) << 9;
    QTest::newRow("remove at a negative index") << Steps([](cStringBuilder& b) { b.Remove(-2, 2); }) << 9;
    QTest::newRow("remove with an overflowing span") << Steps([](cStringBuilder& b) { b.Remove(1, 2147483647); }) << 6;
    QTest::newRow("chunk size zero") << Steps([](cStringBuilder& b) { b.ChunkSize(0); }) << 5;
    QTest::newRow("negative chunk size") << Steps([](cStringBuilder& b) { b.ChunkSize(-8); }) << 5;
    QTest::newRow("chunk size that overflows in bytes") << Steps([](cStringBuilder& b) { b.ChunkSize(1 << 30); }) << 6;
    QTest::newRow("unknown compare mode") << Steps([](cStringBuilder& b) { b.Find(u"a", 1, 2); }) << 5;
}

void BuilderTest::faultsLeaveBuilderUnchanged() {
    QFETCH(Steps, fault);
    QFETCH(int, error);
    cStringBuilder b;
    b.Append(u"abcdef");
    QCOMPARE(runSteps(b, fault), error);
    QCOMPARE(b.toString(), QStringLiteral("abcdef"));
    QCOMPARE(b.Capacity(), 8192);
    QCOMPARE(b.ChunkSize(), 8192);
}

void BuilderTest::find_data() {
    QTest::addColumn<QString>("needle");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("compare");
    QTest::addColumn<int>("position");

    QTest::newRow("first occurrence") << "lo" << 1 << 0 << 4;
    QTest::newRow("start 0 counts as 1") << "He" << 0 << 0 << 1;
    QTest::newRow("from a later start") << "lo" << 5 << 0 << 8;
    QTest::newRow("last character") << "!" << 1 << 0 << 11;
    QTest::newRow("exact compare sees case") << "hel" << 1 << 0 << 0;
    QTest::newRow("text compare ignores case") << "hel" << 1 << 1 << 1;
    QTest::newRow("start beyond the content") << "l" << 12 << 1 << 0;
    QTest::newRow("only in the spare room") << "   " << 1 << 0 << 0;
    QTest::newRow("runs past the content") << "!x" << 1 << 0 << 0;
    QTest::newRow("empty needle") << "" << 1 << 0 << 0;
}

void BuilderTest::find() {
    QFETCH(QString, needle);
    QFETCH(int, start);
    QFETCH(int, compare);
    QFETCH(int, position);
    cStringBuilder b;
    b.Append(u"Hello, lol!");
    QCOMPARE(b.Find(needle, start, compare), position);
}

void BuilderTest::appendingFromOwnContentIsSafe() {
    cStringBuilder b;
    b.ChunkSize(4);
    b.Append(u"abcd");
    b.Append(b.view());
    b.Insert(2, b.view().left(3));
    QCOMPARE(b.toString(), QStringLiteral("ababccdabcd"));
}

void BuilderTest::copiesAreIndependent() {
    cStringBuilder a;
    a.Append(u"one");
    cStringBuilder b = a;
    b.Append(u" two");
    QCOMPARE(a.toString(), QStringLiteral("one"));
    QCOMPARE(b.toString(), QStringLiteral("one two"));
}

int runBuilderTests(int argc, char** argv) {
    BuilderTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_builder.moc"
