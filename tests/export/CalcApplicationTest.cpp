#include <gtest/gtest.h>

#include <map>

#include "export/calc/CalcApplication.h"
#include "export/calc/CellText.h"

namespace {

using automation::CallError;
using automation::CallKind;
using calc::CellValue;

// An in-memory office that counts the bulk writes the object model makes.
struct FakeSheet {
    QString name;
    std::map<std::pair<int, int>, CellValue> cells;  // (row, col) from 0
};
struct FakeDocumentState {
    QString title;
    std::vector<FakeSheet> sheets{{"Sheet1", {}}};
    int writes = 0;
    int writesBeforeShown = 0;
    bool visible = false;
    bool closed = false;
};

class FakeDocument : public calc::Document {
public:
    explicit FakeDocument(std::shared_ptr<FakeDocumentState> state) : s_(std::move(state)) {}
    void SetTitle(const QString& title) override { s_->title = title; }
    int SheetCount() override { return int(s_->sheets.size()); }
    void SetSheetCount(int count) override {
        while (SheetCount() < count)
            s_->sheets.push_back({QStringLiteral("Sheet%1").arg(SheetCount() + 1), {}});
        s_->sheets.resize(count);
    }
    QString SheetName(int sheet) override { return s_->sheets.at(sheet).name; }
    void RenameSheet(int sheet, const QString& name) override {
        for (const auto& other : s_->sheets) {
            if (other.name == name) throw std::runtime_error("LibreOffice refused the sheet name");
        }
        s_->sheets.at(sheet).name = name;
    }
    void WriteBlock(int sheet, const calc::CellBlock& block) override {
        ++s_->writes;
        if (!s_->visible) ++s_->writesBeforeShown;
        for (int r = 0; r < block.rows; ++r) {
            for (int c = 0; c < block.cols; ++c) {
                s_->sheets.at(sheet).cells[{block.top + r, block.left + c}] =
                    block.values.at(size_t(r) * block.cols + c);
            }
        }
    }
    calc::CellBlock ReadBlock(int sheet, int top, int left, int rows, int cols) override {
        calc::CellBlock block{top, left, rows, cols, {}};
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) {
                auto cell = s_->sheets.at(sheet).cells.find({top + r, left + c});
                block.values.push_back(cell == s_->sheets.at(sheet).cells.end() ? CellValue{}
                                                                                : cell->second);
            }
        }
        return block;
    }
    void SetVisible(bool visible) override { s_->visible = visible; }
    void Close() override { s_->closed = true; }

private:
    std::shared_ptr<FakeDocumentState> s_;
};

struct FakeOffice : calc::Office {
    explicit FakeOffice(std::vector<std::shared_ptr<FakeDocumentState>>& made) : documents(made) {}
    std::unique_ptr<calc::Document> NewHiddenDocument() override {
        documents.push_back(std::make_shared<FakeDocumentState>());
        return std::make_unique<FakeDocument>(documents.back());
    }
    std::vector<std::shared_ptr<FakeDocumentState>>& documents;
};

class CalcApplicationTest : public ::testing::Test {
protected:
    std::shared_ptr<automation::Dispatch> NewApplication() {
        return calc::CreateExcelApplication(std::make_unique<FakeOffice>(documents_));
    }
    std::vector<std::shared_ptr<FakeDocumentState>> documents_;
};

