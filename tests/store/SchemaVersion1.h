#pragma once

#include <QString>

// A history file as the first version of the program wrote it, made with that version's own
// statements, to test the upgrade of files made before the layout changed.
namespace storetest {

// Makes `<dataDir>/history.sqlite` of version 1 holding readings 0..27 of the sequence, each
// in the outbox (numbers 1..28), and four alarm events, the no-answer ones with the value 0
// that version 1 wrote for them. Returns the error text, empty on success.
QString MakeVersion1File(const QString& dataDir);

}  // namespace storetest
