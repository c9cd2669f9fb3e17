#pragma once

#include <QString>

// History files as the first versions of the program wrote them, made with those versions' own
// statements, to test the upgrade of files made before the layout changed.
namespace storetest {

// Makes `<dataDir>/history.sqlite` of version 1 holding readings 0..27 of the sequence, each
// in the outbox (numbers 1..28), and four alarm events, the no-answer ones with the value 0
// that version 1 wrote for them. Returns the error text, empty on success.
QString MakeVersion1File(const QString& dataDir);

// The same file as version 2's program left it: the four alarm events (no-answer ones without a
// value) wait in the alarm outbox for the broker (channel "mqtt", numbers 1..4).
QString MakeVersion2File(const QString& dataDir);

}  // namespace storetest
