#pragma once

#include <QStringList>

namespace testsupport {

// The names of this process's threads as the kernel has them (a QThread's object name, cut to
// 15 bytes). Counting threads instead is unreliable: sanitizers start helper threads of their
// own when the first thread is made.
QStringList ThreadNames();

}  // namespace testsupport
