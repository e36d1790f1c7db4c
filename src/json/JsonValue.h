#pragma once

#include "CompactVector.h"
#include "Decimal.h"

#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <memory>
#include <span>
#include <variant>

namespace json {

class JsonValue;
struct DictionaryMember;

enum class Kind : uint8_t { Empty, Null, Boolean, Number, Text, Dictionary, Collection };

// An object: text keys compared exactly, members kept in the order their keys were first added.
class Dictionary {
  public:
    using Member = DictionaryMember;

    Dictionary();
    // Takes over `count` members whose keys the caller knows to be distinct (the reader checks them as it goes) by
    // copying their bytes; the caller forgets them without destroying them. Their storage comes from `blocks` when
    // given.
    static Dictionary adoptDistinctMembers(Member* first, size_t count, StorageBlocks* blocks = nullptr);
    Dictionary(const Dictionary& other);
    Dictionary& operator=(const Dictionary& other);
    Dictionary(Dictionary&&) noexcept;
    Dictionary& operator=(Dictionary&&) noexcept;
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

    std::span<const Member> members() const { return members_.span(); }
    const Member* begin() const { return members_.begin(); }
    const Member* end() const { return members_.end(); }

  private:
    struct Index;
    // Index of the member with that key, or -1.
    int find(QStringView key) const;

    CompactVector<Member> members_;
    // Built at the first lookup of an object with more than a few members, kept up to date from then on.
    mutable std::unique_ptr<Index> index_;
};

// An array: values numbered from 1 to Count.
class Collection {
  public:
    Collection() = default;
    // Takes over `count` values by copying their bytes; the caller forgets them without destroying them. Their
    // storage comes from `blocks` when given.
    static Collection adopt(JsonValue* first, size_t count, StorageBlocks* blocks = nullptr);
    Collection(const Collection& other);
    Collection& operator=(const Collection& other);
    Collection(Collection&&) noexcept;
    Collection& operator=(Collection&&) noexcept;
    ~Collection();

    int Count() const { return static_cast<int>(items_.size()); }
    void Add(JsonValue value);
    // Position n from 1 to Count; any other raises error 9.
    const JsonValue& Item(int n) const;
    JsonValue& Item(int n);

    std::span<const JsonValue> items() const { return items_.span(); }
    const JsonValue* begin() const { return items_.begin(); }
    const JsonValue* end() const { return items_.end(); }

  private:
    CompactVector<JsonValue> items_;
};

// One parsed JSON value. Containers own their members; copying a value copies the whole subtree.
class JsonValue {
  public:
    struct NullTag {};

    JsonValue() = default;  // the empty kind: what an absent key reads as
    JsonValue(NullTag) : data_(NullTag{}) {}
    explicit JsonValue(bool b) : data_(b) {}
    JsonValue(const Decimal& d) : data_(d) {}
    JsonValue(QString text) : data_(std::move(text)) {}
    JsonValue(Dictionary&& dictionary) : data_(std::move(dictionary)) {}
    JsonValue(Collection&& collection) : data_(std::move(collection)) {}
    static JsonValue null() { return JsonValue(NullTag{}); }

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
    const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&data_); }
    Dictionary* asDictionary() { return std::get_if<Dictionary>(&data_); }
    const Collection* asCollection() const { return std::get_if<Collection>(&data_); }
    Collection* asCollection() { return std::get_if<Collection>(&data_); }

    // "Dictionary", "Collection", "String", "Decimal", "Boolean", "Null" or "Empty".
    QString typeName() const;

    // The value's text form: a text as it is, a number in plain decimal with the regional decimal separator,
    // "true"/"false", the empty text for empty. Null and containers have no text form: error 13.
    QString toText() const;

  private:
    std::variant<std::monostate, NullTag, bool, Decimal, QString, Dictionary, Collection> data_;
};

struct DictionaryMember {
    QString key;
    JsonValue value;
};

}  // namespace json
