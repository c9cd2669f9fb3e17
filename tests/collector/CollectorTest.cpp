// batmon-collector as it runs in a site: a real Mosquitto broker, a real PostgreSQL cluster and
// the collector program, each stopped and started while readings flow. What ends up in
// battery_readings must be exactly what was published: nothing lost, nothing twice.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <map>
#include <memory>
#include <tuple>

#include "tests/collector/CollectorHarness.h"
#include "tests/common/ProgramRun.h"
#include "tests/common/WaitFor.h"
#include "tests/servers/MosquittoServer.h"
#include "tests/servers/PostgresCluster.h"

using namespace collectortest;
using testservers::MosquittoServer;
using testservers::PostgresCluster;
using testsupport::kSlowdown;
using testsupport::WaitUntil;

namespace {

constexpr qint64 kStart = 1772352000000;  // 2026-03-01T08:00:00Z

class CollectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        QString error;
        ASSERT_TRUE(broker_.Start(&error)) << error.toStdString();
        ASSERT_TRUE(database_.Start(&error)) << error.toStdString();
        ASSERT_TRUE(collector_.Start());
        ASSERT_TRUE(collector_.WaitForLog(QStringLiteral("subscribed to")))
            << collector_.Log().toStdString();
        ASSERT_TRUE(publisher_.WaitOnline());
    }

    void TearDown() override {
        if (HasFailure()) std::cerr << "collector log:\n" << collector_.Log().toStdString();
    }

    // Waits until the table holds `count` rows, then returns them.
    std::vector<ReadingMessage> StoredOnceThere(size_t count) {
        WaitUntil([&] { return StoredReadingCount(database_.Conninfo()) >= qint64(count); },
                  std::chrono::seconds(30 * kSlowdown));
        return StoredReadings(database_.Conninfo());
    }

    MosquittoServer broker_;
    PostgresCluster database_;
    CollectorProcess collector_{broker_.Url(), database_.Conninfo()};
    Publisher publisher_{broker_.Url()};
};

TEST_F(CollectorTest, writesExactlyWhatWasPublished) {
    std::vector<ReadingMessage> sent = MakeReadings(QStringLiteral("room-1"), 300, kStart);
    const auto other = MakeReadings(QStringLiteral("机房 2"), 100, kStart);
    sent.insert(sent.end(), other.begin(), other.end());
    ASSERT_TRUE(publisher_.Publish(sent));

    // In the order the table is read back: by battery, time and state. Each with its level but
    // the last, as an earlier publisher sends it.
    const std::vector<AlarmMessage> alarms{
        {QStringLiteral("room-1"),
         0xA0,
         2,
         kStart + 5,
         QStringLiteral("status_voltage"),
         QStringLiteral("acknowledged"),
         {},
         QStringLiteral("operator"),
         QStringLiteral("critical")},
        {QStringLiteral("room-1"),
         0xA0,
         2,
         kStart + 5,
         QStringLiteral("status_voltage"),
         QStringLiteral("raised"),
         11.5,
         {},
         QStringLiteral("critical")},
        {QStringLiteral("room-1"), 0xA0, 3, kStart + 7, QStringLiteral("voltage_deviation"),
         QStringLiteral("shelved"), -0.4, QStringLiteral("operator"), QStringLiteral("warning")},
        {QStringLiteral("room-1"),
         0xA1,
         0,
         kStart + 9,
         QStringLiteral("no_answer"),
         QStringLiteral("cleared"),
         {},
         {}}};
    ASSERT_TRUE(publisher_.Publish(alarms));

    EXPECT_EQ(StoredOnceThere(sent.size()), Sorted(sent));
    ASSERT_TRUE(WaitUntil([&] { return StoredAlarms(database_.Conninfo()).size() == 4; },
                          std::chrono::seconds(10 * kSlowdown)));
    EXPECT_EQ(StoredAlarms(database_.Conninfo()), alarms);

    // Malformed messages are logged and skipped; they neither stop nor corrupt the rest.
    MqttClientOptions rawOptions;
    rawOptions.endpoint = *ParseMqttUrl(broker_.Url());
    MqttClient raw(rawOptions);
    raw.Start();
    ASSERT_TRUE(WaitUntil([&] { return raw.IsOnline(); }));
    // The retained state beside the readings is not for the database, and no fault either.
    raw.Publish(DeviceStatusTopic(QStringLiteral("room-1"), 0xA0), kOfflinePayload, 1, true);
    raw.Publish(BatteryAlarmsTopic(QStringLiteral("room-1"), 0xA0, 2), "[]", 1, true);
    raw.Publish("batmon/room-1/A0/9", ReadingPayload(sent.front()));
    raw.Publish("batmon/room-1/A0/1", "{\"time\": \"now\"}");
    // A hang-up (a closed terminal, a reload by mistake) neither ends it nor costs a row.
    ASSERT_EQ(::kill(collector_.Pid(), SIGHUP), 0);
    ASSERT_TRUE(collector_.WaitForLog(QStringLiteral("<4>SIGHUP ignored")))
        << collector_.Log().toStdString();
    const auto late = MakeReadings(QStringLiteral("room-1"), 16, kStart + 1000);
    ASSERT_TRUE(publisher_.Publish(late));
    EXPECT_EQ(StoredOnceThere(sent.size() + late.size()).size(), sent.size() + late.size());
    EXPECT_TRUE(collector_.Log().contains(QStringLiteral("message ignored")));
    EXPECT_FALSE(collector_.Log().contains(QStringLiteral("batmon/room-1/A0/status")))
        << collector_.Log().toStdString();

    const int status = collector_.Terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // The README's query for the latest reading of every battery of every site.
    std::map<std::tuple<QString, int, int>, ReadingMessage> latest;
    for (const auto* batch :
         std::initializer_list<const std::vector<ReadingMessage>*>{&sent, &late}) {
        for (const ReadingMessage& r : *batch) {
            auto& newest = latest[{r.site, r.device, r.battery}];
            if (r.timeMs >= newest.timeMs) newest = r;
        }
    }
    std::vector<QString> expected;
    for (const auto& [key, r] : latest) {
        expected.push_back(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                               .arg(r.site, DeviceTopicName(r.device))
                               .arg(r.battery)
                               .arg(r.timeMs)
                               .arg(r.voltage)
                               .arg(r.temperature)
                               .arg(r.status));
    }
    EXPECT_EQ(QueryLines(database_.Conninfo(),
                         "SELECT site, device, battery, (extract(epoch FROM time) * 1000)::bigint, "
                         "voltage, temperature, status FROM ("
                         "SELECT DISTINCT ON (site, device, battery) site, "
                         "CASE device WHEN 160 THEN 'A0' WHEN 161 THEN 'A1' END AS device, "
                         "battery, time, voltage, temperature, status FROM battery_readings "
                         "ORDER BY site, device, battery, time DESC) AS latest"),
              expected);
}

