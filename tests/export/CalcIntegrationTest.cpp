#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>
#include <thread>

#include "export/ExportGridsToExcel.h"
#include "export/ExportJob.h"
#include "export/calc/CalcPluginLoader.h"
#include "export/calc/CellText.h"
#include "tests/common/WaitFor.h"
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
        qputenv("BATMON_OFFICE_PROFILE", profile_.path().toUtf8());
        qunsetenv("BATMON_OFFICE_PROGRAM");
        messagebox::SetHook([this](const QString& text, const QString&) { messages_ << text; });
    }
    void TearDown() override { messagebox::SetHook({}); }

    static bool OfficeInstalled() { return QFileInfo(kOffice).isExecutable(); }

    QTemporaryDir profile_;
    QStringList messages_;
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
    EXPECT_EQ(messages_, QStringList(2, kCannotOpen));
}

// A listening socket at `path`: accepts connections and never says a word.
class MutePipe {
public:
    explicit MutePipe(const QString& path) : path_(path.toLocal8Bit()) {
        fd_ = Listen(path_);
        accepter_ = std::thread([this] {
            for (int client; (client = ::accept(fd_, nullptr, nullptr)) >= 0;)
                clients_.push_back(client);
        });
    }
    ~MutePipe() {
        ::shutdown(fd_, SHUT_RDWR);
        accepter_.join();
        for (int client : clients_) ::close(client);
        ::close(fd_);
        ::unlink(path_.constData());
    }
    bool Ok() const { return fd_ >= 0; }
    static int Listen(const QByteArray& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (size_t(path.size()) >= sizeof address.sun_path) return -1;
        memcpy(address.sun_path, path.constData(), size_t(path.size()));
        ::unlink(path.constData());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 8) != 0) {
            return -1;
        }
        return fd;
    }

private:
    QByteArray path_;
    int fd_ = -1;
    std::thread accepter_;
    std::vector<int> clients_;
};

class CalcPipeTest : public CalcOfficeTest {
protected:
    void SetUp() override {
        CalcOfficeTest::SetUp();
        if (!BATMON_CALC_PLUGIN_BUILT) GTEST_SKIP() << "this build leaves the export plugin out";
        // Nothing may be started: whatever answers on the pipe is what is tested.
        qputenv("BATMON_OFFICE_PROGRAM", "/nonexistent/libreoffice/soffice");
        pipePath_ = calc::OfficePipePath();
    }
    void TearDown() override {
        qunsetenv("BATMON_OFFICE_TIMEOUT_MS");
        CalcOfficeTest::TearDown();
    }
    QString pipePath_;
};

TEST_F(CalcPipeTest, officeThatAcceptsAndNeverAnswersFailsWithinItsTimeOut) {
    // The pipe's name cannot be predicted: random for each run, not the process id.
    const QString name = QFileInfo(pipePath_).fileName();
    EXPECT_TRUE(name.contains(QRegularExpression(QStringLiteral("_[0-9a-f]{32}$"))))
        << name.toStdString();
    EXPECT_FALSE(name.contains(QString::number(getpid()) + QStringLiteral("$")));

    MutePipe mute(pipePath_);
    ASSERT_TRUE(mute.Ok()) << pipePath_.toStdString();
    qputenv("BATMON_OFFICE_TIMEOUT_MS", "1500");
    TestGrid grid({"a", "b"}, 3);
    QElapsedTimer clock;
    clock.start();
    ExportGridsToExcel({&grid});
    const qint64 elapsed = clock.elapsed();
    EXPECT_EQ(messages_, QStringList{kCannotOpen});
    EXPECT_GE(elapsed, 1400);
    EXPECT_LT(elapsed, 1500 + 3000) << "the connection must give up at its time-out";

    try {
        calc::ConnectOffice();
        ADD_FAILURE() << "a mute office was taken for a live one";
    } catch (const std::exception& error) {
        EXPECT_TRUE(QString::fromUtf8(error.what()).contains(QStringLiteral("did not answer")))
            << error.what();
    }
}

