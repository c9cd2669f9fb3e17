#pragma once

#include <QString>
#include <cstdint>
#include <vector>

#include "serial/SerialComm.h"
#include "tests/common/PtyDevice.h"

using testsupport::Sequence;
using testsupport::TBytes;

// The stored settings of the main window's port component.
inline void ApplyWindowSettings(TComm& comm, const QString& port) {
    comm.SetCommName(port);
    comm.SetOutx_CtsFlow(false);
    comm.SetOutx_DsrFlow(false);
    comm.SetTxContinueOnXoff(false);
    comm.SetBaudRate(9600);
    comm.SetReadIntervalTimeout(500);
}

// Records every event a component raises.
struct TCommRecorder {
    explicit TCommRecorder(TComm& comm) {
        comm.OnReceiveData = [this](TComm*, const std::uint8_t* buffer, std::uint16_t length) {
            Buffers.emplace_back(buffer, buffer + length);
            if (buffer[length] != 0) ++BuffersWithoutTerminator;
        };
        comm.OnSendDataEmpty = [this](TComm*) { ++SendDataEmpty; };
        comm.OnRequestHangup = [this](TComm*) { ++Hangups; };
    }

    std::size_t BytesReceived() const {
        std::size_t total = 0;
        for (const TBytes& buffer : Buffers) total += buffer.size();
        return total;
    }
    TBytes Joined() const {
        TBytes all;
        for (const TBytes& buffer : Buffers) all.insert(all.end(), buffer.begin(), buffer.end());
        return all;
    }

    std::vector<TBytes> Buffers;
    int BuffersWithoutTerminator = 0;
    int SendDataEmpty = 0;
    int Hangups = 0;
};
