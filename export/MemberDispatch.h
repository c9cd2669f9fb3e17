#pragma once

#include <QHash>
#include <functional>

#include "export/Automation.h"

namespace automation {

// Base for automation objects whose members are handlers looked up by case-folded name.
class MemberDispatch : public Dispatch {
public:
    Variant Invoke(const QString& member, CallKind kind, const Arguments& args) override;

protected:
    using Handler = std::function<Variant(CallKind kind, const Arguments& args)>;

    explicit MemberDispatch(QString objectName) : objectName_(std::move(objectName)) {}
    void AddMember(const QString& name, const Handler& handler);

    // Error helpers for handlers; texts name the object and member.
    [[noreturn]] void Fail(const QString& member, const QString& reason) const;
    void RequireArgCount(const QString& member, const Arguments& args, qsizetype count) const;

private:
    QString objectName_;
    QHash<QString, Handler> members_;
};

}  // namespace automation
