// The window killed with SIGKILL in the middle of a poll cycle: every reading it had shown is
// in its history file, and the file opens cleanly.
#include <gtest/gtest.h>
#include <signal.h>

#include <QProcess>
#include <QTemporaryDir>

#include "battery/PollRoute.h"
#include "battery/Reading.h"
#include "store/DataDir.h"
#include "tests/common/WaitFor.h"
#include "tests/store/StoreTestSupport.h"
#include "tools/simctl/SimProcess.h"

using namespace std::chrono_literals;
using storetest::FileProbe;
using testsupport::WaitUntil;

namespace {

// Takes the "shown ..." lines the child printed so far out of `pending`.
void CollectShown(QByteArray& pending, std::vector<battery::Reading>& shown) {
    for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
        const QList<QByteArray> f = pending.left(end).split(' ');
        pending.remove(0, end + 1);
        if (f.size() != 7 || f[0] != "shown") continue;
        const battery::BatteryId id{static_cast<std::uint8_t>(f[1].toInt()),
                                    static_cast<std::uint8_t>(f[2].toInt())};
        shown.push_back(battery::MakeReading(
            id, f[3].toLongLong(), static_cast<std::uint8_t>(f[4].toInt()),
            static_cast<std::uint8_t>(f[5].toInt()), static_cast<std::uint16_t>(f[6].toInt())));
    }
}

}  // namespace

TEST(WindowKill, everyReadingShownBeforeSigkillIsInTheFileAndTheFileOpensCleanly) {
    SimProcess bus;
    ASSERT_TRUE(bus.Start()) << bus.ErrorText().toStdString();
    QTemporaryDir dataDir;
    QProcess window;
    window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    window.start(QStringLiteral(WINDOW_KILL_CHILD), {dataDir.path(), bus.PortPath()});
    ASSERT_TRUE(window.waitForStarted());

    // Killed right after a reading of the first device was shown: the second device's block
    // of the cycle is still being polled, and the writer has commits in flight.
    std::vector<battery::Reading> shown;
    QByteArray pending;
    const bool enough = WaitUntil(
        [&] {
            pending += window.readAllStandardOutput();
            CollectShown(pending, shown);
            return shown.size() >= 3 * 14 && shown.back().device == 0xA0;
        },
        60s);
    if (const qint64 pid = window.processId(); pid > 0) ::kill(static_cast<pid_t>(pid), SIGKILL);
    window.waitForFinished();
    pending += window.readAllStandardOutput();
    CollectShown(pending, shown);
    ASSERT_TRUE(enough) << shown.size() << " readings shown";

    FileProbe probe(store::HistoryFilePath(dataDir.path()));
    EXPECT_EQ(probe.IntegrityCheck(), QStringLiteral("ok"));
    for (const battery::Reading& r : shown)
        EXPECT_TRUE(probe.Contains(r)) << "shown but not stored: device " << int(r.device)
                                       << " battery " << int(r.battery) << " at " << r.tMs;
}
