// The real window against batmon-sim playing a discharge with a weak battery: with the page's
// fast-sampling switch turned on, the period drops to the fastest cycle and returns; the page
// lists the discharge with the weak battery marked, and its PDF report names the site, the
// battery and the duration.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include "app/DischargePage.h"
#include "app/TForm1.h"
#include "tests/common/FormControls.h"
#include "tests/common/ProgramRun.h"
#include "tests/common/WaitFor.h"
#include "tests/common/WindowRig.h"
#include "tools/simctl/SimProcess.h"

using testsupport::Control;
using testsupport::kSlowdown;
using testsupport::WaitUntil;

TEST(WindowDischargeSim, fastSamplingOnRequestAndTheRecordWithItsWeakBattery) {
    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    testsupport::WindowRig window;
    TForm1& form = window.Form();
    MonitorSession& session = form.Monitoring().Session();

    // Off by default: the window's period is the operator's.
    auto* fast = Control<QCheckBox>(form, "dischargeFastSampling");
    EXPECT_FALSE(fast->isChecked());
    fast->setChecked(true);
    QTest::mouseClick(Control<QPushButton>(form, "dischargeSave"), Qt::LeftButton);
    EXPECT_TRUE(form.Monitoring().Discharges().FastSampling());

    SimProcess sim;
    ASSERT_TRUE(window.OpenOnSimulatedBus(sim, {"--discharge-at", "4", "--discharge-rate", "4",
                                                "--recover-after", "20", "--weak", "A0:5:2.0"}))
        << window.ErrorText().toStdString();
    window.StartMonitoring(QStringLiteral("5"));
    const auto period = [&] { return session.SamplingTimer().Interval(); };
    ASSERT_TRUE(WaitUntil([&] { return period() == MonitorSession::kFastestSamplingMs; },
                          std::chrono::seconds(30 * kSlowdown)));
    ASSERT_TRUE(WaitUntil([&] { return period() == 5000; }, std::chrono::seconds(60 * kSlowdown)));

    auto* list = Control<QTableWidget>(form, "dischargeList");
    ASSERT_TRUE(WaitUntil([&] {
        for (int row = 0; row < list->rowCount(); ++row)
            if (list->item(row, 1)->text() == u"A0" && list->item(row, 4)->text() == u"A0-85")
                return true;
        return false;
    })) << "the page lists the discharge of A0 and its weak battery";
    const auto a0Row = [&] {
        for (int row = 0; row < list->rowCount(); ++row)
            if (list->item(row, 1)->text() == u"A0") return row;
        return -1;
    };
    ASSERT_TRUE(WaitUntil([&] {
        return list->item(a0Row(), 3)->text() != QStringLiteral("放电中");
    })) << "the list shows the end once the store has it";
    list->setCurrentCell(a0Row(), 0);
    auto* table = Control<QTableWidget>(form, "dischargeTable");
    int marked = 0;
    for (int row = 0; row < table->rowCount(); ++row) {
        if (table->item(row, 0)->text() != QStringLiteral("A0-85 ★")) continue;
        ++marked;
        EXPECT_TRUE(table->item(row, 0)->font().bold());
    }
    EXPECT_EQ(marked, 1);

    auto* page = form.findChild<DischargePage*>(QStringLiteral("DischargeSheet"));
    ASSERT_NE(page, nullptr);
    page->SetSite(QStringLiteral("room-3"));
    const QString pdf = settingsDir.filePath(QStringLiteral("report.pdf"));
    page->SetFileChooser([&](const QString&) { return pdf; });
    QTest::mouseClick(Control<QPushButton>(form, "dischargePdf"), Qt::LeftButton);
    const testsupport::ProgramRun text =
        testsupport::RunWithoutDisplay(QStringLiteral("pdftotext"), {pdf, "-"});
    ASSERT_EQ(text.exitCode, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.contains(QStringLiteral("room-3"))) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains(QStringLiteral("A0-85")));
    const int row = list->currentRow();
    EXPECT_TRUE(text.out.contains(list->item(row, 3)->text())) << "the duration";
}
