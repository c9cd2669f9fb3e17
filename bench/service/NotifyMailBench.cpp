// Alarm-to-mail latency: from the station reporting an alarm event to a real mail server on
// loopback (STARTTLS and a login) having accepted the message that carries it, through the
// store's outbox and the mail channel's worker. Channels group events 30 s apart by default;
// here every event goes alone, so that each latency is one whole delivery.
// Usage: bench_notify_mail [EVENTS]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "service/BatmonService.h"
#include "station/AlarmMonitor.h"
#include "station/Station.h"
#include "tests/common/WaitFor.h"
#include "tests/servers/ChildProcess.h"
#include "tests/servers/MailSinks.h"
#include "tests/servers/SmtpMailSettings.h"

namespace {

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p / 100.0 * double(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int events = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    QString error;
    testservers::SmtpServer smtp;
    if (!smtp.Start(&error)) {
        std::fprintf(stderr, "mail server: %s\n", qPrintable(error));
        return 1;
    }
    QTemporaryDir dir;
    ServiceOptions options;
    options.port = QStringLiteral("tcp://127.0.0.1:%1").arg(testservers::FreeLoopbackPort());
    options.dataDir = dir.path();
    options.site = QStringLiteral("bench");
    options.notify.mail = testservers::MailSettingsFor(smtp);
    options.notify.caFile = smtp.CaFile();
    options.notify.pacing.groupMs = 0;
    options.notify.pacing.maxPerHour = 3600;
    BatmonService service(options);
    if (!service.Start(&error)) {
        std::fprintf(stderr, "batmond: %s\n", qPrintable(error));
        return 1;
    }

    std::vector<double> latencyMs;
    QElapsedTimer clock;
    for (int i = 0; i < events; ++i) {
        alarms::AlarmEvent event;
        event.tMs = QDateTime::currentMSecsSinceEpoch();
        event.key = {{0xA0, std::uint8_t(i % 8)}, alarms::AlarmKind::StatusSwelling};
        event.state = i % 2 == 0 ? alarms::AlarmState::Raised : alarms::AlarmState::Cleared;
        event.value = i % 2 == 0 ? 0x73 : 0x11;
        const std::size_t before = smtp.Messages().size();
        clock.start();
        emit service.GetStation().Alarms().EventsOccurred({event});
        if (!testsupport::WaitUntil([&] { return smtp.Messages().size() > before; },
                                    std::chrono::seconds(30), std::chrono::milliseconds(1))) {
            std::fprintf(stderr, "mail %d did not arrive\n", i + 1);
            return 1;
        }
        latencyMs.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    service.Shutdown();
    std::printf("alarm to mail accepted, %d events: median %.1f ms, p99 %.1f ms, max %.1f ms\n",
                events, Percentile(latencyMs, 50), Percentile(latencyMs, 99),
                *std::max_element(latencyMs.begin(), latencyMs.end()));
    std::printf("RESULT notify_mail_ms_p99 %.1f\n", Percentile(latencyMs, 99));
    std::printf("RESULT notify_mail_ms_median %.1f\n", Percentile(latencyMs, 50));
    return 0;
}