TEST_F(CalcApplicationTest, cellPutsReachTheSheetInOneBulkWriteBeforeItIsShown) {
    auto excel = NewApplication();
    excel->Put("caption", {QStringLiteral("标题")});
    excel->Invoke("WORKBOOKS", CallKind::MethodOrPropertyGet, {}).ToObject()->Call("add");
    auto sheet = excel->Get("Workbooks", {1}).ToObject()->Get("worksheets", {1}).ToObject();
    for (int row = 1; row <= 1024; ++row) {
        for (int col = 1; col <= 5; ++col) {
            sheet->Put("Cells", {row, col, QStringLiteral("%1.5").arg(row * 10 + col)});
        }
    }
    sheet->Put("Cells", {1, 1, QStringLiteral("=1+1")});  // a later put of the same cell wins
    sheet->Put("Cells", {2, 2, QString()});
    ASSERT_EQ(documents_.size(), 1u);
    EXPECT_EQ(documents_[0]->writes, 0);

    excel->Put("Visible", {true});
    const FakeDocumentState& doc = *documents_[0];
    EXPECT_EQ(doc.writesBeforeShown, 1);
    EXPECT_TRUE(doc.visible);
    EXPECT_EQ(doc.title, QStringLiteral("标题"));
    const auto& cells = doc.sheets[0].cells;
    EXPECT_EQ(cells.size(), 5120u);
    EXPECT_EQ(cells.at({0, 0}), CellValue::Text("=1+1"));
    EXPECT_EQ(cells.at({1, 1}), CellValue::Text(""));
    EXPECT_EQ(cells.at({1023, 4}), CellValue::Number(10245.5));

    // Once shown, a put is written at once.
    sheet->Put("Cells", {3000, 1, QStringLiteral("x")});
    EXPECT_EQ(doc.sheets[0].cells.at({2999, 0}), CellValue::Text("x"));
    sheet.reset();
    excel.reset();
    EXPECT_FALSE(doc.closed) << "a shown workbook belongs to the operator";
}

TEST_F(CalcApplicationTest, sparsePutsKeepTheCellsTheyDoNotName) {
    auto excel = NewApplication();
    excel->Get("WorkBooks").ToObject()->Call("Add");
    auto sheet = excel->Get("WorkBooks", {1}).ToObject()->Get("WorkSheets", {1}).ToObject();
    excel->Put("Visible", {true});
    sheet->Put("Cells", {2, 2, QStringLiteral("kept")});
    excel->Put("Visible", {false});
    sheet->Put("Cells", {1, 1, QStringLiteral("a")});
    sheet->Put("Cells", {3, 3, QStringLiteral("b")});
    sheet->Put("Cells", {4, 1, QStringLiteral("c")});
    excel->Put("Visible", {true});

    const auto& cells = documents_[0]->sheets[0].cells;
    EXPECT_EQ(cells.at({1, 1}), CellValue::Text("kept"));
    EXPECT_EQ(cells.at({0, 0}), CellValue::Text("a"));
    EXPECT_EQ(cells.at({2, 2}), CellValue::Text("b"));
    EXPECT_EQ(cells.at({3, 0}), CellValue::Text("c"));
    EXPECT_THROW(sheet->Put("Cells", {0, 1, QStringLiteral("x")}), CallError);
}

TEST_F(CalcApplicationTest, sheetsInNewWorkbookShapesOnlyLaterWorkbooks) {
    auto excel = NewApplication();
    auto books = excel->Get("WorkBooks").ToObject();
    books->Call("Add");
    excel->Put("SheetsInNewWorkbook", {3});
    books->Call("Add");
    ASSERT_EQ(documents_.size(), 2u);
    EXPECT_EQ(documents_[0]->sheets.size(), 1u);
    EXPECT_EQ(documents_[1]->sheets.size(), 3u);

    auto second = excel->Get("WorkBooks", {2}).ToObject();
    second->Get("WorkSheets", {2}).ToObject()->Put("Name", {QStringLiteral("历史数据")});
    EXPECT_EQ(
        second->Get("worksheets", {QStringLiteral("历史数据")}).ToObject()->Get("Name").ToString(),
        QStringLiteral("历史数据"));
    // A refused name, an unknown sheet or member and a wrong type are call errors.
    EXPECT_THROW(
        second->Get("WorkSheets", {3}).ToObject()->Put("Name", {QStringLiteral("历史数据")}),
        CallError);
    EXPECT_THROW(second->Get("WorkSheets", {QStringLiteral("nope")}), CallError);
    EXPECT_THROW(second->Get("WorkSheets", {4}), CallError);
    EXPECT_THROW(excel->Get("WorkBooks", {3}), CallError);
    EXPECT_THROW(excel->Put("NoSuchMember", {1}), CallError);
    EXPECT_THROW(excel->Put("Visible", {QStringLiteral("yes")}), CallError);
}

