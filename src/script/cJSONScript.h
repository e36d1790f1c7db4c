#pragma once

#include "JsonValue.h"
#include "ScriptDialogs.h"

#include <QString>
#include <QStringView>

#include <cstdint>

// Runs a script written as a JSON array and returns the text it produces. Text items are copied to the output;
// object items are commands ("alert", "input", "switch", "set", "get", "if", "return"), and any other command
// name becomes a "<%NAME(args)%>" tag. Variables live as long as the object and are shared by every call on it.
// Faults in the script (a value where an object is needed, a value with no text form, ...) raise vb::Error and
// the output of the failing call is dropped; what already happened (dialogs shown, variables set) stays.
class cJSONScript {
  public:
    // At most this many ExecCommand evaluations can be in progress at once; a deeper one yields NestingExceeded.
    static constexpr int32_t MaxNesting = 41;
    static inline const QString NestingExceeded = QStringLiteral("ERROR: Nesting level exceeded.");

    // The dialogs must outlive the object.
    explicit cJSONScript(ScriptDialogs& dialogs) : dialogs_(&dialogs) {}

    // Parses sJSON and evaluates its items in order. A script with parse errors shows them in a "Parser Error"
    // warning box, evaluates nothing and gives the empty text.
    QString Eval(QStringView sJSON);
    // The text one value evaluates to.
    QString ExecCommand(const json::JsonValue& obj);

    const json::Dictionary& variables() const { return Variables; }
    int32_t nestingLevel() const { return NestingLevel; }

  private:
    QString execDictionary(const json::Dictionary& command);
    QString evalMember(const json::Dictionary& inner, QStringView name);

    void alert(const json::Dictionary& inner);
    QString input(const json::Dictionary& inner);
    QString switchCase(const json::Dictionary& inner);
    void set(const json::Dictionary& inner);
    QString get(const json::Dictionary& inner);
    QString ifThen(const json::Dictionary& inner);

    ScriptDialogs* dialogs_;
    json::Dictionary Variables;
    int32_t NestingLevel = 0;
};
