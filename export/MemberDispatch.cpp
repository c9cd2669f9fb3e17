#include "export/MemberDispatch.h"

namespace automation {

Variant MemberDispatch::Invoke(const QString& member, CallKind kind, const Arguments& args) {
    const auto handler = members_.constFind(member.toCaseFolded());
    if (handler == members_.constEnd()) Fail(member, QStringLiteral("unknown name"));
    try {
        return (*handler)(kind, args);
    } catch (const CallError&) {
        throw;
    } catch (const std::exception& error) {
        // Whatever goes wrong behind a member is an error of the call.
        Fail(member, QString::fromUtf8(error.what()));
    }
}

void MemberDispatch::AddMember(const QString& name, const Handler& handler) {
    members_.insert(name.toCaseFolded(), handler);
}

void MemberDispatch::Fail(const QString& member, const QString& reason) const {
    throw CallError(QStringLiteral("%1.%2: %3").arg(objectName_, member, reason));
}

void MemberDispatch::RequireArgCount(const QString& member, const Arguments& args,
                                     qsizetype count) const {
    if (args.size() != count) {
        Fail(member, QStringLiteral("expected %1 argument(s), got %2").arg(count).arg(args.size()));
    }
}

}  // namespace automation
