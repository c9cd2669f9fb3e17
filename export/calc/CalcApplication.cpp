#include "export/calc/CalcApplication.h"

#include <map>
#include <optional>

#include "export/MemberDispatch.h"
#include "export/calc/CalcPluginLoader.h"
#include "export/calc/CellText.h"

namespace calc {
namespace {

using automation::Arguments;
using automation::CallKind;
using automation::MemberDispatch;
using automation::Variant;

// Calc's sheet size since LibreOffice 7.4.
constexpr int kMaxRows = 1048576;
constexpr int kMaxCols = 16384;
constexpr int kMaxSheets = 10000;
// Cell puts of a hidden sheet are written once this many are pending, at the start of a new
// row: a table of a million rows is never held whole here as well as in the office.
constexpr std::size_t kFlushCells = 65536;

// The cell puts of one sheet not yet written, keyed by (row, column) from 0.
class PendingCells {
    using Map = std::map<std::pair<int, int>, CellValue>;

public:
    void Put(int row, int col, CellValue value) { cells_[{row, col}] = std::move(value); }
    std::size_t Size() const { return cells_.size(); }
    // True when a put at `row` would start a row below every pending one.
    bool StartsNewRow(int row) const {
        return cells_.empty() || cells_.rbegin()->first.first < row;
    }

    // Writes the puts as few blocks as possible: consecutive rows with the same column span form
    // one block. Cells inside a block that were not put keep what the sheet holds.
    void WriteTo(Document& document, int sheet) {
        struct RowSpan {
            int row, left, right;
            Map::iterator begin, end;
        };
        std::vector<RowSpan> spans;
        for (auto it = cells_.begin(); it != cells_.end();) {
            RowSpan span{it->first.first, it->first.second, it->first.second, it, it};
            for (; it != cells_.end() && it->first.first == span.row; ++it) {
                span.right = it->first.second;
            }
            span.end = it;
            spans.push_back(span);
        }
        for (size_t first = 0; first < spans.size();) {
            size_t last = first;
            while (last + 1 < spans.size() && spans[last + 1].row == spans[last].row + 1 &&
                   spans[last + 1].left == spans[first].left &&
                   spans[last + 1].right == spans[first].right) {
                ++last;
            }
            WriteBand(document, sheet, spans[first].begin, spans[last].end, spans[first].row,
                      spans[last].row, spans[first].left, spans[first].right);
            first = last + 1;
        }
        cells_.clear();
    }

private:
    void WriteBand(Document& document, int sheet, Map::iterator from, Map::iterator to, int top,
                   int bottom, int left, int right) {
        const int rows = bottom - top + 1;
        const int cols = right - left + 1;
        const auto puts = std::distance(from, to);
        CellBlock block =
            puts == static_cast<qsizetype>(rows) * cols
                ? CellBlock{top, left, rows, cols, std::vector<CellValue>(size_t(rows) * cols)}
                : document.ReadBlock(sheet, top, left, rows, cols);
        block.values.resize(size_t(rows) * cols);
        for (auto it = from; it != to; ++it) {
            const auto [row, col] = it->first;
            block.values[size_t(row - top) * cols + (col - left)] = it->second;
        }
        document.WriteBlock(sheet, block);
    }

    Map cells_;
};

struct Workbook {
    std::unique_ptr<Document> document;
    std::map<int, PendingCells> pending;  // by sheet index

    void Flush() {
        for (auto& [sheet, cells] : pending) cells.WriteTo(*document, sheet);
        pending.clear();
    }
};

// The state of one application object, shared by every object it hands out.
struct Session {
    std::unique_ptr<Office> office;
    QString caption;
    bool visible = false;
    std::optional<int> sheetsInNewWorkbook;
    std::vector<std::unique_ptr<Workbook>> workbooks;

    ~Session() {
        if (visible) return;
        for (auto& book : workbooks) {
            try {
                book->document->Close();
            } catch (const std::exception&) {
                // The office went away; there is nothing left to close.
            }
        }
    }

