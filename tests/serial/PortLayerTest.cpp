#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include "serial/CommNotice.h"
#include "serial/LineStatus.h"
#include "serial/PortDevice.h"
#include "serial/PortName.h"
#include "serial/PortTimeouts.h"
#include "serial/WriteQueue.h"

TEST(PortName, mapsComNamesToTtySAndLooksOtherNamesUpUnderDev) {
    EXPECT_EQ(ResolvePortName("COM1"), "/dev/ttyS0");
    EXPECT_EQ(ResolvePortName("COM10"), "/dev/ttyS9");
    EXPECT_EQ(ResolvePortName("com3"), "/dev/ttyS2");
    EXPECT_EQ(ResolvePortName("COM0"), "/dev/COM0");
    EXPECT_EQ(ResolvePortName("COMX"), "/dev/COMX");
    EXPECT_EQ(ResolvePortName("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(ResolvePortName("pts/4"), "/dev/pts/4");
    EXPECT_EQ(ResolvePortName("/dev/ttyAMA0"), "/dev/ttyAMA0");
}

TEST(LineSettingsMapping, dataBitsParityStopBitsAndHandshakeReachTermios) {
    termios attrs{};
    TLineSettings settings;
    settings.ByteSize = TByteSize::_5;
    settings.Parity = TParity::Even;
    settings.StopBits = TStopBits::_1_5;
    settings.Outx_CtsFlow = false;
    settings.RtsControl = TRtsControl::RtsHandshake;
    BuildTermios(settings, attrs);
    EXPECT_EQ(attrs.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
    EXPECT_EQ(attrs.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB));
    EXPECT_TRUE(attrs.c_cflag & CSTOPB) << "1.5 stop bits fall back to 2";
    EXPECT_TRUE(attrs.c_cflag & CRTSCTS) << "RTS handshake needs the RTS/CTS flag";

    settings.ByteSize = TByteSize::_7;
    settings.Parity = TParity::Mark;
    settings.StopBits = TStopBits::_1;
    settings.RtsControl = TRtsControl::RtsEnable;
    BuildTermios(settings, attrs);
    EXPECT_EQ(attrs.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_EQ(attrs.c_cflag & (PARENB | PARODD | CMSPAR),
              static_cast<tcflag_t>(PARENB | PARODD | CMSPAR));
    EXPECT_FALSE(attrs.c_cflag & (CSTOPB | CRTSCTS));

    settings.Parity = TParity::Space;
    BuildTermios(settings, attrs);
    EXPECT_EQ(attrs.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB | CMSPAR));
    settings.Parity = TParity::Odd;
    BuildTermios(settings, attrs);
    EXPECT_EQ(attrs.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB | PARODD));

    settings.BaudRate = 12345;  // not a rate the driver knows: the speed stays as it was
    cfsetspeed(&attrs, B4800);
    BuildTermios(settings, attrs);
    EXPECT_EQ(cfgetospeed(&attrs), static_cast<speed_t>(B4800));
}

TEST(LineSettingsMapping, dtrAndRtsFollowTheirControlSettings) {
    TLineSettings settings;
    TModemLineRequest lines = ModemLinesFor(settings);
    EXPECT_EQ(lines.Raise, TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(lines.Drop, 0);

    settings.DtrControl = TDtrControl::DtrDisable;
    settings.RtsControl = TRtsControl::RtsDisable;
    lines = ModemLinesFor(settings);
    EXPECT_EQ(lines.Raise, 0);
    EXPECT_EQ(lines.Drop, TIOCM_DTR | TIOCM_RTS);

    settings.DtrControl = TDtrControl::DtrHandshake;
    settings.RtsControl = TRtsControl::RtsTransmissionAvailable;
    lines = ModemLinesFor(settings);
    EXPECT_EQ(lines.Raise, TIOCM_DTR);
    EXPECT_EQ(lines.Drop, 0) << "RTS is left to the RS-485 driver";
}

TEST(ReadTimeouts, intervalLimitsGapsOnlyOnceTheFirstByteHasArrived) {
    const TCommTimeouts interval20{20, 0, 0, 0, 0};
    EXPECT_EQ(ReadWaitMs(interval20, 1024, 0, 5'000'000, 5'000'000), kWaitForever);
    EXPECT_EQ(ReadWaitMs(interval20, 1024, 11, 30'000, 0), 20);
    EXPECT_EQ(ReadWaitMs(interval20, 1024, 11, 30'000, 12'300), 8);
    EXPECT_EQ(ReadWaitMs(interval20, 1024, 11, 30'000, 20'000), std::nullopt);
    EXPECT_EQ(ReadWaitMs(interval20, 1024, 1024, 0, 0), std::nullopt) << "area full";

    const TCommTimeouts noTimeouts{0, 0, 0, 0, 0};
    EXPECT_EQ(ReadWaitMs(noTimeouts, 1024, 500, 9'000'000, 9'000'000), kWaitForever);
}

TEST(ReadTimeouts, totalLimitBoundsTheWholeReadAndSpecialIntervalValuesReturnEarly) {
    const TCommTimeouts total{50, 1, 100, 0, 0};  // 1 * 1024 + 100 ms in all
    EXPECT_EQ(ReadWaitMs(total, 1024, 0, 0, 0), 1124);
    EXPECT_EQ(ReadWaitMs(total, 1024, 0, 1'124'000, 0), std::nullopt) << "completes empty";
    EXPECT_EQ(ReadWaitMs(total, 1024, 3, 1'110'000, 0), 14) << "total tighter than the gap";

    const TCommTimeouts returnAtOnce{kMaxTimeout, 0, 0, 0, 0};
    EXPECT_EQ(ReadWaitMs(returnAtOnce, 1024, 0, 1'000'000, 0), kWaitForever);
    EXPECT_EQ(ReadWaitMs(returnAtOnce, 1024, 1, 0, 0), std::nullopt);

    const TCommTimeouts firstByteWithin{kMaxTimeout, kMaxTimeout, 200, 0, 0};
    EXPECT_EQ(ReadWaitMs(firstByteWithin, 1024, 0, 150'000, 0), 50);
    EXPECT_EQ(ReadWaitMs(firstByteWithin, 1024, 0, 200'000, 0), std::nullopt);
    EXPECT_EQ(ReadWaitMs(firstByteWithin, 1024, 2, 10'000, 0), std::nullopt);

    EXPECT_EQ(WriteLimitMs(TCommTimeouts{}, 100), kWaitForever);
    EXPECT_EQ(WriteLimitMs(TCommTimeouts{0, 0, 0, 2, 30}, 100), 230);
    EXPECT_EQ(RemainingMs(10, 9'001), 1) << "rounded up, never ends early";
}

TEST(LineStatusCounters, eachCountedConditionBecomesItsFlag) {
    serial_icounter_struct before{};
    serial_icounter_struct after{};
    EXPECT_EQ(CompareCounters(before, after).ErrorFlags, 0u);
    EXPECT_EQ(CompareCounters(before, after).ModemEvent, 0u);

    after.frame = 1;
    after.brk = 2;
    after.overrun = 1;
    EXPECT_EQ(CompareCounters(before, after).ErrorFlags,
              kErrorFraming | kErrorBreak | kErrorOverrun);
    after = before;
    after.parity = 3;
    after.buf_overrun = 1;
    EXPECT_EQ(CompareCounters(before, after).ErrorFlags, kErrorParity | kErrorQueueOverflow);

    after = before;
    after.dcd = 1;
    after.rng = 1;
    after.cts = 5;  // not watched
    EXPECT_EQ(CompareCounters(before, after).ModemEvent, kModemCarrierChanged | kModemRing);
    EXPECT_EQ(CompareCounters(before, after).ModemEvent, 12u);
}

TEST(WriteQueue, handsBlocksOverInOrderAndFreesWhatIsLeft) {
    auto queue = std::make_unique<TWriteQueue>();
    ASSERT_TRUE(queue->Create());
    EXPECT_FALSE(queue->TryTake().has_value());
    for (std::uint8_t i = 1; i <= 3; ++i) {
        TWriteBlock block{std::make_unique<std::uint8_t[]>(i), i};
        block.Data[0] = i;
        ASSERT_TRUE(queue->Post(block));
        EXPECT_EQ(block.Data, nullptr) << "ownership passes with the block";
    }
    for (std::uint8_t i = 1; i <= 2; ++i) {
        std::optional<TWriteBlock> taken = queue->TryTake();
        ASSERT_TRUE(taken.has_value());
        EXPECT_EQ(taken->Length, i);
        EXPECT_EQ(taken->Data[0], i);
    }
    queue.reset();  // the third block is freed here (AddressSanitizer reports it otherwise)
}
