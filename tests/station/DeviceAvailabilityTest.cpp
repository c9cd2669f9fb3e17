// Each device's availability, which MQTT and /metrics show: online from the first cycle it
// answered in, offline after three silent cycles in a row and at once without a port.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "station/DeviceHealth.h"
#include "station/Station.h"
#include "tests/common/PollAnswers.h"
#include "tests/engine/FakeClock.h"
#include "tests/engine/FakeLink.h"

using testsupport::FakeClock;
using testsupport::FakeLink;

namespace {

constexpr int kPeriodMs = 3000;

struct AvailabilityRig {
    AvailabilityRig() {
        auto fake = std::make_unique<FakeLink>(clock);
        link = fake.get();
        link->SetResponder([this](const QByteArray& request) -> std::optional<FakeLink::Answer> {
            const auto device = static_cast<std::uint8_t>(request[0]);
            if (silent[device == 0xA0 ? 0 : 1]) return std::nullopt;
            return FakeLink::Answer{5, testsupport::PollAnswerBytes(device, 0x11, 135, 253)};
        });
        station = std::make_unique<Station>(std::move(fake), clock, StationOptions{});
        station->Session().SetSamplingPeriodMs(kPeriodMs);
        QObject::connect(&station->Health(), &DeviceHealthWatch::AvailabilityChanged,
                         [this](std::uint8_t device, bool available) {
                             changes.emplace_back(device, available);
                         });
    }
    bool Available(std::uint8_t device) const { return station->Health().IsAvailable(device); }

    FakeClock clock;
    FakeLink* link = nullptr;
    std::unique_ptr<Station> station;
    std::array<bool, 2> silent{false, false};
    std::vector<std::pair<std::uint8_t, bool>> changes;
};

TEST(DeviceAvailability, OfflineAfterThreeSilentCyclesAndAtOnceWithoutAPort) {
    AvailabilityRig rig;
    EXPECT_FALSE(rig.Available(0xA0));  // nothing answered yet
    rig.station->Session().OpenPort(QStringLiteral("ttyFAKE"));
    rig.station->Session().StartMonitoring();
    rig.clock.Advance(kPeriodMs);
    EXPECT_TRUE(rig.Available(0xA0));
    EXPECT_TRUE(rig.Available(0xA1));

    // Two silent cycles are not enough; the third is. A1 is not affected.
    rig.silent[0] = true;
    rig.clock.Advance(2 * kPeriodMs);
    EXPECT_TRUE(rig.Available(0xA0));
    EXPECT_EQ(rig.station->Health().HealthOf(0xA0), DeviceHealth::Silent);
    rig.clock.Advance(kPeriodMs);
    EXPECT_FALSE(rig.Available(0xA0));
    EXPECT_TRUE(rig.Available(0xA1));

    // One answer brings it back, and the count of silent cycles starts again.
    rig.silent[0] = false;
    rig.clock.Advance(kPeriodMs);
    EXPECT_TRUE(rig.Available(0xA0));
    rig.silent[0] = true;
    rig.clock.Advance(2 * kPeriodMs);
    EXPECT_TRUE(rig.Available(0xA0));
    rig.silent[0] = false;

    // The port hangs up: both offline at once, online again after answering on the new port.
    rig.link->HangUp();
    EXPECT_FALSE(rig.Available(0xA0));
    EXPECT_FALSE(rig.Available(0xA1));
    rig.station->Session().OpenPort(QStringLiteral("ttyFAKE"));
    rig.clock.Advance(kPeriodMs);
    EXPECT_TRUE(rig.Available(0xA0));
    EXPECT_TRUE(rig.Available(0xA1));

    const std::vector<std::pair<std::uint8_t, bool>> expected{
        {0xA0, true},  {0xA1, true},  {0xA0, false}, {0xA0, true},
        {0xA0, false}, {0xA1, false}, {0xA0, true},  {0xA1, true}};
    EXPECT_EQ(rig.changes, expected);
}

}  // namespace
