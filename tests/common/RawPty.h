#pragma once

#include <QString>
#include <cstddef>

namespace testsupport {

// A pseudo-terminal pair for a test that plays a serial device: the test keeps the master side,
// raw and non-blocking; the program under test opens `slavePath`. The caller owns both
// descriptors.
struct RawPty {
    int master = -1;
    int slave = -1;
    QString slavePath;
};

// Throws std::runtime_error when no pair can be had.
RawPty OpenRawPty();

// Writes all `length` bytes to the non-blocking `fd`, retrying while the line is full; throws
// std::runtime_error on any other failure.
void WriteAll(int fd, const void* data, std::size_t length);

}  // namespace testsupport
