#include "cJSONScript.h"

#include "JSON.h"
#include "VbError.h"
#include "cStringBuilder.h"

#include <optional>
#include <string_view>

using json::Collection;
using json::Dictionary;
using json::JsonValue;

namespace {

// Brings the count back to its value before the call however the call ends, so that a failure deep inside a
// script does not leave the object believing evaluations are still in progress.
class NestingGuard {
  public:
    explicit NestingGuard(int32_t& level) : level_(level), before_(level) { ++level_; }
    ~NestingGuard() { level_ = before_; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

  private:
    int32_t& level_;
    int32_t before_;
};

// The members of a command's inner object. A text parameter leaves the command without one (object required);
// a list has no named members, so reading one by name is an invalid call, as it is on the platform's Collection.
const Dictionary& membersOf(const JsonValue& value) {
    if (const Dictionary* dictionary = value.asDictionary()) {
        return *dictionary;
    }
    vb::raise(value.isCollection() ? vb::InvalidCall : vb::ObjectRequired);
}

// A case or a comparison type as the text it is compared by, in small letters; none for a null, an object or a
// list, which have no text to compare and so never match.
std::optional<QString> lowerText(const JsonValue& value) {
    if (value.isNull() || value.isContainer())
        return std::nullopt;
    return value.toText().toLower();
}

// Code unit by code unit, capitals and small letters distinct, a prefix being the smaller text.
int compareUnits(const QString& a, const QString& b) {
    const std::u16string_view x(reinterpret_cast<const char16_t*>(QStringView(a).utf16()), size_t(a.size()));
    const std::u16string_view y(reinterpret_cast<const char16_t*>(QStringView(b).utf16()), size_t(b.size()));
    return x.compare(y);
}

QString tagArguments(const JsonValue& parameter) {
    if (parameter.isText()) {
        return parameter.text();
    }
    const Dictionary* dictionary = parameter.asDictionary();
    if (dictionary == nullptr) {
        return {};
    }
    cStringBuilder arguments;
    bool first = true;
    for (const Dictionary::Member& member : *dictionary) {
        if (!first) {
            arguments.Append(u',');
        }
        first = false;
        arguments.Append(member.value.toText());
    }
    return arguments.toString();
}

}  // namespace

QString cJSONScript::Eval(QStringView sJSON) {
    const std::optional<JsonValue> value = ParseJson(sJSON);
    const QString errors = ParserErrors();
    if (!errors.isEmpty() || !value) {
        dialogs_->messageBox(errors, QStringLiteral("Parser Error"), ScriptDialogs::Warning);
        return {};
    }
    if (const Dictionary* object = value->asDictionary()) {
        // A script is a list: the members of an object cannot be read by position.
        if (object->Count() > 0) {
            vb::raise(vb::ObjectRequired);
        }
        return {};
    }

    const Collection& items = value->collection();
    cStringBuilder out;
    const int count = items.Count();
    for (int i = 1; i <= count; ++i) {
        const JsonValue& item = items.Item(i);
        if (item.isNull()) {
            out.Append(u"null");
        } else if (item.isText()) {
            out.Append(item.text());
        } else if (item.isContainer()) {
            out.Append(ExecCommand(item));
        } else {
            vb::raise(vb::ObjectRequired);
        }
    }
    return out.toString();
}

QString cJSONScript::ExecCommand(const JsonValue& obj) {
    if (NestingLevel >= MaxNesting) {
        return NestingExceeded;
    }
    NestingGuard guard(NestingLevel);

    switch (obj.kind()) {
        case json::Kind::Null:
            return QStringLiteral("null");
        case json::Kind::Text:
            return obj.text();
        case json::Kind::Boolean:
            return obj.boolean() ? QStringLiteral("true") : QStringLiteral("false");
        case json::Kind::Number:
            // The regional separator would make the same script give different texts on different machines.
            return obj.number().toText(u'.');
        case json::Kind::Empty:
            return {};
        case json::Kind::Collection: {
            cStringBuilder out;
            for (const JsonValue& element : obj.collection()) {
                out.Append(ExecCommand(element));
            }
            return out.toString();
        }
        case json::Kind::Dictionary:
            return execDictionary(obj.dictionary());
    }
    return {};
}

QString cJSONScript::execDictionary(const Dictionary& command) {
    cStringBuilder out;
    for (const Dictionary::Member& member : command) {
        const JsonValue& parameter = member.value;
        if (!parameter.isText() && !parameter.isContainer()) {
            vb::raise(vb::ObjectRequired);
        }
        const QString name = member.key.toLower();
        if (name == u"alert") {
            alert(membersOf(parameter));
        } else if (name == u"input") {
            out.Append(input(membersOf(parameter)));
        } else if (name == u"switch") {
            out.Append(switchCase(membersOf(parameter)));
        } else if (name == u"set") {
            set(membersOf(parameter));
        } else if (name == u"get") {
            out.Append(get(membersOf(parameter)));
        } else if (name == u"if") {
            out.Append(ifThen(membersOf(parameter)));
        } else if (name == u"return") {
            if (!parameter.isText()) {
                vb::raise(vb::TypeMismatch);
            }
            out.Append(parameter.text());
        } else {
            out.Append(u"<%");
            out.Append(member.key.toUpper());
            out.Append(u'(');
            out.Append(tagArguments(parameter));
            out.Append(u")%>");
        }
    }
    return out.toString();
}

QString cJSONScript::evalMember(const Dictionary& inner, QStringView name) {
    return ExecCommand(inner.Item(name));
}

void cJSONScript::alert(const Dictionary& inner) {
    const QString message = evalMember(inner, u"message");
    const QString title = evalMember(inner, u"title");
    dialogs_->messageBox(message, title, ScriptDialogs::Information);
}

QString cJSONScript::input(const Dictionary& inner) {
    const QString prompt = evalMember(inner, u"prompt");
    const QString title = evalMember(inner, u"title");
    const QString preset = evalMember(inner, u"default");
    return dialogs_->inputBox(prompt, title, preset);
}

QString cJSONScript::switchCase(const Dictionary& inner) {
    // The default goes first even when a case matches, so that its dialogs and variables always happen.
    QString result = evalMember(inner, u"default");
    const QString wanted = evalMember(inner, u"case").toLower();
    const Collection* items = inner.Item(u"items").asCollection();
    if (items == nullptr) {
        vb::raise(vb::ObjectRequired);
    }
    const int count = items->Count();
    for (int j = 1; j <= count; ++j) {
        const Dictionary& item = membersOf(items->Item(j));
        if (const std::optional<QString> itemCase = lowerText(item.Item(u"case")); itemCase && *itemCase == wanted) {
            result = evalMember(item, u"return");
            break;
        }
    }
    return result;
}

void cJSONScript::set(const Dictionary& inner) {
    const JsonValue& name = inner.Item(u"name");
    // "get" finds a variable by the text of its name, so a name of another kind could be set but never read.
    if (!name.isText()) {
        vb::raise(vb::TypeMismatch);
    }
    const QString key = name.text();
    if (Variables.Exists(key)) {
        Variables.setItem(key, JsonValue(evalMember(inner, u"value")));
    } else {
        // The value may itself set this name; Add then refuses it rather than overwrite.
        Variables.Add(key, JsonValue(evalMember(inner, u"value")));
    }
}

QString cJSONScript::get(const Dictionary& inner) {
    const QString key = inner.Item(u"name").toText();
    QString text = ExecCommand(Variables.Item(key));
    if (text.isEmpty()) {
        text = evalMember(inner, u"default");
    }
    return text;
}

QString cJSONScript::ifThen(const Dictionary& inner) {
    const QString a = evalMember(inner, u"value1");
    const QString b = evalMember(inner, u"value2");
    bool holds = false;
    // A type that is null, an object or a list names no comparison: the condition never holds.
    if (const std::optional<QString> type = lowerText(inner.Item(u"type"))) {
        const QString& op = *type;
        if (op == u"eq") {
            holds = a.toLower() == b.toLower();
        } else if (op == u"gt") {
            holds = compareUnits(a, b) > 0;
        } else if (op == u"lt") {
            holds = compareUnits(a, b) < 0;
        } else if (op == u"gte") {
            holds = compareUnits(a, b) >= 0;
        } else if (op == u"lte") {
            holds = compareUnits(a, b) <= 0;
        }
    }
    return evalMember(inner, holds ? u"true" : u"false");
}
