#include "tools/sim/BusDevices.h"

#include <algorithm>
#include <cmath>

#include "protocol/ModbusCrc.h"

namespace batmonsim {

Request Request::Parse(const std::uint8_t* frame) {
    Request request;
    request.address = frame[0];
    request.function = frame[1];
    request.reg = static_cast<std::uint16_t>(frame[2] << 8 | frame[3]);
    request.value = static_cast<std::uint16_t>(frame[4] << 8 | frame[5]);
    return request;
}

void AppendCrc(std::vector<std::uint8_t>& bytes) {
    const std::uint16_t crc = ModbusCrc16(bytes.data(), static_cast<std::uint8_t>(bytes.size()));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    bytes.push_back(static_cast<std::uint8_t>(crc & 0xFF));
}

bool HasValidCrc(const std::uint8_t* data, std::size_t length) {
    return length >= 3 && length <= 255 &&
           ModbusCrc16(data, static_cast<std::uint8_t>(length)) == 0;
}

BusDevices::BusDevices(std::uint64_t seed) : batteries_(seed) {
    // Frequency point 1 and the device's own address as the data address.
    deviceInfo_ = {0x0100 | kFirstAddress, 0x0100 | kSecondAddress};
}

bool BusDevices::IsDeviceAddress(std::uint8_t address) {
    return address == kFirstAddress || address == kSecondAddress;
}

std::optional<Answer> BusDevices::Respond(const std::uint8_t* frame, double secondsSinceStart) {
    const Request request = Request::Parse(frame);
    if (!IsDeviceAddress(request.address)) return std::nullopt;
    const int device = request.address - kFirstAddress;
    switch (request.function) {
        case 0x04:
            return ReadInputRegisters(request, device, secondsSinceStart);
        case 0x06:
            return WriteSingleRegister(request, frame, device);
        default:
            return Exception(request, kIllegalFunction);
    }
}

void BusDevices::ForceStatus(int device, int battery, std::uint8_t code) {
    if (device < 0 || device >= BatteryBank::kDevices || battery < 0 ||
        battery >= BatteryBank::kBatteriesPerDevice)
        return;
    forcedStatus_[static_cast<std::size_t>(device) * BatteryBank::kBatteriesPerDevice +
                  static_cast<std::size_t>(battery)] = code;
}

void BusDevices::DriftVoltage(int device, int battery, double voltsPerReading) {
    if (device >= 0 && device < BatteryBank::kDevices && battery >= 0 &&
        battery < BatteryBank::kBatteriesPerDevice)
        batteries_.SetVoltageDrift(device, battery, voltsPerReading);
}

void BusDevices::DriftTemperature(int device, int battery, double celsiusPerReading) {
    if (device >= 0 && device < BatteryBank::kDevices && battery >= 0 &&
        battery < BatteryBank::kBatteriesPerDevice)
        batteries_.SetTemperatureDrift(device, battery, celsiusPerReading);
}

Answer BusDevices::ReadInputRegisters(const Request& request, int device,
                                      double secondsSinceStart) {
    Answer answer;
    answer.request = request;
    answer.bytes = {request.address, request.function};
    const int battery = request.reg - kFirstBatteryRegister;
    if (battery >= 0 && battery < BatteryBank::kBatteriesPerDevice &&
        request.value == kBatteryRegisterCount) {
        SimReading reading = batteries_.Next(device, battery);
        const auto& forced =
            forcedStatus_[static_cast<std::size_t>(device) * BatteryBank::kBatteriesPerDevice +
                          static_cast<std::size_t>(battery)];
        if (forced) reading.status = *forced;
        const double dropTenths = 10.0 * discharge_.DropV(device, battery, secondsSinceStart);
        reading.voltageRaw = static_cast<std::uint8_t>(
            std::clamp(std::lround(reading.voltageRaw - dropTenths), 0L, 255L));
        answer.reading = reading;
        answer.bytes.insert(answer.bytes.end(),
                            {6, reading.status, reading.voltageRaw,
                             static_cast<std::uint8_t>(reading.temperatureRaw >> 8),
                             static_cast<std::uint8_t>(reading.temperatureRaw & 0xFF), 0, 0});
    } else if (request.reg == kDeviceInfoReadRegister && request.value == 1) {
        const std::uint16_t info = deviceInfo_[static_cast<std::size_t>(device)];
        answer.bytes.push_back(2);
        answer.bytes.push_back(static_cast<std::uint8_t>(info >> 8));
        answer.bytes.push_back(static_cast<std::uint8_t>(info & 0xFF));
    } else {
        return Exception(request, kIllegalDataAddress);
    }
    AppendCrc(answer.bytes);
    return answer;
}

Answer BusDevices::WriteSingleRegister(const Request& request, const std::uint8_t* frame,
                                       int device) {
    if (request.reg == kDeviceInfoRegister) {
        deviceInfo_[static_cast<std::size_t>(device)] = request.value;
    } else if (request.reg != kAuthorizeRegister) {
        return Exception(request, kIllegalDataAddress);
    }
    Answer answer;
    answer.request = request;
    answer.bytes.assign(frame, frame + 8);
    return answer;
}

Answer BusDevices::Exception(const Request& request, std::uint8_t code) {
    Answer answer;
    answer.request = request;
    answer.exceptionCode = code;
    answer.bytes = {request.address, static_cast<std::uint8_t>(request.function | 0x80), code};
    AppendCrc(answer.bytes);
    return answer;
}

}  // namespace batmonsim
