// A reading is reported as recorded (and so shown by the window) only once it is in the history
// file; a station whose store cannot write goes on reporting its readings.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "station/Station.h"
#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "tests/common/PollAnswers.h"
#include "tests/common/WaitFor.h"
#include "tests/engine/FakeClock.h"
#include "tests/engine/FakeLink.h"

using testsupport::FakeClock;
using testsupport::FakeLink;
using testsupport::WaitUntil;

namespace {

// A station whose fake devices answer every request at once.
std::unique_ptr<Station> AnsweringStation(FakeClock& clock, const QString& dataDir) {
    auto link = std::make_unique<FakeLink>(clock);
    link->SetResponder([](const QByteArray& request) -> std::optional<FakeLink::Answer> {
        const auto device = static_cast<std::uint8_t>(request[0]);
        const auto battery = static_cast<std::uint8_t>(request[3] - 0x80);
        return FakeLink::Answer{5, testsupport::PollAnswerBytes(device, 0x11, 100 + battery, 250)};
    });
    auto station = std::make_unique<Station>(std::move(link), clock, StationOptions{dataDir, 0, 0});
    station->Session().SetSamplingPeriodMs(3000);
    station->Session().OpenPort(QStringLiteral("ttyFAKE"));
    station->Session().StartMonitoring();
    return station;
}

}  // namespace

TEST(StationRecording, aReadingIsReportedOnlyOnceItIsInTheFile) {
    QTemporaryDir dir;
    FakeClock clock;
    std::unique_ptr<Station> station = AnsweringStation(clock, dir.path());
    int recorded = 0;
    int missing = 0;
    QObject::connect(station.get(), &Station::ReadingRecorded, [&](const battery::Reading& key) {
        ++recorded;
        store::ReadingFilter one;
        one.fromMs = one.toMs = key.tMs;
        one.device = key.device;
        one.battery = key.battery;
        bool found = false;
        store::HistoryReader reader(store::HistoryFilePath(dir.path()));
        reader.ForEachReading(one, [&](const battery::Reading& r) {
            found = found || r == key;
            return true;
        });
        missing += found ? 0 : 1;
    });
    clock.Advance(3000);
    EXPECT_EQ(recorded, 0) << "reported before the writer could have committed";
    ASSERT_TRUE(WaitUntil([&] { return recorded == 14; }, std::chrono::seconds(10)));
    EXPECT_EQ(missing, 0);
}

TEST(StationRecording, aStoreThatCannotWriteDoesNotStopTheReadings) {
    QTemporaryDir dir;
    // The store's folder is taken by a plain file: the writer can never open its file.
    const QString blocked = dir.filePath(QStringLiteral("blocked"));
    QFile file(blocked);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    FakeClock clock;
    std::unique_ptr<Station> station = AnsweringStation(clock, blocked);
    int recorded = 0;
    QString fault;
    QObject::connect(station.get(), &Station::ReadingRecorded, [&] { ++recorded; });
    QObject::connect(station.get(), &Station::StoreHealthChanged,
                     [&](bool writing, const QString& message) {
                         if (!writing) fault = message;
                     });
    clock.Advance(3000);
    ASSERT_TRUE(
        WaitUntil([&] { return recorded == 14 && !fault.isEmpty(); }, std::chrono::seconds(10)));
    clock.Advance(3000);
    EXPECT_TRUE(WaitUntil([&] { return recorded == 28; }, std::chrono::seconds(10)));
}
