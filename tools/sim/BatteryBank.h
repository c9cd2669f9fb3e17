#pragma once

#include <array>
#include <cstdint>
#include <random>

namespace batmonsim {

// One battery's answer: what the first two registers of a poll answer carry.
struct SimReading {
    std::uint8_t status = 0x11;        // 0x11 normal, 0x71..0x73 abnormal, 0x00 no such device
    std::uint8_t voltageRaw = 0;       // 0.1 V
    std::uint16_t temperatureRaw = 0;  // 0.1 degree Celsius
};

// The sixteen batteries behind the two devices. Each battery drifts by one step per reading
// with its own random stream, so a battery's sequence depends only on the seed and on how
// often it was read, not on the order in which the batteries are polled.
class BatteryBank {
public:
    static constexpr int kDevices = 2;
    static constexpr int kBatteriesPerDevice = 8;
    static constexpr int kVoltageMin = 120, kVoltageMax = 138;
    static constexpr int kTemperatureMin = 200, kTemperatureMax = 350;
    static constexpr std::uint8_t kStatusNormal = 0x11;

    explicit BatteryBank(std::uint64_t seed);

    // Advances battery `battery` (0..7) of device `device` (0..1) and returns its new reading.
    SimReading Next(int device, int battery);

private:
    struct Battery {
        std::mt19937_64 random;
        double voltage = 0;
        double temperature = 0;
        double voltageCentre = 0;
        double temperatureCentre = 0;
    };

    static double Uniform(std::mt19937_64& random);
    static double RoughlyGaussian(std::mt19937_64& random);

    std::array<Battery, std::size_t{kDevices} * kBatteriesPerDevice> batteries_;
};

}  // namespace batmonsim