TEST_F(CalcPipeTest, pipeOfAnotherUserIsNeverTalkedTo) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
    // A process of user "nobody" listens on this run's pipe before the office does.
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    const QByteArray path = pipePath_.toLocal8Bit();
    const pid_t squatter = fork();
    ASSERT_GE(squatter, 0);
    if (squatter == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
        const int fd = MutePipe::Listen(path);
        const char state = fd >= 0 ? 'y' : 'n';
        if (write(ready[1], &state, 1) != 1) _exit(1);
        for (;;) pause();
    }
    ::close(ready[1]);
    char state = 0;
    ASSERT_EQ(read(ready[0], &state, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(state, 'y');

    TestGrid grid({"a", "b"}, 3);
    QElapsedTimer clock;
    clock.start();
    ExportGridsToExcel({&grid});
    EXPECT_EQ(messages_, QStringList{kCannotOpen});
    EXPECT_LT(clock.elapsed(), 1000) << "refused at once, not after a time-out";
    try {
        calc::ConnectOffice();
        ADD_FAILURE() << "connected to another user's pipe";
    } catch (const std::exception& error) {
        EXPECT_TRUE(QString::fromUtf8(error.what()).contains(QStringLiteral("not connecting")))
            << error.what();
    }
    kill(squatter, SIGKILL);
    waitpid(squatter, nullptr, 0);
    ::unlink(path.constData());
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
    ASSERT_TRUE(messages_.isEmpty()) << messages_.join(u'\n').toStdString();

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
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join(u'\n').toStdString();
    probe = calc::ConnectProbe();
    documents = ExportedDocuments(*probe);
    ASSERT_EQ(documents.size(), 1u);
    ExpectSheetHolds(documents[0], filled);
    probe->CloseSpreadsheetDocuments();
    probe->TerminateOffice();
}

}  // namespace

