#pragma once

#include <QString>
#include <memory>
#include <vector>

// The interface between the program and the LibreOffice plugin (batmon_calc), which is loaded
// at run time. Both sides are built together, so C++ types cross the boundary; failures inside
// a call cross it only as std::runtime_error with a UTF-8 text, never as UNO exceptions.
namespace calc {

struct CellValue {
    enum class Kind { Text, Number };
    Kind kind = Kind::Text;
    QString text;
    double number = 0;

    static CellValue Text(QString text) { return {Kind::Text, std::move(text), 0}; }
    static CellValue Number(double number) { return {Kind::Number, {}, number}; }
    friend bool operator==(const CellValue&, const CellValue&) = default;
};

// A rectangle of cells, row-major, sheet coordinates counted from 0.
struct CellBlock {
    int top = 0;
    int left = 0;
    int rows = 0;
    int cols = 0;
    std::vector<CellValue> values;  // rows * cols
};

// One Calc document. Destroying the handle drops the reference; the document stays open.
class Document {
public:
    virtual ~Document() = default;
    virtual void SetTitle(const QString& title) = 0;
    virtual int SheetCount() = 0;
    virtual void SetSheetCount(int count) = 0;  // appends or removes sheets at the end
    virtual QString SheetName(int sheet) = 0;
    virtual void RenameSheet(int sheet, const QString& name) = 0;    // throws when refused
    virtual void WriteBlock(int sheet, const CellBlock& block) = 0;  // one bulk call
    virtual CellBlock ReadBlock(int sheet, int top, int left, int rows, int cols) = 0;
    virtual void SetVisible(bool visible) = 0;
    virtual void Close() = 0;  // discards unsaved changes
};

// A connection to a running office.
class Office {
public:
    virtual ~Office() = default;
    virtual std::unique_ptr<Document> NewHiddenDocument() = 0;
};

// For tests and benchmarks: what the office holds, read back through UNO.
struct SheetContent {
    QString name;
    CellBlock used;  // from A1 to the end of the used area
    bool hasFormulas = false;
};
struct DocumentContent {
    QString title;
    bool visible = false;
    std::vector<SheetContent> sheets;
};
class OfficeProbe {
public:
    virtual ~OfficeProbe() = default;
    virtual std::vector<DocumentContent> SpreadsheetDocuments() = 0;
    virtual int CloseSpreadsheetDocuments() = 0;  // returns how many were closed
    // Stores every spreadsheet document as an .ods file in `directory`; returns the paths.
    virtual std::vector<QString> StoreSpreadsheetDocuments(const QString& directory) = 0;
    // Only for an office the test started itself: ends it and waits until it has gone.
    virtual void TerminateOffice() = 0;
};

// Entry points of the plugin. On failure they return nullptr and set *error.
using ConnectFunction = Office* (*)(QString* error);
using ProbeFunction = OfficeProbe* (*)(QString* error);
inline constexpr char kConnectSymbol[] = "batmon_calc_connect";
inline constexpr char kProbeSymbol[] = "batmon_calc_probe";
// For tests: where this run's office pipe lives.
using PipePathFunction = void (*)(QString* path);
inline constexpr char kPipePathSymbol[] = "batmon_calc_pipe_path";

}  // namespace calc
