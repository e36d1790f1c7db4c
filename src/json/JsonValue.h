#pragma once

#include "Decimal.h"

#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

namespace json {

class Dictionary;
class Collection;

enum class Kind : uint8_t { Empty, Null, Boolean, Number, Text, Dictionary, Collection };

// One parsed JSON value. Containers own their members; copying a value copies the whole subtree.
class JsonValue {
  public:
    struct NullTag {};

    JsonValue() = default;  // the empty kind: what an absent key reads as
    JsonValue(NullTag) : data_(NullTag{}) {}
    explicit JsonValue(bool b) : data_(b) {}
    JsonValue(const Decimal& d) : data_(d) {}
    JsonValue(QString text) : data_(std::move(text)) {}
    JsonValue(Dictionary&& dictionary);
    JsonValue(Collection&& collection);
    JsonValue(std::unique_ptr<Dictionary> dictionary);
    JsonValue(std::unique_ptr<Collection> collection);
    static JsonValue null() { return JsonValue(NullTag{}); }

    JsonValue(const JsonValue& other);
    JsonValue& operator=(const JsonValue& other);
    JsonValue(JsonValue&&) noexcept = default;
    JsonValue& operator=(JsonValue&&) noexcept = default;
    ~JsonValue();

    Kind kind() const { return static_cast<Kind>(data_.index()); }
    bool isEmpty() const { return kind() == Kind::Empty; }
    bool isNull() const { return kind() == Kind::Null; }
    bool isBoolean() const { return kind() == Kind::Boolean; }
    bool isNumber() const { return kind() == Kind::Number; }
    bool isText() const { return kind() == Kind::Text; }
    bool isDictionary() const { return kind() == Kind::Dictionary; }
    bool isCollection() const { return kind() == Kind::Collection; }
    bool isContainer() const { return isDictionary() || isCollection(); }

    // Accessors for one kind; asking a value of another kind raises error 13 (type mismatch).
    bool boolean() const;
    const Decimal& number() const;
    const QString& text() const;
    const Dictionary& dictionary() const;
    Dictionary& dictionary();
    const Collection& collection() const;
    Collection& collection();

    // Nullptr when the value is not a container of that kind.
    const Dictionary* asDictionary() const;
    Dictionary* asDictionary();
    const Collection* asCollection() const;
    Collection* asCollection();

    // "Dictionary", "Collection", "String", "Decimal", "Boolean", "Null" or "Empty".
    QString typeName() const;

    // The value's text form: a text as it is, a number in plain decimal with the regional decimal separator,
    // "true"/"false", the empty text for empty. Null and containers have no text form: error 13.
    QString toText() const;

  private:
    using Data = std::variant<std::monostate, NullTag, bool, Decimal, QString, std::unique_ptr<Dictionary>,
                              std::unique_ptr<Collection>>;
    Data data_;
};

// An object: text keys compared exactly, members kept in the order their keys were first added.
class Dictionary {
  public:
    struct Member {
        QString key;
        JsonValue value;
    };

    Dictionary() = default;
    // Takes members whose keys the caller knows to be distinct (the reader checks them as it goes).
    static Dictionary fromDistinctMembers(std::vector<Member>&& members);
    Dictionary(const Dictionary& other);
    Dictionary& operator=(const Dictionary& other);
    Dictionary(Dictionary&&) noexcept = default;
    Dictionary& operator=(Dictionary&&) noexcept = default;
    ~Dictionary();

    int Count() const { return static_cast<int>(members_.size()); }
    bool Exists(QStringView key) const { return find(key) >= 0; }
    // The member's value, or the empty value when the key is absent.
    const JsonValue& Item(QStringView key) const;
    // Replaces the value of a present key, adds an absent one.
    void setItem(const QString& key, JsonValue value);
    // Adds a member; a present key raises error 457 and the first value stays.
    void Add(const QString& key, JsonValue value);
    // As Add, but reports a present key by returning false instead of raising.
    bool tryAdd(QString key, JsonValue&& value);
    // The keys in member order, numbered from 0.
    QStringList keys() const;

    const std::vector<Member>& members() const { return members_; }
    std::vector<Member>::const_iterator begin() const { return members_.begin(); }
    std::vector<Member>::const_iterator end() const { return members_.end(); }
    void reserve(size_t n) { members_.reserve(n); }
    void shrinkToFit();

  private:
    // Index of the member with that key, or -1.
    int find(QStringView key) const;
    void indexMember(int position) const;
    void rebuildIndex() const;

    std::vector<Member> members_;
    // Open-addressing table of member positions + 1 (0 = free slot), built at the first lookup of an object with
    // more than a few members and kept up to date from then on.
    mutable std::vector<int32_t> index_;
};

// An array: values numbered from 1 to Count.
class Collection {
  public:
    Collection() = default;
    explicit Collection(std::vector<JsonValue>&& items) : items_(std::move(items)) {}
    Collection(const Collection& other) = default;
    Collection& operator=(const Collection& other) = default;
    Collection(Collection&&) noexcept = default;
    Collection& operator=(Collection&&) noexcept = default;
    ~Collection();

    int Count() const { return static_cast<int>(items_.size()); }
    void Add(JsonValue value) { items_.push_back(std::move(value)); }
    // Position n from 1 to Count; any other raises error 9.
    const JsonValue& Item(int n) const;
    JsonValue& Item(int n);

    const std::vector<JsonValue>& items() const { return items_; }
    std::vector<JsonValue>::const_iterator begin() const { return items_.begin(); }
    std::vector<JsonValue>::const_iterator end() const { return items_.end(); }
    void shrinkToFit() { items_.shrink_to_fit(); }

  private:
    std::vector<JsonValue> items_;
};

}  // namespace json
