// Reading back: the start-up restore, range reads with filters, alarms, and where the file is.

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <random>

#include "battery/PollRoute.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "store/HistoryWriter.h"
#include "tests/store/StoreTestSupport.h"

using storetest::Sequence;
using storetest::SequenceReading;

namespace {

bool TimeOrdered(const std::vector<battery::Reading>& readings) {
    return std::is_sorted(readings.begin(), readings.end(), [](const auto& a, const auto& b) {
        return std::tie(a.tMs, a.device, a.battery) < std::tie(b.tMs, b.device, b.battery);
    });
}

}  // namespace

TEST(HistoryReader, restoreGivesTheWindowInTimeOrderWhateverTheOrderOfWriting) {
    QTemporaryDir dir;
    // Three hours of cycles every 10 s; handed over in a shuffled order.
    constexpr qint64 kCycles = 3 * 360;
    std::vector<battery::Reading> all;
    for (qint64 c = 0; c < kCycles; ++c) {
        for (int step = 1; step <= 14; ++step) {
            all.push_back(battery::MakeReading(battery::BatteryOfStep(step),
                                               storetest::kBaseMs + c * 10'000, 0x11,
                                               static_cast<std::uint8_t>(step), 250));
        }
    }
    std::vector<battery::Reading> shuffled = all;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    {
        store::HistoryWriter writer(dir.path());
        writer.Start();
        writer.Append(shuffled);
        ASSERT_TRUE(writer.Flush());
    }
    store::HistoryReader reader(store::HistoryFilePath(dir.path()));
    ASSERT_TRUE(reader.IsOpen()) << reader.ErrorText().toStdString();

    // The last hour: its first cycle is on the boundary and belongs to it.
    const qint64 now = storetest::kBaseMs + (kCycles - 1) * 10'000;
    const auto restored = reader.LoadRecentHours(1, now);
    ASSERT_EQ(restored.size(), 361u * 14);
    EXPECT_TRUE(TimeOrdered(restored));
    EXPECT_TRUE(std::equal(restored.begin(), restored.end(), all.end() - 361 * 14));
    // Within one cycle: device A0's batteries, then A1's, each by battery.
    EXPECT_EQ(restored[0].device, battery::kDeviceA0);
    EXPECT_EQ(restored[13].device, battery::kDeviceA1);
    EXPECT_EQ(restored[13].battery, 5);

    EXPECT_TRUE(reader.LoadRecentHours(0, now).empty()) << "0 hours restores nothing";
    EXPECT_EQ(reader.LoadRecentHours(24, now).size(), all.size());
}

TEST(HistoryReader, rangeReadsHonourTimeDeviceAndBatteryFilters) {
    QTemporaryDir dir;
    storetest::BulkLoad(dir.path(), 0, 14 * 100);
    store::HistoryReader reader(store::HistoryFilePath(dir.path()));
    ASSERT_TRUE(reader.IsOpen());

    auto read = [&](const store::ReadingFilter& filter) {
        std::vector<battery::Reading> rows;
        EXPECT_TRUE(reader.ForEachReading(filter, [&](const auto& r) {
            rows.push_back(r);
            return true;
        }));
        return rows;
    };
    auto expected = [](auto keep) {
        std::vector<battery::Reading> rows;
        for (const auto& r : Sequence(0, 14 * 100)) {
            if (keep(r)) rows.push_back(r);
        }
        return rows;
    };

    store::ReadingFilter range;
    range.fromMs = storetest::kBaseMs + 1000;  // cycles 10..19, both ends included
    range.toMs = storetest::kBaseMs + 1900;
    EXPECT_EQ(read(range), expected([&](const auto& r) {
                  return r.tMs >= range.fromMs && r.tMs <= range.toMs;
              }));

    store::ReadingFilter oneDevice;
    oneDevice.device = battery::kDeviceA1;
    EXPECT_EQ(read(oneDevice),
              expected([](const auto& r) { return r.device == battery::kDeviceA1; }));

    store::ReadingFilter oneBattery = range;
    oneBattery.device = battery::kDeviceA0;
    oneBattery.battery = 7;
    const auto battery = read(oneBattery);
    EXPECT_EQ(battery.size(), 10u);
    EXPECT_EQ(battery, expected([&](const auto& r) {
                  return r.device == battery::kDeviceA0 && r.battery == 7 &&
                         r.tMs >= range.fromMs && r.tMs <= range.toMs;
              }));

    store::ReadingFilter batteryOfBoth;
    batteryOfBoth.battery = 6;  // only A0 has a seventh battery
    EXPECT_EQ(read(batteryOfBoth).size(), 100u);

    int seen = 0;
    EXPECT_TRUE(reader.ForEachReading({}, [&](const auto&) { return ++seen < 5; }));
    EXPECT_EQ(seen, 5) << "the callback stops the read";
}

