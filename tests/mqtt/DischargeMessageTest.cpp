// The discharge topics and payloads: the state exactly as documented, and a summary read back
// as the record it was made from; what batmon never sends is refused.
#include <gtest/gtest.h>

#include "mqtt/DischargeMessages.h"

namespace {

alarms::DischargeRecord Record() {
    alarms::DischargeRecord record;
    record.device = 0xA0;
    record.startMs = 1'772'352'000'000;  // 2026-03-01T08:00:00.000Z
    record.endMs = record.startMs + 5'400'000;
    record.requiredMs = 3'600'000;
    record.batteries = {{{0xA0, 0}, 12.3, 11.1, {}, 25.5, 0.05},
                        {{0xA0, 5}, 12.2, 10.4, record.startMs + 3'000'000, 27.0, -0.7}};
    record.firstAtEnd = battery::BatteryId{0xA0, 5};
    return record;
}

TEST(DischargeMessages, stateIsIdleOrRunningWithItsStartAndWeakestBattery) {
    EXPECT_EQ(DischargeStateTopic(QStringLiteral("room-1"), 0xA0), "batmon/room-1/A0/discharge");
    EXPECT_EQ(DischargeSummaryTopic(QStringLiteral("room-1"), 0xA1),
              "batmon/room-1/A1/discharge/summary");
    EXPECT_EQ(DischargeStateTopic(QStringLiteral("a/b"), 0xA0), QByteArray());
    EXPECT_EQ(DischargeStatePayload(nullptr), R"({"state":"idle"})");
    alarms::DischargeRecord running = Record();
    running.endMs.reset();
    running.firstAtEnd.reset();
    running.batteries[1].minV = 10.9;
    EXPECT_EQ(DischargeStatePayload(&running),
              R"({"start":"2026-03-01T08:00:00.000Z","state":"running",)"
              R"("weakest":{"battery":5,"label":"A0-85","voltage":10.9}})");
    EXPECT_TRUE(IsDischargeStateTopic("batmon/room-1/A0/discharge"));
    EXPECT_FALSE(IsDischargeStateTopic("batmon/room-1/A0/5"));
}

TEST(DischargeMessages, summaryReadsBackAsTheRecordAndNonsenseIsRefused) {
    const alarms::DischargeRecord record = Record();
    const QByteArray topic = DischargeSummaryTopic(QStringLiteral("room-1"), 0xA0);
    const QByteArray payload = DischargeSummaryPayload(record);
    QString error;
    const std::optional<DischargeSummary> read = ParseDischargeSummary(topic, payload, &error);
    ASSERT_TRUE(read) << error.toStdString();
    EXPECT_EQ(read->site, QStringLiteral("room-1"));
    EXPECT_EQ(read->record, record);
    EXPECT_TRUE(payload.contains(R"("capacity":{"actual_s":3000,"percent":)"));

    QByteArray endBeforeStart = payload;
    endBeforeStart.replace("2026-03-01T09:30:00.000Z", "2026-03-01T07:00:00.000Z");
    QByteArray badBattery = payload;
    badBattery.replace(R"("battery":5)", R"("battery":9)");
    QByteArray infinite = payload;
    infinite.replace(R"("min_voltage":10.4)", R"("min_voltage":1e300)");
    for (const QByteArray& bad : {endBeforeStart, badBattery, infinite, QByteArray("[]")})
        EXPECT_FALSE(ParseDischargeSummary(topic, bad)) << bad.constData();
    EXPECT_FALSE(ParseDischargeSummary("batmon/room-1/A2/discharge/summary", payload));
    EXPECT_FALSE(ParseDischargeSummary("batmon/room-1/A0/discharge", payload));
}

}  // namespace