TEST_F(CollectorTest, aResentReadingChangesNothing) {
    const auto sent = MakeReadings(QStringLiteral("room-1"), 64, kStart);
    ASSERT_TRUE(publisher_.Publish(sent));
    ASSERT_EQ(StoredOnceThere(sent.size()).size(), sent.size());

    // The same readings again, once with other values: the first arrival stays.
    auto altered = sent;
    for (auto& r : altered) r.voltage += 1;
    ASSERT_TRUE(publisher_.Publish(sent));
    ASSERT_TRUE(publisher_.Publish(altered));
    const auto marker = MakeReadings(QStringLiteral("marker"), 1, kStart);
    ASSERT_TRUE(publisher_.Publish(marker));
    auto expected = sent;
    expected.push_back(marker.front());
    EXPECT_EQ(StoredOnceThere(expected.size()), Sorted(expected));
}

TEST_F(CollectorTest, brokerRestartLosesAndDoublesNothing) {
    const auto before = MakeReadings(QStringLiteral("room-1"), 200, kStart);
    ASSERT_TRUE(publisher_.Publish(before));
    ASSERT_EQ(StoredOnceThere(before.size()).size(), before.size());

    broker_.Stop();
    ASSERT_TRUE(publisher_.WaitOffline());
    QString error;
    ASSERT_TRUE(broker_.Start(&error)) << error.toStdString();
    ASSERT_TRUE(publisher_.WaitOnline());
    // Published the moment the broker is back, possibly before the collector has reconnected:
    // its kept session takes them.
    const auto after = MakeReadings(QStringLiteral("room-1"), 200, kStart + 10000);
    ASSERT_TRUE(publisher_.Publish(after));
    ASSERT_TRUE(collector_.WaitForLog(QStringLiteral("broker connected (session kept)")));

    auto all = before;
    all.insert(all.end(), after.begin(), after.end());
    EXPECT_EQ(StoredOnceThere(all.size()), Sorted(all));
}