TEST(HistoryReader, readsWhileTheWriterWritesAndNeverCreatesAFile) {
    QTemporaryDir dir;
    store::HistoryWriter writer(dir.path());
    writer.Start();
    writer.Append(Sequence(0, 14));
    ASSERT_TRUE(writer.Flush());
    store::HistoryReader reader(writer.FilePath());
    ASSERT_TRUE(reader.IsOpen());
    EXPECT_EQ(reader.LoadSince(0).size(), 14u);
    writer.Append(Sequence(14, 14));
    ASSERT_TRUE(writer.Flush());
    EXPECT_EQ(reader.LoadSince(0).size(), 28u);

    const QString missing = store::HistoryFilePath(dir.filePath("elsewhere"));
    store::HistoryReader none(missing);
    EXPECT_FALSE(none.IsOpen());
    EXPECT_FALSE(none.ErrorText().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(missing));
}

TEST(HistoryReader, alarmEventsComeBackAsWritten) {
    QTemporaryDir dir;
    using alarms::AlarmKind;
    using alarms::AlarmState;
    const alarms::AlarmEvents events = {
        {1000, {{0xA0, 3}, AlarmKind::StatusUnknown}, AlarmState::Raised, 113, ""},
        {2000, {{0xA1, 5}, AlarmKind::NoAnswer}, AlarmState::Raised, std::nullopt, ""},
        {3000, {{0xA0, 3}, AlarmKind::StatusUnknown}, AlarmState::Acknowledged, 113, "张工"},
        {4000, {{0xA0, 3}, AlarmKind::StatusUnknown}, AlarmState::Cleared, 17, ""},
    };
    {
        store::HistoryWriter writer(dir.path());
        writer.Start();
        for (const auto& e : events) writer.AppendAlarm(e);
        ASSERT_TRUE(writer.Flush());
    }
    store::HistoryReader reader(store::HistoryFilePath(dir.path()));
    alarms::AlarmEvents back;
    ASSERT_TRUE(reader.ForEachAlarm(0, 10000, [&](const auto& e) {
        back.push_back(e);
        return true;
    }));
    EXPECT_EQ(back, events);
}

TEST(StoreLocation, dataFolderComesFromTheOptionThenXdgThenHome) {
    const QByteArray savedXdg = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", "/srv/data");
    EXPECT_EQ(store::ResolveDataDir(), QStringLiteral("/srv/data/batmon"));
    EXPECT_EQ(store::ResolveDataDir("/tmp/x/"), QStringLiteral("/tmp/x"));
    qputenv("XDG_DATA_HOME", "relative/ignored");
    EXPECT_EQ(store::ResolveDataDir(), QDir::homePath() + "/.local/share/batmon");
    qunsetenv("XDG_DATA_HOME");
    EXPECT_EQ(store::ResolveDataDir(), QDir::homePath() + "/.local/share/batmon");
    if (!savedXdg.isNull()) qputenv("XDG_DATA_HOME", savedXdg);

    EXPECT_EQ(store::DataDirArgument({"batmon", "--data-dir", "/d"}), QStringLiteral("/d"));
    EXPECT_EQ(store::DataDirArgument({"batmon", "--data-dir=/e"}), QStringLiteral("/e"));
    EXPECT_EQ(store::DataDirArgument({"batmon", "--data-dir"}), std::nullopt);
    EXPECT_EQ(store::HistoryFilePath("/d"), QStringLiteral("/d/history.sqlite"));
}
