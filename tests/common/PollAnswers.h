#pragma once

#include <QByteArray>
#include <cstdint>

#include "protocol/ModbusCrc.h"
#include "protocol/PollTable.h"

namespace testsupport {

// An 11-byte answer of `address` carrying one battery's registers, with a valid CRC.
inline QByteArray PollAnswerBytes(std::uint8_t address, std::uint8_t status, std::uint8_t voltage,
                                  std::uint16_t temperature) {
    QByteArray a;
    a.append(char(address)).append(char(0x04)).append(char(0x06));
    a.append(char(status)).append(char(voltage));
    a.append(char(temperature >> 8)).append(char(temperature & 0xFF));
    a.append(char(0)).append(char(0));
    const std::uint16_t crc = ModbusCrc16(reinterpret_cast<const std::uint8_t*>(a.constData()), 9);
    a.append(char(crc >> 8)).append(char(crc & 0xFF));
    return a;
}

// The request frame of poll step 1..16.
inline QByteArray PollFrameOfStep(int step) {
    const Frame& frame = PollTable()[step - 1].frame;
    return QByteArray(reinterpret_cast<const char*>(frame.data()), int(frame.size()));
}

}  // namespace testsupport
