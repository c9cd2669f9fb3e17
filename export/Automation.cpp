#include "export/Automation.h"

namespace automation {
namespace {
[[noreturn]] void ThrowTypeMismatch() { throw CallError(QStringLiteral("Type mismatch")); }
}  // namespace

QString Variant::ToString() const {
    if (const auto* text = std::get_if<QString>(&value_)) return *text;
    ThrowTypeMismatch();
}

qint32 Variant::ToInt() const {
    if (const auto* number = std::get_if<qint32>(&value_)) return *number;
    ThrowTypeMismatch();
}

bool Variant::ToBool() const {
    if (const auto* flag = std::get_if<bool>(&value_)) return *flag;
    ThrowTypeMismatch();
}

std::shared_ptr<Dispatch> Variant::ToObject() const {
    if (const auto* object = std::get_if<std::shared_ptr<Dispatch>>(&value_); object && *object) {
        return *object;
    }
    ThrowTypeMismatch();
}

QString Variant::Describe() const {
    switch (HeldType()) {
        case Type::Empty:
            return QStringLiteral("<empty>");
        case Type::String:
            return u'"' + std::get<QString>(value_) + u'"';
        case Type::Int32:
            return QString::number(std::get<qint32>(value_));
        case Type::Bool:
            return std::get<bool>(value_) ? QStringLiteral("true") : QStringLiteral("false");
        case Type::Object:
            return QStringLiteral("<object>");
    }
    return {};
}

QString CallKindName(CallKind kind) {
    switch (kind) {
        case CallKind::Method:
            return QStringLiteral("method");
        case CallKind::PropertyGet:
            return QStringLiteral("get");
        case CallKind::MethodOrPropertyGet:
            return QStringLiteral("method|get");
        case CallKind::PropertyPut:
            return QStringLiteral("put");
    }
    return {};
}

}  // namespace automation
