#pragma once

#include <QList>
#include <QMap>
#include <QStringList>
#include <memory>

#include "export/Automation.h"

// A recording "Excel.Application" for tests: a small model of the spreadsheet application that
// keeps every call made on its objects and the sheet contents that result. It can be told to
// fail creation, or to fail the n-th call of a member.
namespace recording {

struct Call {
    QString object;  // Application, Workbooks, Workbook, Worksheets or Worksheet
    QString member;  // as spelled by the caller
    automation::CallKind kind;
    automation::Arguments args;

    // "Worksheet.Cells put (1, 2, "text")"
    QString ToString() const;
};

struct Sheet {
    QString name;
    QMap<std::pair<int, int>, QString> cells;  // (row, column) from 1

    QString Cell(int row, int col) const { return cells.value({row, col}); }
};

struct Workbook {
    QList<Sheet> sheets;
};

struct Application {
    QString caption;
    bool visible = false;
    int sheetsInNewWorkbook = 0;
    QList<Workbook> workbooks;
    QList<Call> calls;
};

class Recorder {
public:
    int defaultSheetCount = 3;  // sheets of a new workbook until SheetsInNewWorkbook is put

    void FailCreation(bool fail) { failCreation_ = fail; }
    // The `nth` call (from 1, counted over all objects) of `member` throws CallError(text).
    void FailOnCall(const QString& member, int nth, const QString& text);

    int CreationAttempts() const { return creationAttempts_; }
    // One entry per created application object, in creation order.
    const QList<std::shared_ptr<Application>>& Applications() const { return applications_; }
    // Objects handed out that someone still holds a reference to.
    int LiveObjects() const;

    // Used by the recording objects.
    std::shared_ptr<automation::Dispatch> CreateApplication();
    void Track(const std::shared_ptr<automation::Dispatch>& object) {
        handedOut_.push_back(object);
    }
    void CheckFailure(const QString& member);

private:
    bool failCreation_ = false;
    int creationAttempts_ = 0;
    QString failMember_;
    int failCountdown_ = 0;
    QString failText_;
    QList<std::shared_ptr<Application>> applications_;
    std::vector<std::weak_ptr<automation::Dispatch>> handedOut_;
};

// Registers `recorder` as "Excel.Application"; Uninstall() restores the class registered before.
void Install(std::shared_ptr<Recorder> recorder);
void Uninstall();

}  // namespace recording