TEST_F(CalcApplicationTest, workbooksNeverShownAreClosedWhenTheApplicationIsReleased) {
    auto excel = NewApplication();
    excel->Get("WorkBooks").ToObject()->Call("Add");
    auto sheet = excel->Get("WorkBooks", {1}).ToObject()->Get("WorkSheets", {1}).ToObject();
    excel.reset();
    EXPECT_FALSE(documents_[0]->closed) << "still referenced through the sheet";
    sheet.reset();
    EXPECT_TRUE(documents_[0]->closed);
}

TEST_F(CalcApplicationTest, largeHiddenSheetIsWrittenInBandsOfWholeRowsAndContinuesOnAddedSheets) {
    auto excel = NewApplication();
    excel->Get("WorkBooks").ToObject()->Call("Add");
    auto book = excel->Get("WorkBooks", {1}).ToObject();
    auto sheet = book->Get("WorkSheets", {1}).ToObject();
    constexpr int kRows = 40000;  // 160,000 cells: more than one band
    for (int row = 1; row <= kRows; ++row) {
        for (int col = 1; col <= 4; ++col) sheet->Put("Cells", {row, col, QString::number(row)});
    }
    const FakeDocumentState& doc = *documents_[0];
    EXPECT_GE(doc.writes, 2) << "pending cells must not grow with the whole table";

    auto added = book->Invoke("WorkSheets", CallKind::MethodOrPropertyGet, {})
                     .ToObject()
                     ->Call("Add")
                     .ToObject();
    added->Put("Name", {QStringLiteral("历史数据 (2)")});
    added->Put("Cells", {1, 1, QStringLiteral("采样时间")});
    EXPECT_EQ(book->Get("WorkSheets").ToObject()->Get("Count").ToInt(), 2);
    excel->Put("Visible", {true});

    ASSERT_EQ(doc.sheets.size(), 2u);
    EXPECT_EQ(doc.sheets[1].name, QStringLiteral("历史数据 (2)"));
    EXPECT_EQ(doc.sheets[1].cells.at({0, 0}), CellValue::Text("采样时间"));
    const auto& cells = doc.sheets[0].cells;
    ASSERT_EQ(cells.size(), size_t(kRows) * 4);
    for (int row = 0; row < kRows; row += 997) {
        for (int col = 0; col < 4; ++col) {
            ASSERT_EQ(cells.at({row, col}), CellValue::Number(row + 1)) << row << "," << col;
        }
    }
    EXPECT_EQ(cells.at({kRows - 1, 3}), CellValue::Number(kRows));
    EXPECT_THROW(sheet->Put("Cells", {1048577, 1, QStringLiteral("x")}), CallError);
}

TEST(CellText, plainDecimalNumbersBecomeNumbersEverythingElseStaysText) {
    struct Case {
        const char* text;
        const char* point;
        std::optional<double> number;
    };
    const Case cases[] = {
        {"12.5", ".", 12.5},
        {"-3", ".", -3},
        {"25", ".", 25},
        {"0", ".", 0},
        {"0.75", ".", 0.75},
        {"12,5", ",", 12.5},
        {"12.5", ",", 12.5},
        {"12,5", ".", {}},
        {"=1+1", ".", {}},
        {"", ".", {}},
        {"007", ".", {}},
        {"-0", ".", {}},
        {"1e5", ".", {}},
        {" 12", ".", {}},
        {"12.", ".", {}},
        {".5", ".", {}},
        {"+5", ".", {}},
        {"1.2.3", ".", {}},
        {"1234567890123456", ".", {}},
        {"123456789012345", ".", 123456789012345.0},
        {"2024/05/01 10:00:00", ".", {}},
        {"正常", ".", {}},
        {"1,234", ".", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const CellValue value = calc::CellValueFromText(QString::fromUtf8(c.text), c.point);
        if (c.number) {
            EXPECT_EQ(value, CellValue::Number(*c.number));
        } else {
            EXPECT_EQ(value, CellValue::Text(QString::fromUtf8(c.text)));
        }
    }
}

}  // namespace
