#pragma once

#include <QtGlobal>

#include "store/Outbox.h"

// What the history writer reports back to the thread that owns it.
namespace store {

// What one commit did: how many readings are in the file (of all handed over, in order), and
// the outbox rows it added.
struct CommitNotice {
    qint64 totalReadings = 0;
    OutboxBatch outbox;
};

// What the writer still holds in memory, not written.
struct Unwritten {
    qint64 readings = 0;
    qint64 alarms = 0;
    bool None() const { return readings == 0 && alarms == 0; }
};

}  // namespace store