    Workbook& Book(int index) { return *workbooks.at(size_t(index)); }
};

bool IsRead(CallKind kind) { return kind != CallKind::PropertyPut; }

class WorksheetObject : public MemberDispatch {
public:
    WorksheetObject(std::shared_ptr<Session> session, int book, int sheet)
        : MemberDispatch(QStringLiteral("Worksheet")),
          session_(std::move(session)),
          book_(book),
          sheet_(sheet) {
        AddMember(QStringLiteral("Name"), [this](CallKind kind, const Arguments& args) {
            Document& document = *session_->Book(book_).document;
            if (IsRead(kind)) return Variant(document.SheetName(sheet_));
            RequireArgCount(QStringLiteral("Name"), args, 1);
            document.RenameSheet(sheet_, args[0].ToString());
            return Variant();
        });
        AddMember(QStringLiteral("Cells"), [this](CallKind kind, const Arguments& args) {
            if (IsRead(kind))
                Fail(QStringLiteral("Cells"), QStringLiteral("only put is supported"));
            RequireArgCount(QStringLiteral("Cells"), args, 3);
            PutCell(args[0].ToInt(), args[1].ToInt(), args[2]);
            return Variant();
        });
    }

private:
    void PutCell(int row, int col, const Variant& value) {
        if (row < 1 || row > kMaxRows || col < 1 || col > kMaxCols) {
            Fail(QStringLiteral("Cells"),
                 QStringLiteral("cell (%1, %2) is outside the sheet").arg(row).arg(col));
        }
        CellValue cell = value.HeldType() == Variant::Type::Int32
                             ? CellValue::Number(value.ToInt())
                             : CellValueFromText(value.IsEmpty() ? QString() : value.ToString());
        Workbook& book = session_->Book(book_);
        if (session_->visible) {
            book.document->WriteBlock(sheet_, {row - 1, col - 1, 1, 1, {std::move(cell)}});
        } else {
            PendingCells& pending = book.pending[sheet_];
            if (pending.Size() >= kFlushCells && pending.StartsNewRow(row - 1)) {
                pending.WriteTo(*book.document, sheet_);
            }
            pending.Put(row - 1, col - 1, std::move(cell));
        }
    }

    std::shared_ptr<Session> session_;
    int book_;
    int sheet_;
};

// The sheets of a workbook: Add appends a new sheet at the end and returns it.
class WorksheetCollection : public MemberDispatch {
public:
    WorksheetCollection(std::shared_ptr<Session> session, int book)
        : MemberDispatch(QStringLiteral("Worksheets")), session_(std::move(session)), book_(book) {
        AddMember(QStringLiteral("Add"), [this](CallKind kind, const Arguments&) {
            if (!IsRead(kind)) Fail(QStringLiteral("Add"), QStringLiteral("is a method"));
            Document& document = *session_->Book(book_).document;
            const int count = document.SheetCount();
            if (count >= kMaxSheets) Fail(QStringLiteral("Add"), QStringLiteral("too many sheets"));
            document.SetSheetCount(count + 1);
            return Variant(std::make_shared<WorksheetObject>(session_, book_, count));
        });
        AddMember(QStringLiteral("Count"), [this](CallKind kind, const Arguments&) {
            if (!IsRead(kind)) Fail(QStringLiteral("Count"), QStringLiteral("read-only"));
            return Variant(qint32(session_->Book(book_).document->SheetCount()));
        });
    }

private:
    std::shared_ptr<Session> session_;
    int book_;
};

class WorkbookObject : public MemberDispatch {
public:
    WorkbookObject(std::shared_ptr<Session> session, int book)
        : MemberDispatch(QStringLiteral("Workbook")), session_(std::move(session)), book_(book) {
        auto sheets = [this](CallKind kind, const Arguments& args) {
            if (!IsRead(kind)) Fail(QStringLiteral("WorkSheets"), QStringLiteral("read-only"));
            if (args.isEmpty()) {
                return Variant(std::make_shared<WorksheetCollection>(session_, book_));
            }
            RequireArgCount(QStringLiteral("WorkSheets"), args, 1);
            return Variant(std::make_shared<WorksheetObject>(session_, book_, SheetIndex(args[0])));
        };
        AddMember(QStringLiteral("WorkSheets"), sheets);
        AddMember(QStringLiteral("Sheets"), sheets);
    }

private:
    int SheetIndex(const Variant& key) {
        Document& document = *session_->Book(book_).document;
        const int count = document.SheetCount();
        if (key.HeldType() == Variant::Type::String) {
            for (int sheet = 0; sheet < count; ++sheet) {
                if (document.SheetName(sheet).compare(key.ToString(), Qt::CaseInsensitive) == 0) {
                    return sheet;
                }
            }
            Fail(QStringLiteral("WorkSheets"),
                 QStringLiteral("no sheet named %1").arg(key.ToString()));
        }
        const int position = key.ToInt();
        if (position < 1 || position > count) {
            Fail(QStringLiteral("WorkSheets"),
                 QStringLiteral("sheet %1 does not exist (%2 sheets)").arg(position).arg(count));
        }
        return position - 1;
    }

