#include "VbError.h"

namespace vb {

Error::Error(int number) : Error(number, describe(number)) {}

Error::Error(int number, QString description)
    : number_(number),
      description_(std::move(description)),
      what_(QStringLiteral("%1 %2").arg(number_).arg(description_).toUtf8()) {}

QString Error::describe(int number) {
    switch (number) {
        case InvalidCall:
            return QStringLiteral("Invalid procedure call or argument");
        case Overflow:
            return QStringLiteral("Overflow");
        case SubscriptOutOfRange:
            return QStringLiteral("Subscript out of range");
        case TypeMismatch:
            return QStringLiteral("Type mismatch");
        case ObjectRequired:
            return QStringLiteral("Object required");
        case KeyAlreadyPresent:
            return QStringLiteral("This key is already associated with an element of this collection");
        default:
            return QStringLiteral("Application-defined or object-defined error");
    }
}

void raise(int number) {
    throw Error(number);
}

}  // namespace vb