TEST_F(CollectorTest, aKilledCollectorMissesNothingPublishedWhileItWasAway) {
    const auto before = MakeReadings(QStringLiteral("room-1"), 100, kStart);
    ASSERT_TRUE(publisher_.Publish(before));
    ASSERT_EQ(StoredOnceThere(before.size()).size(), before.size());

    collector_.Kill();
    const auto away = MakeReadings(QStringLiteral("room-1"), 500, kStart + 10000);
    ASSERT_TRUE(publisher_.Publish(away));
    ASSERT_TRUE(collector_.Start());

    auto all = before;
    all.insert(all.end(), away.begin(), away.end());
    EXPECT_EQ(StoredOnceThere(all.size()), Sorted(all));
}

TEST_F(CollectorTest, databaseRestartLosesAndDoublesNothing) {
    const auto first = MakeReadings(QStringLiteral("room-1"), 100, kStart);
    ASSERT_TRUE(publisher_.Publish(first));
    ASSERT_EQ(StoredOnceThere(first.size()).size(), first.size());

    // A clean restart, then a crash: both while readings keep coming.
    database_.Stop();
    const auto second = MakeReadings(QStringLiteral("room-1"), 300, kStart + 10000);
    ASSERT_TRUE(publisher_.Publish(second));
    ASSERT_TRUE(collector_.WaitForLog(QStringLiteral("database unavailable")));
    QString error;
    ASSERT_TRUE(database_.Start(&error)) << error.toStdString();
    ASSERT_TRUE(collector_.WaitForLog(QStringLiteral("database back")));
    ASSERT_TRUE(collector_.WaitForLog(QStringLiteral("taking messages from the broker again")));

    database_.Crash();
    const auto third = MakeReadings(QStringLiteral("room-1"), 300, kStart + 20000);
    ASSERT_TRUE(publisher_.Publish(third));
    ASSERT_TRUE(database_.Start(&error)) << error.toStdString();

    auto all = first;
    all.insert(all.end(), second.begin(), second.end());
    all.insert(all.end(), third.begin(), third.end());
    EXPECT_EQ(StoredOnceThere(all.size()), Sorted(all));
}

// A row PostgreSQL refuses (here by a check the site added to its table) is set aside with its
// topic; the values the database could never hold do not even reach it. Nothing stops the
// collector or holds up the other rows, and the log names the database only when it is away.
TEST_F(CollectorTest, aRowTheDatabaseRefusesIsSetAsideAndEverySiteGoesOn) {
    QString error;
    ASSERT_TRUE(Execute(database_.Conninfo(),
                        "ALTER TABLE battery_readings ADD CONSTRAINT plausible_voltage "
                        "CHECK (voltage < 16)",
                        &error))
        << error.toStdString();
    ReadingMessage refused = MakeReadings(QStringLiteral("room-1"), 1, kStart).front();
    refused.voltage = 20;
    const std::vector<std::pair<QByteArray, QByteArray>> unstorable{
        {"batmon/room-1/A0/1",
         R"({"time":"2026-03-01T08:00:01.000Z","voltage":1e-50,"temperature":20.5,"status":17})"},
        {"batmon/room-1/alarm",
         R"({"time":"2026-03-01T08:00:01.000Z","device":"A0","battery":1,"kind":"no_answer",)"
         R"("state":"acknowledged","value":null,"user":"\u0000"})"},
        {"batmon/room-1/A0/2",
         R"({"time":"0001-01-01T00:00:00+01:00","voltage":12,"temperature":20.5,"status":17})"},
        {"batmon/room-1/A0/3",
         R"({"time":"9999-12-31T23:59:59-01:00","voltage":12,"temperature":20.5,"status":17})"}};
    ASSERT_TRUE(publisher_.Publish(unstorable));
    ASSERT_TRUE(publisher_.Publish(std::vector<ReadingMessage>{refused}));
    std::vector<ReadingMessage> sent = MakeReadings(QStringLiteral("room-1"), 64, kStart + 1000);
    const auto other = MakeReadings(QStringLiteral("room-2"), 64, kStart);
    sent.insert(sent.end(), other.begin(), other.end());
    ASSERT_TRUE(publisher_.Publish(sent));

    EXPECT_EQ(StoredOnceThere(sent.size()), Sorted(sent));
    ASSERT_TRUE(collector_.WaitForLog(QStringLiteral("(1 set aside so far)")));
    EXPECT_EQ(QueryLines(database_.Conninfo(),
                         "SELECT topic, payload::json->>'voltage' FROM battery_rejected"),
              std::vector<QString>{QStringLiteral("batmon/room-1/A0/0 20")});
    const QString log = collector_.Log();
    EXPECT_TRUE(log.contains(QStringLiteral(
        "<4>row set aside in battery_rejected: batmon/room-1/A0/0: new row for relation "
        "\"battery_readings\" violates check constraint \"plausible_voltage\"")));
    EXPECT_TRUE(collector_.WaitForLog(QStringLiteral("(4 ignored so far)")));
    EXPECT_FALSE(log.contains(QStringLiteral("database unavailable")));
    EXPECT_FALSE(log.contains(QStringLiteral("leaving the broker")));
}

