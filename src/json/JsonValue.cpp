#include "JsonValue.h"

#include "VbError.h"

#include <QHashFunctions>

namespace json {

namespace {

const JsonValue& emptyValue() {
    static const JsonValue empty;
    return empty;
}

constexpr int IndexThreshold = 8;

size_t hashKey(QStringView key) {
    return qHash(key, 0);
}

}  // namespace

JsonValue::JsonValue(Dictionary&& dictionary) : data_(std::make_unique<Dictionary>(std::move(dictionary))) {}
JsonValue::JsonValue(Collection&& collection) : data_(std::make_unique<Collection>(std::move(collection))) {}
JsonValue::JsonValue(std::unique_ptr<Dictionary> dictionary) : data_(std::move(dictionary)) {}
JsonValue::JsonValue(std::unique_ptr<Collection> collection) : data_(std::move(collection)) {}

JsonValue::JsonValue(const JsonValue& other) {
    switch (other.kind()) {
        case Kind::Empty:
            break;
        case Kind::Null:
            data_ = NullTag{};
            break;
        case Kind::Boolean:
            data_ = std::get<bool>(other.data_);
            break;
        case Kind::Number:
            data_ = std::get<Decimal>(other.data_);
            break;
        case Kind::Text:
            data_ = std::get<QString>(other.data_);
            break;
        case Kind::Dictionary:
            data_ = std::make_unique<Dictionary>(*std::get<std::unique_ptr<Dictionary>>(other.data_));
            break;
        case Kind::Collection:
            data_ = std::make_unique<Collection>(*std::get<std::unique_ptr<Collection>>(other.data_));
            break;
    }
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
    if (this != &other) {
        JsonValue copy(other);
        *this = std::move(copy);
    }
    return *this;
}

JsonValue::~JsonValue() = default;

bool JsonValue::boolean() const {
    if (!isBoolean()) {
        vb::raise(vb::TypeMismatch);
    }
    return std::get<bool>(data_);
}

const Decimal& JsonValue::number() const {
    if (!isNumber()) {
        vb::raise(vb::TypeMismatch);
    }
    return std::get<Decimal>(data_);
}

const QString& JsonValue::text() const {
    if (!isText()) {
        vb::raise(vb::TypeMismatch);
    }
    return std::get<QString>(data_);
}

const Dictionary& JsonValue::dictionary() const {
    if (!isDictionary()) {
        vb::raise(vb::TypeMismatch);
    }
    return *std::get<std::unique_ptr<Dictionary>>(data_);
}

Dictionary& JsonValue::dictionary() {
    return const_cast<Dictionary&>(std::as_const(*this).dictionary());
}

const Collection& JsonValue::collection() const {
    if (!isCollection()) {
        vb::raise(vb::TypeMismatch);
    }
    return *std::get<std::unique_ptr<Collection>>(data_);
}

Collection& JsonValue::collection() {
    return const_cast<Collection&>(std::as_const(*this).collection());
}

const Dictionary* JsonValue::asDictionary() const {
    return isDictionary() ? std::get<std::unique_ptr<Dictionary>>(data_).get() : nullptr;
}
Dictionary* JsonValue::asDictionary() {
    return isDictionary() ? std::get<std::unique_ptr<Dictionary>>(data_).get() : nullptr;
}
const Collection* JsonValue::asCollection() const {
    return isCollection() ? std::get<std::unique_ptr<Collection>>(data_).get() : nullptr;
}
Collection* JsonValue::asCollection() {
    return isCollection() ? std::get<std::unique_ptr<Collection>>(data_).get() : nullptr;
}

QString JsonValue::typeName() const {
    switch (kind()) {
        case Kind::Empty:
            return QStringLiteral("Empty");
        case Kind::Null:
            return QStringLiteral("Null");
        case Kind::Boolean:
            return QStringLiteral("Boolean");
        case Kind::Number:
            return QStringLiteral("Decimal");
        case Kind::Text:
            return QStringLiteral("String");
        case Kind::Dictionary:
            return QStringLiteral("Dictionary");
        case Kind::Collection:
            return QStringLiteral("Collection");
    }
    return QString();
}

QString JsonValue::toText() const {
    switch (kind()) {
        case Kind::Empty:
            return QString();
        case Kind::Boolean:
            return std::get<bool>(data_) ? QStringLiteral("true") : QStringLiteral("false");
        case Kind::Number:
            return std::get<Decimal>(data_).toRegionalText();
        case Kind::Text:
            return std::get<QString>(data_);
        case Kind::Null:
        case Kind::Dictionary:
        case Kind::Collection:
            break;
    }
    vb::raise(vb::TypeMismatch);
}

Dictionary::Dictionary(const Dictionary& other) : members_(other.members_), index_(other.index_) {}

Dictionary& Dictionary::operator=(const Dictionary& other) {
    if (this != &other) {
        members_ = other.members_;
        index_ = other.index_;
    }
    return *this;
}

Dictionary::~Dictionary() = default;

Dictionary Dictionary::fromDistinctMembers(std::vector<Member>&& members) {
    Dictionary d;
    d.members_ = std::move(members);
    return d;
}

int Dictionary::find(QStringView key) const {
    if (index_.empty() && members_.size() > IndexThreshold) {
        rebuildIndex();
    }
    if (index_.empty()) {
        for (size_t i = 0; i < members_.size(); ++i) {
            if (QStringView(members_[i].key) == key) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
    const size_t mask = index_.size() - 1;
    for (size_t slot = hashKey(key) & mask;; slot = (slot + 1) & mask) {
        const int32_t entry = index_[slot];
        if (entry == 0) {
            return -1;
        }
        if (QStringView(members_[entry - 1].key) == key) {
            return entry - 1;
        }
    }
}

void Dictionary::indexMember(int position) const {
    const size_t mask = index_.size() - 1;
    size_t slot = hashKey(members_[position].key) & mask;
    while (index_[slot] != 0) {
        slot = (slot + 1) & mask;
    }
    index_[slot] = position + 1;
}

void Dictionary::rebuildIndex() const {
    size_t size = 16;
    while (size < members_.size() * 2) {
        size *= 2;
    }
    index_.assign(size, 0);
    for (size_t i = 0; i < members_.size(); ++i) {
        indexMember(static_cast<int>(i));
    }
}

const JsonValue& Dictionary::Item(QStringView key) const {
    const int at = find(key);
    return at < 0 ? emptyValue() : members_[at].value;
}

void Dictionary::setItem(const QString& key, JsonValue value) {
    const int at = find(key);
    if (at >= 0) {
        members_[at].value = std::move(value);
    } else {
        tryAdd(key, std::move(value));
    }
}

void Dictionary::Add(const QString& key, JsonValue value) {
    if (!tryAdd(key, std::move(value))) {
        vb::raise(vb::KeyAlreadyPresent);
    }
}

bool Dictionary::tryAdd(QString key, JsonValue&& value) {
    if (find(key) >= 0) {
        return false;
    }
    members_.push_back(Member{std::move(key), std::move(value)});
    const size_t count = members_.size();
    if (index_.empty()) {
        // Built at the next lookup when the object has grown large enough.
    } else if (count * 2 > index_.size()) {
        rebuildIndex();
    } else {
        indexMember(static_cast<int>(count - 1));
    }
    return true;
}

QStringList Dictionary::keys() const {
    QStringList list;
    list.reserve(Count());
    for (const Member& m : members_) {
        list.append(m.key);
    }
    return list;
}

void Dictionary::shrinkToFit() {
    members_.shrink_to_fit();
}

Collection::~Collection() = default;

const JsonValue& Collection::Item(int n) const {
    if (n < 1 || n > Count()) {
        vb::raise(vb::SubscriptOutOfRange);
    }
    return items_[n - 1];
}

JsonValue& Collection::Item(int n) {
    return const_cast<JsonValue&>(std::as_const(*this).Item(n));
}

}  // namespace json
