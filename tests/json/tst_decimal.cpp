#include <QLocale>
#include <QTest>

#include "Decimal.h"
#include "tests.h"

using json::Decimal;
Q_DECLARE_METATYPE(Decimal::Status)

class DecimalTest : public QObject {
    Q_OBJECT
  private slots:
    void parse_data();
    void parse();
    void regionalSeparator();
    void equality();
};

void DecimalTest::parse_data() {
    QTest::addColumn<QString>("run");
    QTest::addColumn<Decimal::Status>("status");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("scale");

    const auto ok = Decimal::Status::Ok;
    const auto nan = Decimal::Status::NotANumber;
    const auto over = Decimal::Status::Overflow;
    QTest::newRow("integer") << "125" << ok << "125" << 0;
    QTest::newRow("fraction keeps its scale") << "1.50" << ok << "1.5" << 2;
    QTest::newRow("exponent") << "12.5e1" << ok << "125" << 0;
    QTest::newRow("capital exponent with sign") << "125E-2" << ok << "1.25" << 2;
    QTest::newRow("leading plus") << "+5" << ok << "5" << 0;
    QTest::newRow("negative") << "-0.75" << ok << "-0.75" << 2;
    QTest::newRow("negative zero prints as zero") << "-0" << ok << "0" << 0;
    QTest::newRow("point without whole part") << ".5" << ok << "0.5" << 1;
    QTest::newRow("point without fraction") << "5." << ok << "5" << 0;
    QTest::newRow("largest magnitude") << "79228162514264337593543950335" << ok << "79228162514264337593543950335" << 0;
    QTest::newRow("largest 64-bit magnitude") << "18446744073709551615" << ok << "18446744073709551615" << 0;
    QTest::newRow("above 64 bits with zeros inside") << "20000000000000000001" << ok << "20000000000000000001" << 0;
    QTest::newRow("trailing zeros above 64 bits") << "184467440737095516.1600" << ok << "184467440737095516.16" << 4;
    QTest::newRow("longest text") << "-7.9228162514264337593543950335" << ok << "-7.9228162514264337593543950335" << 28;
    QTest::newRow("negative zero with decimals") << "-0.000" << ok << "0" << 3;
    QTest::newRow("one past the largest") << "79228162514264337593543950336" << over << "" << 0;
    QTest::newRow("far too large") << "1e29" << over << "" << 0;
    QTest::newRow("huge exponent") << "1e999999999999" << over << "" << 0;
    QTest::newRow("zero with a huge exponent") << "0e999999" << ok << "0" << 0;
    QTest::newRow("28 decimals") << "0.0000000000000000000000000001" << ok << "0.0000000000000000000000000001" << 28;
    QTest::newRow("29th decimal rounds half to even")
        << "0.00000000000000000000000000015" << ok << "0.0000000000000000000000000002" << 28;
    QTest::newRow("29th decimal rounds down")
        << "0.00000000000000000000000000014" << ok << "0.0000000000000000000000000001" << 28;
    QTest::newRow("tiny rounds to zero") << "1e-40" << ok << "0" << 28;
    QTest::newRow("long fraction loses digits it cannot hold")
        << "0.1234567890123456789012345678901" << ok << "0.1234567890123456789012345679" << 28;
    QTest::newRow("many whole digits and a fraction")
        << "7922816251426433759354395033.54" << ok << "7922816251426433759354395033.5" << 1;
    QTest::newRow("rounding up would overflow, so one digit fewer")
        << "7922816251426433759354395033.56" << ok << "7922816251426433759354395034" << 0;
    QTest::newRow("forty digits with a point")
        << "1234567890123456789.012345678901234567890123" << ok << "1234567890123456789.0123456789" << 10;
    QTest::newRow("canada-style coordinate") << "-65.613616999999977" << ok << "-65.613616999999977" << 15;
    QTest::newRow("twitter-style id") << "505874924095815681" << ok << "505874924095815681" << 0;
    QTest::newRow("point alone") << "." << nan << "" << 0;
    QTest::newRow("sign alone") << "-" << nan << "" << 0;
    QTest::newRow("two points") << "1.2.3" << nan << "" << 0;
    QTest::newRow("two signs") << "+-1" << nan << "" << 0;
    QTest::newRow("exponent without digits") << "1e" << nan << "" << 0;
    QTest::newRow("exponent with sign only") << "1e+" << nan << "" << 0;
    QTest::newRow("exponent without mantissa") << "e5" << nan << "" << 0;
    QTest::newRow("fractional exponent") << "1e5.5" << nan << "" << 0;
    QTest::newRow("sign after digits") << "1-2" << nan << "" << 0;
    QTest::newRow("empty") << "" << nan << "" << 0;
}

void DecimalTest::parse() {
    QFETCH(QString, run);
    QFETCH(Decimal::Status, status);
    QFETCH(QString, text);
    QFETCH(int, scale);
    Decimal d = Decimal::fromInteger(42);
    QCOMPARE(Decimal::parse(run, d), status);
    if (status == Decimal::Status::Ok) {
        QCOMPARE(d.toText(QLatin1Char('.')), text);
        QCOMPARE(d.scale(), scale);
    }
}

void DecimalTest::regionalSeparator() {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::Spanish, QLocale::Venezuela));
    Decimal d;
    QCOMPARE(Decimal::parse(u"-1234.5", d), Decimal::Status::Ok);
    QCOMPARE(d.toRegionalText(), QStringLiteral("-1234,5"));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QCOMPARE(d.toRegionalText(), QStringLiteral("-1234.5"));
    QCOMPARE(d.toDouble(), -1234.5);
    QLocale::setDefault(saved);
}

void DecimalTest::equality() {
    Decimal a, b, c, z1, z2;
    QCOMPARE(Decimal::parse(u"1.5", a), Decimal::Status::Ok);
    QCOMPARE(Decimal::parse(u"1.500", b), Decimal::Status::Ok);
    QCOMPARE(Decimal::parse(u"-1.5", c), Decimal::Status::Ok);
    QCOMPARE(Decimal::parse(u"0.00", z1), Decimal::Status::Ok);
    QCOMPARE(Decimal::parse(u"-0", z2), Decimal::Status::Ok);
    QVERIFY(a == b);
    QVERIFY(!(a == c));
    QVERIFY(z1 == z2);
}

int runDecimalTests(int argc, char** argv) {
    DecimalTest t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_decimal.moc"