// Values no device's registers can carry, and times beyond tomorrow, are refused and counted:
// the README's latest-reading query must not show a reading from the year 9999.
TEST_F(CollectorTest, readingsNoDeviceCanSendAreIgnoredAndCounted) {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto reading = [&](int battery, qint64 timeMs, double voltage, double temperature) {
        return ReadingMessage{
            QStringLiteral("room-1"), 0xA0, battery, timeMs, voltage, temperature, 0x11};
    };
    const std::vector<ReadingMessage> impossible{
        reading(0, kStart, -999999999, 20),
        reading(1, kStart, 12, -5e8),
        reading(2, kStart, 25.6, 20),
        reading(3, kStart, 12, 6553.6),
        reading(4, 253370764800000, 12, 20),  // 9999-01-01T00:00:00Z
        reading(5, now + 2 * 86400 * 1000, 12, 20)};
    AlarmMessage aheadAlarm{
        QStringLiteral("room-1"), 0xA0, 6, now + 2 * 86400 * 1000, QStringLiteral("no_answer"),
        QStringLiteral("raised"), {},   {}};
    // The largest values the registers carry, and a clock an hour ahead, are fine.
    const std::vector<ReadingMessage> possible{reading(0, kStart + 1, 0, 0),
                                               reading(1, kStart + 1, 25.5, 6553.5),
                                               reading(4, now + 3600 * 1000, 12.5, 21)};
    ASSERT_TRUE(publisher_.Publish(impossible));
    ASSERT_TRUE(publisher_.Publish(std::vector<AlarmMessage>{aheadAlarm}));
    ASSERT_TRUE(publisher_.Publish(possible));

    EXPECT_EQ(StoredOnceThere(possible.size()), Sorted(possible));
    ASSERT_TRUE(collector_.WaitForLog(QStringLiteral("(7 ignored so far)")))
        << collector_.Log().toStdString();
    EXPECT_TRUE(collector_.Log().contains(QStringLiteral(
        "<4>message ignored: batmon/room-1/A0/0: voltage -999999999 is not one a device can send "
        "(0 to 25.5 V)")));
    EXPECT_TRUE(StoredAlarms(database_.Conninfo()).empty());
    EXPECT_EQ(QueryLines(database_.Conninfo(),
                         "SELECT DISTINCT ON (site, device, battery) battery, voltage FROM "
                         "battery_readings ORDER BY site, device, battery, time DESC"),
              (std::vector<QString>{QStringLiteral("0 0"), QStringLiteral("1 25.5"),
                                    QStringLiteral("4 12.5")}));
}

