#include <QCoreApplication>
#include <QTest>

#include "tests.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int status = 0;
    status |= runBuilderTests(argc, argv);
    status |= runDecimalTests(argc, argv);
    status |= runReaderTests(argc, argv);
    return status;
}
