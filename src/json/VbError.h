#pragma once

#include <QString>

#include <exception>

namespace vb {

// The numbered runtime errors of the platform the program was written for. Callers that report failures
// catch this one type and show its number and description.
class Error : public std::exception {
  public:
    explicit Error(int number);
    Error(int number, QString description);

    int number() const noexcept { return number_; }
    const QString& description() const noexcept { return description_; }
    const char* what() const noexcept override { return what_.constData(); }

    // The usual description of a numbered error ("Subscript out of range" for 9, ...).
    static QString describe(int number);

  private:
    int number_;
    QString description_;
    QByteArray what_;
};

[[noreturn]] void raise(int number);

enum : int {
    InvalidCall = 5,
    Overflow = 6,
    SubscriptOutOfRange = 9,
    TypeMismatch = 13,
    ObjectRequired = 424,
    KeyAlreadyPresent = 457,
};

}  // namespace vb