// Several sites publish at once, bad messages of every kind among their readings. Every good
// reading of every site arrives; every bad message is refused or set aside and counted; and
// the collector never leaves the broker for any of them.
TEST_F(CollectorTest, aMixedStreamFromSeveralSitesKeepsEveryGoodReading) {
    QString error;
    ASSERT_TRUE(Execute(database_.Conninfo(),
                        "ALTER TABLE battery_readings ADD CONSTRAINT plausible_voltage "
                        "CHECK (voltage < 16)",
                        &error))
        << error.toStdString();
    const QStringList sites{QStringLiteral("room-1"), QStringLiteral("机房 2"),
                            QStringLiteral("room-3")};
    std::vector<std::unique_ptr<Publisher>> publishers;
    for (int i = 0; i < sites.size(); ++i) {
        publishers.push_back(std::make_unique<Publisher>(broker_.Url()));
        ASSERT_TRUE(publishers.back()->WaitOnline());
    }
    std::vector<ReadingMessage> good;
    std::vector<QString> setAside;
    int ignored = 0;
    constexpr int kRounds = 10;
    constexpr int kPerRound = 40;
    for (int round = 0; round < kRounds; ++round) {
        for (int s = 0; s < sites.size(); ++s) {
            std::vector<ReadingMessage> readings =
                MakeReadings(sites[s], kPerRound, kStart + round * kPerRound);
            std::vector<AlarmMessage> alarms;
            std::vector<ReadingMessage> publish;
            for (int i = 0; i < kPerRound; ++i) {
                ReadingMessage r = readings[i];
                switch ((i + round + s) % 8) {
                    case 0:
                        r.voltage = -999999999;
                        break;
                    case 1:
                        r.voltage = 1e-50;
                        break;
                    case 2:
                        r.timeMs = 253370764800000 + i;  // the year 9999
                        break;
                    case 3:
                        r.voltage = 20;  // refused by the site's check
                        setAside.push_back(
                            QStringLiteral("%1 %2")
                                .arg(QString::fromUtf8(ReadingTopic(r.site, r.device, r.battery)))
                                .arg(r.timeMs));
                        --ignored;
                        break;
                    case 4:
                        alarms.push_back({r.site,
                                          r.device,
                                          r.battery,
                                          r.timeMs,
                                          QStringLiteral("no_answer"),
                                          QStringLiteral("acknowledged"),
                                          {},
                                          QStringLiteral("op") + QChar(0)});
                        break;
                    case 5:
                        r.temperature = 6553.6;
                        break;
                    default:
                        good.push_back(r);
                        publish.push_back(r);
                        continue;
                }
                ++ignored;
                if ((i + round + s) % 8 != 4) publish.push_back(r);
            }
            ASSERT_TRUE(publishers[s]->Publish(publish));
            ASSERT_TRUE(publishers[s]->Publish(alarms));
        }
    }

    EXPECT_EQ(StoredOnceThere(good.size()), Sorted(good));
    ASSERT_TRUE(collector_.WaitForLog(QStringLiteral("(%1 ignored so far)").arg(ignored)))
        << collector_.Log().toStdString();
    ASSERT_TRUE(
        collector_.WaitForLog(QStringLiteral("(%1 set aside so far)").arg(setAside.size())));
    std::sort(setAside.begin(), setAside.end());
    EXPECT_EQ(QueryLines(database_.Conninfo(),
                         "SELECT topic, (extract(epoch FROM (payload::json->>'time')::timestamptz)"
                         " * 1000)::bigint FROM battery_rejected ORDER BY 1, 2"),
              setAside);
    const QString log = collector_.Log();
    EXPECT_EQ(log.count(QStringLiteral("broker connected")), 1) << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("leaving the broker")));
    EXPECT_FALSE(log.contains(QStringLiteral("database unavailable")));
}

TEST(CollectorFlowTest, leavesTheBrokerWhileTooManyRowsWaitAndMissesNothing) {
    MosquittoServer broker;
    PostgresCluster database;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    ASSERT_TRUE(database.Start(&error)) << error.toStdString();
    // Batches only by time, every 1.5 s, and at most 40 rows held: a burst of readings must
    // make the collector leave the broker and come back, perhaps several times.
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("collector.conf"));
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("batch_rows = 1000000\nflush_ms = 1500\nmax_held_rows = 40\n");
    file.close();
    CollectorProcess collector(broker.Url(), database.Conninfo(),
                               {QStringLiteral("--config"), config});
    ASSERT_TRUE(collector.Start());
    ASSERT_TRUE(collector.WaitForLog(QStringLiteral("subscribed to")));
    Publisher publisher(broker.Url());
    ASSERT_TRUE(publisher.WaitOnline());

    const auto sent = MakeReadings(QStringLiteral("room-1"), 200, kStart);
    ASSERT_TRUE(publisher.Publish(sent));
    ASSERT_TRUE(collector.WaitForLog(QStringLiteral("rows held, the database is behind")))
        << collector.Log().toStdString();
    WaitUntil([&] { return StoredReadingCount(database.Conninfo()) >= 200; },
              std::chrono::seconds(30 * kSlowdown));
    EXPECT_EQ(StoredReadings(database.Conninfo()), Sorted(sent));
    if (HasFailure()) std::cerr << collector.Log().toStdString();
}

