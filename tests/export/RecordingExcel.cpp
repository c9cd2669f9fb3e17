#include "tests/export/RecordingExcel.h"

#include "export/ClassRegistry.h"
#include "export/MemberDispatch.h"

namespace recording {
namespace {

using automation::Arguments;
using automation::CallKind;
using automation::Variant;

const QString kProgId = QStringLiteral("Excel.Application");

// Records each call, applies the injected failure, then runs the member.
class RecordingObject : public automation::MemberDispatch {
public:
    RecordingObject(const QString& name, Recorder& recorder, std::shared_ptr<Application> app)
        : MemberDispatch(name), name_(name), recorder_(recorder), app_(std::move(app)) {}

    Variant Invoke(const QString& member, CallKind kind, const Arguments& args) override {
        app_->calls.append({name_, member, kind, args});
        recorder_.CheckFailure(member);
        return MemberDispatch::Invoke(member, kind, args);
    }

protected:
    template <typename Object, typename... Rest>
    Variant Make(Rest&&... rest) {
        auto object = std::make_shared<Object>(recorder_, app_, std::forward<Rest>(rest)...);
        recorder_.Track(object);
        return Variant(std::shared_ptr<automation::Dispatch>(object));
    }

    QString name_;
    Recorder& recorder_;
    std::shared_ptr<Application> app_;
};

class SheetObject : public RecordingObject {
public:
    SheetObject(Recorder& recorder, std::shared_ptr<Application> app, int book, int sheet)
        : RecordingObject(QStringLiteral("Worksheet"), recorder, std::move(app)) {
        AddMember(QStringLiteral("Name"),
                  [this, book, sheet](CallKind kind, const Arguments& args) {
                      Sheet& target = app_->workbooks[book].sheets[sheet];
                      if (kind != CallKind::PropertyPut) return Variant(target.name);
                      RequireArgCount(QStringLiteral("Name"), args, 1);
                      for (const Sheet& other : app_->workbooks[book].sheets) {
                          if (&other != &target &&
                              other.name.compare(args[0].ToString(), Qt::CaseInsensitive) == 0) {
                              Fail(QStringLiteral("Name"), QStringLiteral("name already taken"));
                          }
                      }
                      target.name = args[0].ToString();
                      return Variant();
                  });
        AddMember(QStringLiteral("Cells"),
                  [this, book, sheet](CallKind kind, const Arguments& args) {
                      RequireArgCount(QStringLiteral("Cells"), args, 3);
                      Sheet& target = app_->workbooks[book].sheets[sheet];
                      const std::pair<int, int> cell{args[0].ToInt(), args[1].ToInt()};
                      if (kind != CallKind::PropertyPut) return Variant(target.cells.value(cell));
                      target.cells[cell] = args[2].ToString();
                      return Variant();
                  });
    }
};

// The sheets of a workbook: Add appends a new sheet at the end and returns it.
class WorksheetsObject : public RecordingObject {
public:
    WorksheetsObject(Recorder& recorder, std::shared_ptr<Application> app, int book)
        : RecordingObject(QStringLiteral("Worksheets"), recorder, std::move(app)) {
        AddMember(QStringLiteral("Add"), [this, book](CallKind, const Arguments&) {
            QList<Sheet>& sheets = app_->workbooks[book].sheets;
            sheets.append({QStringLiteral("Sheet%1").arg(sheets.size() + 1), {}});
            return Make<SheetObject>(book, int(sheets.size()) - 1);
        });
        AddMember(QStringLiteral("Count"), [this, book](CallKind, const Arguments&) {
            return Variant(qint32(app_->workbooks[book].sheets.size()));
        });
    }
};

class WorkbookObject : public RecordingObject {
public:
    WorkbookObject(Recorder& recorder, std::shared_ptr<Application> app, int book)
        : RecordingObject(QStringLiteral("Workbook"), recorder, std::move(app)) {
        AddMember(QStringLiteral("WorkSheets"), [this, book](CallKind, const Arguments& args) {
            if (args.isEmpty()) return Make<WorksheetsObject>(book);
            RequireArgCount(QStringLiteral("WorkSheets"), args, 1);
            const QList<Sheet>& sheets = app_->workbooks[book].sheets;
            if (args[0].HeldType() == Variant::Type::String) {
                for (int i = 0; i < sheets.size(); ++i) {
                    if (sheets[i].name.compare(args[0].ToString(), Qt::CaseInsensitive) == 0) {
                        return Make<SheetObject>(book, i);
                    }
                }
                Fail(QStringLiteral("WorkSheets"), QStringLiteral("subscript out of range"));
            }
            const int position = args[0].ToInt();
            if (position < 1 || position > sheets.size()) {
                Fail(QStringLiteral("WorkSheets"), QStringLiteral("subscript out of range"));
            }
            return Make<SheetObject>(book, position - 1);
        });
    }
};

class WorkbooksObject : public RecordingObject {
public:
    WorkbooksObject(Recorder& recorder, std::shared_ptr<Application> app)
        : RecordingObject(QStringLiteral("Workbooks"), recorder, std::move(app)) {
        AddMember(QStringLiteral("Add"), [this](CallKind, const Arguments&) {
            Workbook book;
            for (int i = 1; i <= app_->sheetsInNewWorkbook; ++i) {
                book.sheets.append({QStringLiteral("Sheet%1").arg(i), {}});
            }
            app_->workbooks.append(book);
            return Make<WorkbookObject>(int(app_->workbooks.size()) - 1);
        });
    }
};

class ApplicationObject : public RecordingObject {
public:
    ApplicationObject(Recorder& recorder, std::shared_ptr<Application> app)
        : RecordingObject(QStringLiteral("Application"), recorder, std::move(app)) {
        AddMember(QStringLiteral("Caption"), [this](CallKind, const Arguments& args) {
            RequireArgCount(QStringLiteral("Caption"), args, 1);
            app_->caption = args[0].ToString();
            return Variant();
        });
        AddMember(QStringLiteral("WorkBooks"), [this](CallKind, const Arguments& args) {
            if (args.isEmpty()) return Make<WorkbooksObject>();
            const int position = args[0].ToInt();
            if (position < 1 || position > app_->workbooks.size()) {
                Fail(QStringLiteral("WorkBooks"), QStringLiteral("subscript out of range"));
            }
            return Make<WorkbookObject>(position - 1);
        });
        AddMember(QStringLiteral("SheetsInNewWorkbook"), [this](CallKind, const Arguments& args) {
            RequireArgCount(QStringLiteral("SheetsInNewWorkbook"), args, 1);
            app_->sheetsInNewWorkbook = args[0].ToInt();
            return Variant();
        });
        AddMember(QStringLiteral("Visible"), [this](CallKind, const Arguments& args) {
            RequireArgCount(QStringLiteral("Visible"), args, 1);
            app_->visible = args[0].ToBool();
            return Variant();
        });
    }
};

}  // namespace

QString Call::ToString() const {
    QStringList texts;
    for (const Variant& arg : args) texts << arg.Describe();
    return QStringLiteral("%1.%2 %3 (%4)")
        .arg(object, member, automation::CallKindName(kind), texts.join(u", "));
}

void Recorder::FailOnCall(const QString& member, int nth, const QString& text) {
    failMember_ = member;
    failCountdown_ = nth;
    failText_ = text;
}

void Recorder::CheckFailure(const QString& member) {
    if (failCountdown_ <= 0 || member.compare(failMember_, Qt::CaseInsensitive) != 0) return;
    if (--failCountdown_ == 0) throw automation::CallError(failText_);
}

int Recorder::LiveObjects() const {
    return int(std::count_if(handedOut_.begin(), handedOut_.end(),
                             [](const auto& object) { return !object.expired(); }));
}

std::shared_ptr<automation::Dispatch> Recorder::CreateApplication() {
    ++creationAttempts_;
    if (failCreation_) throw automation::CreationError(QStringLiteral("creation refused"));
    auto app = std::make_shared<Application>();
    app->sheetsInNewWorkbook = defaultSheetCount;
    applications_.append(app);
    auto object = std::make_shared<ApplicationObject>(*this, app);
    Track(object);
    return object;
}

namespace {
struct Installation {
    bool active = false;
    automation::Factory previous;  // the class registered before the recorder
};
Installation& CurrentInstallation() {
    static Installation installation;
    return installation;
}
}  // namespace

void Install(std::shared_ptr<Recorder> recorder) {
    automation::Factory replaced =
        automation::RegisterClass(kProgId, [recorder] { return recorder->CreateApplication(); });
    Installation& installation = CurrentInstallation();
    if (!installation.active) installation.previous = std::move(replaced);
    installation.active = true;
}

void Uninstall() {
    Installation& installation = CurrentInstallation();
    if (!installation.active) return;
    automation::RegisterClass(kProgId, std::exchange(installation.previous, {}));
    installation.active = false;
}

}  // namespace recording