    std::shared_ptr<Session> session_;
    int book_;
};

std::shared_ptr<WorkbookObject> WorkbookAt(const std::shared_ptr<Session>& session,
                                           const Variant& position, const auto& fail) {
    const int index = position.ToInt();
    if (index < 1 || index > static_cast<int>(session->workbooks.size())) {
        fail(QStringLiteral("workbook %1 does not exist").arg(index));
    }
    return std::make_shared<WorkbookObject>(session, index - 1);
}

class WorkbookCollection : public MemberDispatch {
public:
    explicit WorkbookCollection(std::shared_ptr<Session> session)
        : MemberDispatch(QStringLiteral("Workbooks")), session_(std::move(session)) {
        AddMember(QStringLiteral("Add"), [this](CallKind kind, const Arguments&) {
            if (!IsRead(kind)) Fail(QStringLiteral("Add"), QStringLiteral("is a method"));
            return Variant(Add());
        });
        AddMember(QStringLiteral("Count"), [this](CallKind kind, const Arguments&) {
            if (!IsRead(kind)) Fail(QStringLiteral("Count"), QStringLiteral("read-only"));
            return Variant(static_cast<qint32>(session_->workbooks.size()));
        });
        AddMember(QStringLiteral("Item"), [this](CallKind kind, const Arguments& args) {
            if (!IsRead(kind)) Fail(QStringLiteral("Item"), QStringLiteral("read-only"));
            RequireArgCount(QStringLiteral("Item"), args, 1);
            return Variant(WorkbookAt(session_, args[0], [this](const QString& why) {
                Fail(QStringLiteral("Item"), why);
            }));
        });
    }

private:
    std::shared_ptr<WorkbookObject> Add() {
        auto book = std::make_unique<Workbook>();
        book->document = session_->office->NewHiddenDocument();
        session_->workbooks.push_back(std::move(book));  // from here on it is closed if never shown
        Document& document = *session_->workbooks.back()->document;
        if (!session_->caption.isEmpty()) document.SetTitle(session_->caption);
        if (session_->sheetsInNewWorkbook) document.SetSheetCount(*session_->sheetsInNewWorkbook);
        if (session_->visible) document.SetVisible(true);
        return std::make_shared<WorkbookObject>(session_, int(session_->workbooks.size()) - 1);
    }

    std::shared_ptr<Session> session_;
};

class ApplicationObject : public MemberDispatch {
public:
    explicit ApplicationObject(std::shared_ptr<Session> session)
        : MemberDispatch(QStringLiteral("Application")), session_(std::move(session)) {
        AddMember(QStringLiteral("Caption"), [this](CallKind kind, const Arguments& args) {
            if (IsRead(kind)) return Variant(session_->caption);
            RequireArgCount(QStringLiteral("Caption"), args, 1);
            session_->caption = args[0].ToString();
            for (auto& book : session_->workbooks) book->document->SetTitle(session_->caption);
            return Variant();
        });
        AddMember(QStringLiteral("WorkBooks"), [this](CallKind kind, const Arguments& args) {
            if (!IsRead(kind)) Fail(QStringLiteral("WorkBooks"), QStringLiteral("read-only"));
            if (args.isEmpty()) return Variant(std::make_shared<WorkbookCollection>(session_));
            RequireArgCount(QStringLiteral("WorkBooks"), args, 1);
            return Variant(WorkbookAt(session_, args[0], [this](const QString& why) {
                Fail(QStringLiteral("WorkBooks"), why);
            }));
        });
        AddMember(
            QStringLiteral("SheetsInNewWorkbook"), [this](CallKind kind, const Arguments& args) {
                if (IsRead(kind))
                    return Variant(static_cast<qint32>(session_->sheetsInNewWorkbook.value_or(1)));
                RequireArgCount(QStringLiteral("SheetsInNewWorkbook"), args, 1);
                const int count = args[0].ToInt();
                if (count < 1 || count > 255) {
                    Fail(QStringLiteral("SheetsInNewWorkbook"), QStringLiteral("must be 1 to 255"));
                }
                session_->sheetsInNewWorkbook = count;
                return Variant();
            });
        AddMember(QStringLiteral("Visible"), [this](CallKind kind, const Arguments& args) {
            if (IsRead(kind)) return Variant(session_->visible);
            RequireArgCount(QStringLiteral("Visible"), args, 1);
            SetVisible(args[0].ToBool());
            return Variant();
        });
    }

private:
    void SetVisible(bool visible) {
        for (auto& book : session_->workbooks) {
            if (visible) book->Flush();
            book->document->SetVisible(visible);
        }
        session_->visible = visible;
    }

    std::shared_ptr<Session> session_;
};

}  // namespace

std::shared_ptr<automation::Dispatch> CreateExcelApplication(std::unique_ptr<Office> office) {
    auto session = std::make_shared<Session>();
    session->office = std::move(office);
    return std::make_shared<ApplicationObject>(std::move(session));
}

std::shared_ptr<automation::Dispatch> CreateExcelApplication() {
    return CreateExcelApplication(ConnectOffice());
}

}  // namespace calc
