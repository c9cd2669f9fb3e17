#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "battery/PollRoute.h"
#include "engine/MonitorSession.h"
#include "tests/common/PollAnswers.h"
#include "tests/engine/FakeClock.h"
#include "tests/engine/FakeLink.h"

namespace testsupport {

// A monitoring session on a fake link and clock, with everything it reports recorded.
struct SessionRig {
    // After StartMonitoring, step n goes out at n x 150 ms. 0xA0's block is judged when step 11
    // goes out, 0xA1's one slot after its hold: two slots after the cycle's last slot ended.
    static constexpr qint64 kFirstBlockJudgedMs = 11 * MonitorSession::kPacingMs;
    static constexpr qint64 kCycleJudgedMs = 19 * MonitorSession::kPacingMs;

    struct Accepted {
        int step;
        BatteryReading reading;
        qint64 arrivalMs;
    };
    struct Echo {
        SetupCommand command;
        QByteArray reply;
    };

    SessionRig() {
        auto fake = std::make_unique<FakeLink>(clock);
        link = fake.get();
        session = std::make_unique<MonitorSession>(std::move(fake), clock);
        // Recorded by the step that polled the battery, as the rules are written.
        QObject::connect(
            session.get(), &MonitorSession::ReadingAccepted, [this](const battery::Reading& r) {
                accepted.push_back({battery::ReadingStepOf(r.Id()).value_or(0),
                                    ReadingFromRaw(r.status, r.voltageDv, r.temperatureDc), r.tMs});
            });
        QObject::connect(session.get(), &MonitorSession::SetupReplyEcho,
                         [this](SetupCommand command, const QByteArray& reply) {
                             echoes.push_back({command, reply});
                         });
        QObject::connect(session.get(), &MonitorSession::PollRequestDue,
                         [this](const PollTick& tick) { ticks.push_back(tick); });
        QObject::connect(session.get(), &MonitorSession::DeviceAnsweredLate,
                         [this](std::uint8_t device) { lateDevices.push_back(device); });
    }

    void OpenAndStart() {
        session->OpenPort(QStringLiteral("ttyFAKE"));
        session->StartMonitoring();
    }

    // Steps sent so far, in order.
    std::vector<int> SentSteps() const {
        std::vector<int> steps;
        for (const auto& sent : link->SentFrames())
            for (int step = 1; step <= 16; ++step)
                if (sent.bytes == PollFrameOfStep(step)) steps.push_back(step);
        return steps;
    }

    FakeClock clock;
    FakeLink* link = nullptr;
    std::unique_ptr<MonitorSession> session;
    std::vector<Accepted> accepted;
    std::vector<Echo> echoes;
    std::vector<PollTick> ticks;
    std::vector<std::uint8_t> lateDevices;
};

class SessionFixture : public ::testing::Test, public SessionRig {};

}  // namespace testsupport
