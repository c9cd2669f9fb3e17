#pragma once

#include <QList>
#include <QString>
#include <concepts>
#include <memory>
#include <stdexcept>
#include <variant>

// A small late-bound automation layer: objects are created from a programmatic identifier and
// driven by member name with variant arguments. Member names are matched without regard to case.
namespace automation {

class Dispatch;

// An argument or result of an automation call.
class Variant {
public:
    enum class Type { Empty, String, Int32, Bool, Object };

    Variant() = default;
    Variant(const QString& text) : value_(text) {}
    Variant(qint32 number) : value_(number) {}
    // Only a real bool: keeps pointers (string literals) from silently becoming Booleans.
    template <typename T>
    requires std::same_as<T, bool> Variant(T flag) : value_(flag) {}
    Variant(std::shared_ptr<Dispatch> object) : value_(std::move(object)) {}

    Type HeldType() const { return static_cast<Type>(value_.index()); }
    bool IsEmpty() const { return HeldType() == Type::Empty; }

    // Each throws CallError("Type mismatch") when the variant holds another type.
    QString ToString() const;
    qint32 ToInt() const;
    bool ToBool() const;
    std::shared_ptr<Dispatch> ToObject() const;

    // Readable form for logs and test output: "text" in quotes, 5, true, <object>, <empty>.
    QString Describe() const;

    friend bool operator==(const Variant&, const Variant&) = default;

private:
    std::variant<std::monostate, QString, qint32, bool, std::shared_ptr<Dispatch>> value_;
};

using Arguments = QList<Variant>;

// How a member is invoked. Collection members such as WorkBooks are called as "method or
// property get": the object decides which one applies.
enum class CallKind { Method, PropertyGet, MethodOrPropertyGet, PropertyPut };
QString CallKindName(CallKind kind);

// The object could not be created: no class registered, the server did not start or refused.
class CreationError : public std::runtime_error {
public:
    explicit CreationError(const QString& text) : std::runtime_error(text.toStdString()) {}
};

// An error reported by a call on a created object. what() is the error's text in UTF-8.
class CallError : public std::runtime_error {
public:
    explicit CallError(const QString& text) : std::runtime_error(text.toStdString()) {}
};

// A late-bound automation object. References are shared_ptrs; dropping the last one releases it.
class Dispatch {
public:
    virtual ~Dispatch() = default;

    // Invokes `member` (case-insensitive). Throws CallError for anything the object reports.
    virtual Variant Invoke(const QString& member, CallKind kind, const Arguments& args) = 0;

    Variant Get(const QString& member, const Arguments& args = {}) {
        return Invoke(member, CallKind::PropertyGet, args);
    }
    void Put(const QString& member, const Arguments& args) {
        Invoke(member, CallKind::PropertyPut, args);
    }
    Variant Call(const QString& member, const Arguments& args = {}) {
        return Invoke(member, CallKind::Method, args);
    }
};

}  // namespace automation
