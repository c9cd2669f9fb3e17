// batmond against batmon-sim playing a discharge with one weak battery, on a real broker: the
// poll speeds up to the fastest period while it lasts and slows down after, the retained state
// goes from idle to running to idle, and the summary and the stored record name the weak battery.
#include <gtest/gtest.h>
#include <signal.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

#include "engine/MonitorSession.h"
#include "mqtt/DischargeMessages.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "tests/common/ProgramRun.h"
#include "tests/common/WaitFor.h"
#include "tests/servers/ChildProcess.h"
#include "tests/servers/MosquittoServer.h"
#include "tests/service/BatmondHarness.h"

using namespace servicetest;
using testsupport::kSlowdown;
using testsupport::WaitUntil;

namespace {

constexpr int kOperatorPeriodS = 5;

// When each poll cycle began: the simulator's receipt of its first request, in seconds.
std::vector<double> CycleStarts(const SimProcess& sim) {
    std::vector<double> starts;
    for (const SimLogEntry& e : sim.ReadLog())
        if (e.dir == QStringLiteral("rx") && e.device == 0xA0 && e.registerAddress == 0x80)
            starts.push_back(double(e.tUs) / 1e6);
    return starts;
}

QString State(const QByteArray& payload) {
    return QJsonDocument::fromJson(payload).object().value(u"state").toString();
}

}  // namespace

