#include <gtest/gtest.h>

#include <QFileInfo>
#include <QTemporaryDir>

#include "export/ExportGridsToExcel.h"
#include "export/calc/CalcPluginLoader.h"
#include "export/calc/CellText.h"
#include "tests/export/TestGrid.h"
#include "widgets/MessageBox.h"

namespace {

const QString kCaption = QStringLiteral("蓄电池监测历史数据记录");
const QString kSheetName = QStringLiteral("历史数据");
const QString kCannotOpen = QStringLiteral("无法打开Xls文件，请确认已 经安装EXCEL！");
const QString kOffice = QStringLiteral("/usr/lib/libreoffice/program/soffice");

// Runs the export against the real plugin and a private LibreOffice profile.
class CalcOfficeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("BATMON_PLUGIN_DIR")) {
            qputenv("BATMON_PLUGIN_DIR", BATMON_CALC_PLUGIN_DIR);
        }
        qputenv("BATMON_OFFICE_PROFILE", profile.path().toUtf8());
        qunsetenv("BATMON_OFFICE_PROGRAM");
        messagebox::SetHook([this](const QString& text, const QString&) { messages << text; });
    }
    void TearDown() override { messagebox::SetHook({}); }

    static bool OfficeInstalled() { return QFileInfo(kOffice).isExecutable(); }

    QTemporaryDir profile;
    QStringList messages;
};

// The documents of the office that carry our caption, read back through UNO.
std::vector<calc::DocumentContent> ExportedDocuments(calc::OfficeProbe& probe) {
    std::vector<calc::DocumentContent> exported;
    for (auto& document : probe.SpreadsheetDocuments()) {
        if (document.title == kCaption) exported.push_back(std::move(document));
    }
    return exported;
}

void ExpectSheetHolds(const calc::DocumentContent& document, const GridModel& grid) {
    ASSERT_EQ(document.sheets.size(), 1u);
    const calc::SheetContent& sheet = document.sheets[0];
    EXPECT_EQ(sheet.name, kSheetName);
    EXPECT_FALSE(sheet.hasFormulas);
    ASSERT_EQ(sheet.used.rows, grid.RowCount());
    ASSERT_EQ(sheet.used.cols, grid.ColCount());
    int mismatches = 0;
    for (int row = 0; row < grid.RowCount(); ++row) {
        for (int col = 0; col < grid.ColCount(); ++col) {
            const calc::CellValue expected = calc::CellValueFromText(grid.Cell(col, row));
            const calc::CellValue& actual = sheet.used.values[size_t(row) * grid.ColCount() + col];
            if (actual != expected && mismatches++ < 5) {
                ADD_FAILURE() << "cell (" << row + 1 << ", " << col + 1 << ") holds "
                              << actual.text.toStdString() << "/" << actual.number << ", expected "
                              << grid.Cell(col, row).toStdString();
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(CalcOfficeTest, unreachableOfficeShowsTheMessage) {
    qputenv("BATMON_OFFICE_PROGRAM", "/nonexistent/libreoffice/soffice");
    TestGrid grid({"a", "b"}, 3);
    ExportGridsToExcel({&grid});
    ExportGridsToExcel({&grid});
    EXPECT_EQ(messages, QStringList(2, kCannotOpen));
}

TEST_F(CalcOfficeTest, exportedTablesArriveInLiveCalcDocuments) {
    if (!OfficeInstalled())
        GTEST_SKIP() << "LibreOffice is not installed (" << kOffice.toStdString() << ")";
    if (!BATMON_CALC_PLUGIN_BUILT)
        GTEST_SKIP() << "this build leaves the export plugin out (BATMON_BUILD_EXPORT_PLUGIN=OFF)";
    ASSERT_TRUE(QFileInfo::exists(QStringLiteral(BATMON_CALC_PLUGIN_DIR "/libbatmon_calc.so")))
        << "LibreOffice is installed but the export plugin was not built";

    TestGrid filled({"模块地址", "采样时间", "电压V", "温度℃", "鼓包"}, 6);
    const QStringList texts{"1#",   "2024/05/01 10:00:00",
                            "12.5", "-3",
                            "正常", "=1+1",
                            "",     "007",
                            "25",   "文本",
                            "0.5",  "1,5",
                            "x",    "-0",
                            "99999"};
    for (int i = 0; i < 5 * 5; ++i) filled.SetCell(i % 5, 1 + i / 5, texts[i % texts.size()]);
    TestGrid large({"模块地址", "采样时间", "电压V", "温度℃", "鼓包"}, 1024);
    for (int row = 1; row < 1024; ++row) {
        large.SetCell(0, row, QStringLiteral("%1#").arg(row));
        large.SetCell(2, row, QStringLiteral("%1.%2").arg(row % 20).arg(row % 10));
        large.SetCell(3, row, QString::number(row % 40 - 10));
        large.SetCell(4, row, row % 7 ? QStringLiteral("正常") : QString());
    }
    large.SetCell(4, 1023, QStringLiteral("鼓包异常"));

    ExportGridsToExcel({&filled});
    ExportGridsToExcel({&large});
    ASSERT_TRUE(messages.isEmpty()) << messages.join(u'\n').toStdString();

    std::unique_ptr<calc::OfficeProbe> probe = calc::ConnectProbe();
    std::vector<calc::DocumentContent> documents = ExportedDocuments(*probe);
    ASSERT_EQ(documents.size(), 2u);
    // The desktop lists the newest document first.
    if (documents[0].sheets.at(0).used.rows != filled.RowCount())
        std::swap(documents[0], documents[1]);
    ExpectSheetHolds(documents[0], filled);
    ExpectSheetHolds(documents[1], large);
    const calc::CellBlock& cells = documents[0].sheets[0].used;
    EXPECT_EQ(cells.values[5 * 5 + 0], calc::CellValue::Text("=1+1"));
    EXPECT_EQ(cells.values[1 * 5 + 2], calc::CellValue::Number(12.5));
    if (qEnvironmentVariableIsSet("DISPLAY")) {
        EXPECT_TRUE(documents[0].visible);
        EXPECT_TRUE(documents[1].visible);
    }
    EXPECT_EQ(probe->CloseSpreadsheetDocuments(), 2);

    // The operator quits the office; the next export starts a new one.
    probe->TerminateOffice();
    ExportGridsToExcel({&filled});
    EXPECT_TRUE(messages.isEmpty()) << messages.join(u'\n').toStdString();
    probe = calc::ConnectProbe();
    documents = ExportedDocuments(*probe);
    ASSERT_EQ(documents.size(), 1u);
    ExpectSheetHolds(documents[0], filled);
    probe->CloseSpreadsheetDocuments();
    probe->TerminateOffice();
}

}  // namespace
