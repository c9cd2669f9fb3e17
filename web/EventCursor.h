#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <cstdint>
#include <optional>
#include <tuple>

#include "battery/Reading.h"

namespace web {

// A reading's place in the history: its time, then device and battery, the order readings are
// stored and streamed in.
struct ReadingKey {
    qint64 tMs = 0;
    std::uint8_t device = 0;
    std::uint8_t battery = 0;

    static ReadingKey Of(const battery::Reading& r) { return {r.tMs, r.device, r.battery}; }
    // clang-tidy 14 takes the defaulted comparison's test against 0 for a null pointer.
    friend auto operator<=>(const ReadingKey&,
                            const ReadingKey&) = default;  // NOLINT(modernize-use-nullptr)
};

// Where an event stream stands: the last reading and the last alarm event (by its row number in
// the store) it has passed on. Both come from the store's own keys, so a position stays valid
// across restarts. As an event id: "<t_ms>_<device>_<battery>_<alarm id>", e.g.
// "1764576000125_160_3_42".
struct EventCursor {
    ReadingKey reading;
    qint64 alarmId = 0;

    QByteArray Text() const;
    static std::optional<EventCursor> Parse(const QByteArray& text);
    friend bool operator==(const EventCursor&, const EventCursor&) = default;
};

}  // namespace web