TEST(BatmondDischarge, fastSamplingRetainedStateAndTheRecordNameTheWeakBattery) {
    QString error;
    testservers::MosquittoServer broker;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    const QString site = QStringLiteral("room-9");
    Subscriber subscriber(broker.Url(), site);
    ASSERT_TRUE(subscriber.WaitOnline());

    // Both strings fall from 6 s on, A0-85 twice as fast; the mains return 20 s later.
    SimProcess sim;
    ASSERT_TRUE(sim.StartTcp({"--discharge-at", "6", "--discharge-rate", "4", "--recover-after",
                              "20", "--weak", "A0:5:2.0"}))
        << sim.ErrorText().toStdString();
    BatmondProcess batmond;
    const auto httpPort = quint16(testservers::FreeLoopbackPort());
    ASSERT_TRUE(
        batmond.Start({"--port", sim.PortPath(), "--period", QString::number(kOperatorPeriodS),
                       "--data-dir", batmond.DataDir(), "--site", site, "--mqtt", broker.Url(),
                       "--http", QStringLiteral("127.0.0.1:%1").arg(httpPort)}));

    const QByteArray stateTopic = DischargeStateTopic(site, 0xA0);
    const auto states = [&] {
        std::vector<QString> seen;
        for (const auto& m : subscriber.Messages()) {
            if (m.topic != stateTopic) continue;
            const QString state = State(m.payload);
            if (seen.empty() || seen.back() != state) seen.push_back(state);
        }
        return seen;
    };
    const auto summary = [&]() -> std::optional<DischargeSummary> {
        for (const auto& m : subscriber.Messages())
            if (auto s = ParseDischargeSummary(m.topic, m.payload); s && s->record.device == 0xA0)
                return s;
        return std::nullopt;
    };
    ASSERT_TRUE(
        WaitUntil([&] { return summary().has_value(); }, std::chrono::seconds(90 * kSlowdown)))
        << batmond.Log().toStdString();
    EXPECT_EQ(states(), (std::vector<QString>{"idle", "running", "idle"}));
    // The running state names the weak battery once it falls behind.
    bool namedWhileRunning = false;
    for (const auto& m : subscriber.Messages()) {
        const QJsonObject state = QJsonDocument::fromJson(m.payload).object();
        if (m.topic == stateTopic && state.value(u"state").toString() == u"running")
            namedWhileRunning =
                state.value(u"weakest").toObject().value(u"label").toString() == u"A0-85";
    }
    EXPECT_TRUE(namedWhileRunning);

    const DischargeSummary received = *summary();
    const alarms::DischargeRecord& record = received.record;
    ASSERT_NE(record.Weakest(), nullptr);
    EXPECT_EQ(battery::BatteryLabel(record.Weakest()->battery), QStringLiteral("A0-85"));
    EXPECT_TRUE(record.Weakest()->endReachedMs);
    EXPECT_EQ(record.firstAtEnd, (battery::BatteryId{0xA0, 5}));
    EXPECT_NEAR(double(record.DurationMs(0)) / 1000, 20, 8);

    // Cycles kOperatorPeriodS apart, then MonitorSession::kFastestSamplingMs while it ran, then
    // kOperatorPeriodS again (after one longer gap: the timer starts its period anew when the
    // period changes).
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto starts = CycleStarts(sim);
            const std::size_t n = starts.size();
            return n >= 3 && starts[n - 1] - starts[n - 2] > 4 && starts[n - 2] - starts[n - 3] > 4;
        },
        std::chrono::seconds(20 * kSlowdown)));
    const std::vector<double> starts = CycleStarts(sim);
    std::vector<double> gaps;
    for (std::size_t i = 1; i < starts.size(); ++i) gaps.push_back(starts[i] - starts[i - 1]);
    const double fast = MonitorSession::kFastestSamplingMs / 1000.0;
    const auto fastGaps = std::count_if(gaps.begin(), gaps.end(),
                                        [&](double g) { return std::fabs(g - fast) < 0.5; });
    EXPECT_GE(fastGaps, 4) << "the poll sped up";
    EXPECT_NEAR(gaps.front(), kOperatorPeriodS, 0.5);
    EXPECT_NEAR(gaps.back(), kOperatorPeriodS, 0.5) << "and slowed down again";

    // The web view lists it too, newest first, ended, with the same weakest battery.
    const QJsonArray listed = QJsonDocument::fromJson(FetchHttp(httpPort, "/api/v1/discharges"))
                                  .object()
                                  .value(u"discharges")
                                  .toArray();
    const auto listedA0 = std::find_if(listed.begin(), listed.end(), [](const QJsonValue& d) {
        return d.toObject().value(u"device").toString() == u"A0";
    });
    ASSERT_NE(listedA0, listed.end());
    EXPECT_FALSE(listedA0->toObject().value(u"running").toBool());
    EXPECT_EQ(listedA0->toObject().value(u"weakest").toObject().value(u"label").toString(),
              QStringLiteral("A0-85"));

    EXPECT_EQ(batmond.Stop(SIGTERM), 0);
    store::HistoryReader reader(store::HistoryFilePath(batmond.DataDir()));
    const std::vector<alarms::DischargeRecord> stored = reader.Discharges();
    const auto a0 =
        std::find_if(stored.begin(), stored.end(), [](const auto& r) { return r.device == 0xA0; });
    ASSERT_NE(a0, stored.end());
    EXPECT_EQ(a0->startMs, record.startMs);
    EXPECT_EQ(a0->endMs, record.endMs);
    EXPECT_EQ(a0->firstAtEnd, record.firstAtEnd);

    // The report from the command line, without a display: its text names the site, the weak
    // battery and the duration.
    const QString pdf = batmond.Folder() + QStringLiteral("/discharge.pdf");
    const testsupport::ProgramRun exported =
        testsupport::RunWithoutDisplay(QStringLiteral(BATMON_EXPORT_PATH),
                                       {"--data-dir", batmond.DataDir(), "--discharge",
                                        QString::number(a0->id), "--pdf", pdf, "--site", site});
    ASSERT_EQ(exported.exitCode, 0) << exported.err.toStdString();
    const testsupport::ProgramRun text =
        testsupport::RunWithoutDisplay(QStringLiteral("pdftotext"), {pdf, "-"});
    ASSERT_EQ(text.exitCode, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.contains(site)) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains(QStringLiteral("A0-85")));
    EXPECT_TRUE(text.out.contains(alarms::DurationText(a0->DurationMs(0))));
}