namespace {

// Runs a program to its end and returns what it printed; "" when it could not run or failed.
QString Output(const QString& program, const QStringList& args, int timeoutMs = 60000) {
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

TEST_F(CalcOfficeTest, exportedDegreeSignIsDrawnWithAFontThatHasIt) {
    if (!OfficeInstalled())
        GTEST_SKIP() << "LibreOffice is not installed (" << kOffice.toStdString() << ")";
    if (!BATMON_CALC_PLUGIN_BUILT) GTEST_SKIP() << "this build leaves the export plugin out";
    if (QStandardPaths::findExecutable(QStringLiteral("pdffonts")).isEmpty())
        GTEST_SKIP() << "pdffonts is missing (poppler-utils, scripts/install-deps.sh)";

    TestGrid grid({"模块地址", "采样时间", "电压V", "温度℃", "鼓包"}, 3);
    grid.SetCell(0, 1, QStringLiteral("1#"));
    grid.SetCell(1, 1, QStringLiteral("2026/12/08 17:30:05"));
    grid.SetCell(3, 1, QStringLiteral("25.5"));
    grid.SetCell(4, 1, QStringLiteral("正常"));
    ExportGridsToExcel({&grid});
    ASSERT_TRUE(messages_.isEmpty()) << messages_.join(u'\n').toStdString();

    QTemporaryDir out;
    std::unique_ptr<calc::OfficeProbe> probe = calc::ConnectProbe();
    const std::vector<QString> stored = probe->StoreSpreadsheetDocuments(out.path());
    probe->CloseSpreadsheetDocuments();
    probe->TerminateOffice();
    ASSERT_EQ(stored.size(), 1u);

    // Rendered by a separate office, as the operator's printer or PDF export would.
    QTemporaryDir converterProfile;
    Output(kOffice, {QStringLiteral("-env:UserInstallation=") +
                         QUrl::fromLocalFile(converterProfile.path()).toString(),
                     "--headless", "--convert-to", "pdf", "--outdir", out.path(), stored[0]});
    const QString pdf = QDir(out.path()).filePath(QStringLiteral("1.pdf"));
    ASSERT_TRUE(QFileInfo::exists(pdf)) << "soffice --convert-to pdf made nothing";

    const QString text = Output(QStringLiteral("pdftotext"), {pdf, "-"});
    EXPECT_TRUE(text.contains(QStringLiteral("温度℃"))) << text.toStdString();
    const QString fonts = Output(QStringLiteral("pdffonts"), {pdf});
    // WenQuanYi Micro Hei draws ℃ as a blank; the sign must come from DejaVu Sans, the face the
    // window puts ahead of it. (Nothing else on the page needs DejaVu: Latin text and digits are
    // Liberation Sans, Chinese is WenQuanYi.)
    EXPECT_TRUE(fonts.contains(QStringLiteral("DejaVuSans"))) << fonts.toStdString();
    EXPECT_TRUE(fonts.contains(QStringLiteral("LiberationSans"))) << fonts.toStdString();

    if (const QString keep = qEnvironmentVariable("BATMON_KEEP_EXPORT_PDF"); !keep.isEmpty()) {
        QFile::copy(pdf, keep);
    }
}

TEST_F(CalcOfficeTest, exportThreadFillsCalcAndLongTablesContinueOnNumberedSheets) {
    if (!OfficeInstalled())
        GTEST_SKIP() << "LibreOffice is not installed (" << kOffice.toStdString() << ")";
    if (!BATMON_CALC_PLUGIN_BUILT) GTEST_SKIP() << "this build leaves the export plugin out";

    TestGrid grid({"采样时间", "电压V", "温度℃", "状态"}, 8);
    for (int row = 1; row < 8; ++row) {
        grid.SetCell(0, row, QStringLiteral("2026/12/08 17:30:0%1").arg(row));
        grid.SetCell(1, row, QStringLiteral("12.%1").arg(row));
    }
    std::vector<gridexport::JobResult> results;
    gridexport::StartGridExport(
        {&grid}, nullptr, [&](const gridexport::JobResult& result) { results.push_back(result); });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !results.empty(); }, std::chrono::seconds(60)));
    ASSERT_EQ(results[0].outcome, gridexport::JobResult::Outcome::Exported)
        << results[0].error.toStdString();

    // Four rows a sheet: the header and three records on each.
    const gridexport::Report report = gridexport::Run({GridSnapshot::Take(grid)}, 4);
    ASSERT_TRUE(report.opened);
    EXPECT_EQ(report.tables.at(0).sheets,
              QStringList({kSheetName, kSheetName + " (2)", kSheetName + " (3)"}));

    std::unique_ptr<calc::OfficeProbe> probe = calc::ConnectProbe();
    std::vector<calc::DocumentContent> documents = ExportedDocuments(*probe);
    ASSERT_EQ(documents.size(), 2u);
    const auto split = std::find_if(documents.begin(), documents.end(), [](const auto& document) {
        return document.sheets.size() > 1;
    });
    const auto whole = std::find_if(documents.begin(), documents.end(), [](const auto& document) {
        return document.sheets.size() == 1;
    });
    ASSERT_NE(split, documents.end());
    ASSERT_NE(whole, documents.end());
    ExpectSheetHolds(*whole, grid);
    ASSERT_EQ(split->sheets.size(), 3u);
    const int rowsOnSheet[] = {4, 4, 2};
    for (int sheet = 0; sheet < 3; ++sheet) {
        SCOPED_TRACE(sheet);
        const calc::SheetContent& content = split->sheets[size_t(sheet)];
        EXPECT_EQ(content.name, report.tables[0].sheets[sheet]);
        ASSERT_EQ(content.used.rows, rowsOnSheet[sheet]);
        EXPECT_EQ(content.used.values[2], calc::CellValue::Text("温度℃"));
        EXPECT_EQ(content.used.values[4], calc::CellValue::Text(grid.Cell(0, 1 + sheet * 3)));
    }
    probe->CloseSpreadsheetDocuments();
    probe->TerminateOffice();
}

}  // namespace