TEST(CollectorStartTest, startsWithoutTheDatabaseAndWritesOnceItIsThere) {
    MosquittoServer broker;
    PostgresCluster database;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    CollectorProcess collector(broker.Url(), database.Conninfo());
    ASSERT_TRUE(collector.Start());
    ASSERT_TRUE(collector.WaitForLog(QStringLiteral("database unavailable")));
    ASSERT_TRUE(database.Start(&error)) << error.toStdString();
    ASSERT_TRUE(collector.WaitForLog(QStringLiteral("subscribed to")))
        << collector.Log().toStdString();
    Publisher publisher(broker.Url());
    ASSERT_TRUE(publisher.WaitOnline());
    const auto sent = MakeReadings(QStringLiteral("room-1"), 32, kStart);
    ASSERT_TRUE(publisher.Publish(sent));
    WaitUntil([&] { return StoredReadingCount(database.Conninfo()) >= 32; },
              std::chrono::seconds(20 * kSlowdown));
    EXPECT_EQ(StoredReadings(database.Conninfo()), Sorted(sent));
}

// A database whose alarm table was made before alarms had levels gets the level column when the
// collector connects; its rows stay, without a level.
TEST(CollectorStartTest, anAlarmTableWithoutLevelsGetsTheColumnAndKeepsItsRows) {
    MosquittoServer broker;
    PostgresCluster database;
    QString error;
    ASSERT_TRUE(broker.Start(&error)) << error.toStdString();
    ASSERT_TRUE(database.Start(&error)) << error.toStdString();
    QueryLines(database.Conninfo(),
               "CREATE TABLE battery_alarms (site text NOT NULL, device smallint NOT NULL, "
               "battery smallint NOT NULL, time timestamptz NOT NULL, kind text NOT NULL, "
               "state text NOT NULL, value real, acknowledged_by text NOT NULL DEFAULT '', "
               "PRIMARY KEY (site, device, battery, time, kind, state)); "
               "INSERT INTO battery_alarms VALUES ('room-1', 160, 1, "
               "'2026-03-01T08:00:00.125Z', 'status_voltage', 'raised', 113, '')");
    ASSERT_EQ(StoredAlarms(database.Conninfo()).size(), 0u) << "no level column yet to read";

    CollectorProcess collector(broker.Url(), database.Conninfo());
    ASSERT_TRUE(collector.Start());
    ASSERT_TRUE(collector.WaitForLog(QStringLiteral("subscribed to")))
        << collector.Log().toStdString();
    Publisher publisher(broker.Url());
    ASSERT_TRUE(publisher.WaitOnline());
    const AlarmMessage warning{QStringLiteral("room-1"),
                               0xA0,
                               1,
                               kStart + 1000,
                               QStringLiteral("limit_low_voltage"),
                               QStringLiteral("raised"),
                               11.9,
                               {},
                               QStringLiteral("warning")};
    ASSERT_TRUE(publisher.Publish(std::vector<AlarmMessage>{warning}));
    ASSERT_TRUE(WaitUntil([&] { return StoredAlarms(database.Conninfo()).size() == 2; },
                          std::chrono::seconds(10 * kSlowdown)))
        << collector.Log().toStdString();
    const auto rows = StoredAlarms(database.Conninfo());
    EXPECT_EQ(rows[0].kind, QStringLiteral("status_voltage"));
    EXPECT_EQ(rows[0].timeMs, kStart + 125);
    EXPECT_TRUE(rows[0].level.isEmpty()) << "the earlier row has no level";
    EXPECT_EQ(rows[1], warning);
}

TEST(CollectorCommandLine, answersHelpAndRefusesWhatCouldNeverWorkWithOneLine) {
    const QString collector = QStringLiteral(BATMON_COLLECTOR_PATH);
    testsupport::ExpectStandardCommandLine(collector, QStringLiteral("batmon-collector"));
    const QStringList postgres{QStringLiteral("--postgres"), QStringLiteral("host=db")};
    testsupport::ExpectRefusedWithOneLine(
        testsupport::RunWithoutDisplay(collector, {}),
        QStringLiteral("<3>batmon-collector: --mqtt URL is required"));
    testsupport::ExpectRefusedWithOneLine(
        testsupport::RunWithoutDisplay(
            collector,
            QStringList{QStringLiteral("--mqtt"), QStringLiteral("mqtt://u:pw@h")} + postgres),
        QStringLiteral("--mqtt: a broker URL carries no login"));
    testsupport::ExpectRefusedWithOneLine(
        testsupport::RunWithoutDisplay(
            collector, QStringList{QStringLiteral("--mqtt"), QStringLiteral("mqtts://h"),
                                   QStringLiteral("--ca-file"), QStringLiteral("/nonexistent")} +
                           postgres),
        QStringLiteral("--ca-file: the CA file /nonexistent does not exist"));
}

}  // namespace
