#include <gtest/gtest.h>

#include <set>

#include "battery/BatteryId.h"
#include "battery/PollRoute.h"
#include "battery/Status.h"

using battery::BatteryId;
using battery::kDeviceA0;
using battery::kDeviceA1;

TEST(BatteryVocabulary, devicesAreNamedAndReadBackInEveryFormTheProgramAccepts) {
    EXPECT_EQ(battery::DeviceName(kDeviceA0), "A0");
    EXPECT_EQ(battery::DeviceName(kDeviceA1), "A1");
    EXPECT_EQ(battery::DeviceName(0xA2), "");
    for (const char* a0 : {"A0", "a0", " 0xA0 ", "160"})
        EXPECT_EQ(battery::DeviceFromName(QString::fromLatin1(a0)), kDeviceA0) << a0;
    EXPECT_EQ(battery::DeviceFromName(u"0xa1"), kDeviceA1);
    for (const char* other : {"", "A2", "161x", "A 0"})
        EXPECT_EQ(battery::DeviceFromName(QString::fromLatin1(other)), std::nullopt) << other;
}

TEST(BatteryVocabulary, theFourteenWatchedBatteriesAndTheirLabels) {
    const auto& watched = battery::WatchedBatteries();
    EXPECT_EQ(watched.front(), (BatteryId{kDeviceA0, 0}));
    EXPECT_EQ(watched[8], (BatteryId{kDeviceA1, 0}));
    EXPECT_EQ(watched.back(), (BatteryId{kDeviceA1, 5}));
    std::set<QString> labels;
    for (int i = 0; i < battery::kWatchedCount; ++i) {
        EXPECT_EQ(battery::WatchedIndex(watched[std::size_t(i)]), i);
        labels.insert(battery::BatteryLabel(watched[std::size_t(i)]));
    }
    EXPECT_EQ(labels.size(), 14u) << "every watched battery has a label of its own";
    EXPECT_EQ(battery::BatteryLabel({kDeviceA0, 0}), "A0-80");
    EXPECT_EQ(battery::BatteryLabel({kDeviceA0, 7}), "A0-87");
    EXPECT_EQ(battery::BatteryLabel({kDeviceA1, 0}), "1#");
    EXPECT_EQ(battery::BatteryLabel({kDeviceA1, 5}), "6#");
    EXPECT_EQ(battery::BatteryLabel({kDeviceA1, 7}), "A1-87") << "polled, but not watched";
    EXPECT_EQ(battery::RegisterName({kDeviceA1, 0}), "A1-80");
    // Configuration names a battery by its register, in any case.
    EXPECT_EQ(battery::BatteryFromRegisterName(u" a1-82 "), (BatteryId{kDeviceA1, 2}));
    EXPECT_EQ(battery::BatteryFromRegisterName(u"A0-87"), (BatteryId{kDeviceA0, 7}));
    for (const char16_t* bad : {u"A1-88", u"A2-80", u"3#", u"A0-8", u""})
        EXPECT_EQ(battery::BatteryFromRegisterName(bad), std::nullopt);
    for (const BatteryId other :
         {BatteryId{kDeviceA1, 6}, BatteryId{kDeviceA0, 8}, BatteryId{0xA2, 0}})
        EXPECT_EQ(battery::WatchedIndex(other), std::nullopt);
    EXPECT_TRUE(battery::IsBusBattery({kDeviceA1, 7}));
    EXPECT_FALSE(battery::IsBusBattery({kDeviceA1, 8}));
    EXPECT_FALSE(battery::IsBusBattery({0x01, 0}));
}

// Each step's reading goes to its own battery, table and, for 0xA1's, real-time row.
TEST(BatteryVocabulary, pollStepsMapToTheirBatteriesTablesAndLiveRows) {
    for (int step = 1; step <= battery::kPollSteps; ++step) {
        const BatteryId id = battery::BatteryOfStep(step);
        EXPECT_EQ(id.device, step <= 8 ? kDeviceA0 : kDeviceA1);
        EXPECT_EQ(id.battery, (step - 1) % 8);
        EXPECT_EQ(battery::DeviceOfStep(step), id.device);
        const auto place = battery::WindowPlaceOf(id);
        if (step > battery::kLastReadingStep) {
            EXPECT_FALSE(place) << "step " << step << " keeps no reading";
            continue;
        }
        ASSERT_TRUE(place);
        EXPECT_EQ(battery::ReadingStepOf(id), step);
        EXPECT_EQ(place->historyTable, step);
        EXPECT_EQ(place->liveRow, step >= 9 ? step - 8 : 0);
    }
}

TEST(BatteryVocabulary, statusCodesHaveTextsAndStableKeys) {
    EXPECT_EQ(battery::StatusText(0x00), QStringLiteral("无此设备"));
    EXPECT_EQ(battery::StatusText(0x11), QStringLiteral("正常"));
    EXPECT_EQ(battery::StatusText(0x71), QStringLiteral("电压异常"));
    EXPECT_EQ(battery::StatusText(0x72), QStringLiteral("温度异常"));
    EXPECT_EQ(battery::StatusText(0x73), QStringLiteral("鼓包异常"));
    EXPECT_EQ(battery::StatusText(0x74), QStringLiteral("0x74"));
    EXPECT_EQ(battery::StatusText(0x0A), QStringLiteral("0x0A"));
    EXPECT_EQ(battery::StatusText(0xFF), QStringLiteral("0xFF"));

    std::set<QString> keys;
    int known = 0;
    for (int code = 0; code < 256; ++code) {
        known += battery::IsKnownStatus(std::uint8_t(code)) ? 1 : 0;
        const QString key = battery::StatusKey(std::uint8_t(code));
        keys.insert(key);
        for (const QChar c : key) EXPECT_TRUE(c.isLower() || c == u'_') << key.toStdString();
    }
    EXPECT_EQ(known, 5);
    EXPECT_EQ(keys.size(), battery::kStatusKeys.size()) << "five known keys and \"unknown\"";
    for (const char* key : battery::kStatusKeys) EXPECT_TRUE(keys.count(QString::fromLatin1(key)));
    EXPECT_EQ(battery::StatusKey(0x11), "normal");
    EXPECT_EQ(battery::StatusKey(0x71), "voltage");
    EXPECT_EQ(battery::StatusKey(0x00), "no_device");
    EXPECT_EQ(battery::StatusKey(0x74), "unknown");
}
