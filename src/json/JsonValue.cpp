#include "JsonValue.h"

#include "VbError.h"

#include <QHashFunctions>

#include <vector>

namespace json {

namespace {

const JsonValue& emptyValue() {
    static const JsonValue empty;
    return empty;
}

constexpr uint32_t IndexThreshold = 8;

size_t hashKey(QStringView key) {
    return qHash(key, 0);
}

template <typename T>
const T& get(
    const std::variant<std::monostate, JsonValue::NullTag, bool, Decimal, QString, Dictionary, Collection>& d) {
    if (const T* p = std::get_if<T>(&d)) {
        return *p;
    }
    vb::raise(vb::TypeMismatch);
}

}  // namespace

static_assert(sizeof(JsonValue) <= 32, "a value is meant to stay within 32 bytes");

bool JsonValue::boolean() const {
    return get<bool>(data_);
}
const Decimal& JsonValue::number() const {
    return get<Decimal>(data_);
}
const QString& JsonValue::text() const {
    return get<QString>(data_);
}
const Dictionary& JsonValue::dictionary() const {
    return get<Dictionary>(data_);
}
Dictionary& JsonValue::dictionary() {
    return const_cast<Dictionary&>(get<Dictionary>(data_));
}
const Collection& JsonValue::collection() const {
    return get<Collection>(data_);
}
Collection& JsonValue::collection() {
    return const_cast<Collection&>(get<Collection>(data_));
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

// Open-addressing table of member positions + 1 (0 = free slot); at most half full.
struct Dictionary::Index {
    std::vector<int32_t> positions;

    void build(const CompactVector<Member>& members) {
        size_t size = 32;
        while (size < size_t(members.size()) * 2 + 2) {
            size *= 2;
        }
        positions.assign(size, 0);
        for (uint32_t i = 0; i < members.size(); ++i) {
            insert(members, i);
        }
    }
    void insert(const CompactVector<Member>& members, uint32_t position) {
        const size_t mask = positions.size() - 1;
        size_t slot = hashKey(members[position].key) & mask;
        while (positions[slot] != 0) {
            slot = (slot + 1) & mask;
        }
        positions[slot] = static_cast<int32_t>(position) + 1;
    }
    int find(const CompactVector<Member>& members, QStringView key) const {
        const size_t mask = positions.size() - 1;
        for (size_t slot = hashKey(key) & mask;; slot = (slot + 1) & mask) {
            const int32_t entry = positions[slot];
            if (entry == 0) {
                return -1;
            }
            if (QStringView(members[entry - 1].key) == key) {
                return entry - 1;
            }
        }
    }
};

Dictionary Dictionary::adoptDistinctMembers(Member* first, size_t count, StorageBlocks* blocks) {
    Dictionary d;
    d.members_ = CompactVector<Member>::relocatedFrom(first, count, blocks);
    return d;
}

// The index is not copied: the copy builds its own at its first lookup.
Dictionary::Dictionary(const Dictionary& other) : members_(other.members_) {}

Dictionary& Dictionary::operator=(const Dictionary& other) {
    if (this != &other) {
        members_ = other.members_;
        index_.reset();
    }
    return *this;
}

Dictionary::Dictionary() = default;
Dictionary::Dictionary(Dictionary&&) noexcept = default;
Dictionary& Dictionary::operator=(Dictionary&&) noexcept = default;
Dictionary::~Dictionary() = default;

int Dictionary::find(QStringView key) const {
    if (members_.size() > IndexThreshold) {
        if (!index_) {
            index_ = std::make_unique<Index>();
            index_->build(members_);
        }
        return index_->find(members_, key);
    }
    for (uint32_t i = 0; i < members_.size(); ++i) {
        if (QStringView(members_[i].key) == key) {
            return static_cast<int>(i);
        }
    }
    return -1;
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
    if (index_) {
        if (size_t(members_.size()) * 2 + 2 > index_->positions.size()) {
            index_->build(members_);
        } else {
            index_->insert(members_, members_.size() - 1);
        }
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

Collection Collection::adopt(JsonValue* first, size_t count, StorageBlocks* blocks) {
    Collection c;
    c.items_ = CompactVector<JsonValue>::relocatedFrom(first, count, blocks);
    return c;
}

Collection::Collection(const Collection& other) = default;
Collection& Collection::operator=(const Collection& other) = default;
Collection::Collection(Collection&&) noexcept = default;
Collection& Collection::operator=(Collection&&) noexcept = default;
Collection::~Collection() = default;

void Collection::Add(JsonValue value) {
    items_.push_back(std::move(value));
}

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
