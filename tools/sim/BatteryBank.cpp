#include "tools/sim/BatteryBank.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace batmonsim {

namespace {

// The device's voltage swings by 0.3 V over 600 readings (charge and load), its temperature by
// 1 ℃ over 20 000 readings (the room), slowly enough that no battery warms by 2 ℃ within half
// an hour even when read every second.
constexpr double kVoltageSwing = 3.0;
constexpr double kVoltagePeriod = 600.0;
constexpr double kTemperatureSwing = 10.0;
constexpr double kTemperaturePeriod = 20'000.0;

}  // namespace

BatteryBank::BatteryBank(std::uint64_t seed) {
    for (std::size_t d = 0; d < levels_.size(); ++d) {
        std::mt19937_64 random(seed * 0xD1B54A32D192ED03ULL + d + 1);
        Level& level = levels_[d];
        // A string on float charge: 13.4 to 13.6 V per block.
        level.voltageCentre = 134.0 + 2.0 * Uniform(random);
        level.voltagePhase = 2 * std::numbers::pi * Uniform(random);
        level.temperatureCentre = 230.0 + 40.0 * Uniform(random);
        level.temperaturePhase = 2 * std::numbers::pi * Uniform(random);
    }
    for (std::size_t i = 0; i < batteries_.size(); ++i) {
        Battery& battery = batteries_[i];
        battery.random.seed(seed * 0x9E3779B97F4A7C15ULL + i + 1);
        battery.voltageOffset = Uniform(battery.random) - 0.5;
        battery.temperatureOffset = 20.0 * Uniform(battery.random) - 10.0;
    }
}

// Built from the raw engine output because the standard distributions differ between
// library implementations, and a seed should give the same readings everywhere.
double BatteryBank::Uniform(std::mt19937_64& random) {
    return static_cast<double>(random() >> 11) * 0x1.0p-53;
}

double BatteryBank::RoughlyGaussian(std::mt19937_64& random) {
    double sum = 0;
    for (int i = 0; i < 4; ++i) sum += Uniform(random);
    return (sum - 2.0) * std::sqrt(3.0);
}

BatteryBank::Battery& BatteryBank::At(int device, int battery) {
    return batteries_.at(static_cast<std::size_t>(device) * kBatteriesPerDevice +
                         static_cast<std::size_t>(battery));
}

void BatteryBank::SetVoltageDrift(int device, int battery, double voltsPerReading) {
    At(device, battery).voltageDrift = voltsPerReading * 10.0;
}

void BatteryBank::SetTemperatureDrift(int device, int battery, double celsiusPerReading) {
    At(device, battery).temperatureDrift = celsiusPerReading * 10.0;
}

SimReading BatteryBank::Next(int device, int battery) {
    Battery& b = At(device, battery);
    const Level& level = levels_.at(static_cast<std::size_t>(device));
    const double n = static_cast<double>(++b.reads);
    constexpr double kTurn = 2 * std::numbers::pi;
    // Each battery's own noise: a random walk pulled back to its offset from the device.
    b.voltageNoise = 0.9 * b.voltageNoise + 0.12 * RoughlyGaussian(b.random);
    b.temperatureNoise = 0.95 * b.temperatureNoise + 0.5 * RoughlyGaussian(b.random);
    double voltage = level.voltageCentre +
                     kVoltageSwing * std::sin(kTurn * n / kVoltagePeriod + level.voltagePhase) +
                     b.voltageOffset + b.voltageNoise;
    double temperature =
        level.temperatureCentre +
        kTemperatureSwing * std::sin(kTurn * n / kTemperaturePeriod + level.temperaturePhase) +
        b.temperatureOffset + b.temperatureNoise;
    voltage = std::clamp(voltage, double{kVoltageMin}, double{kVoltageMax});
    temperature = std::clamp(temperature, double{kTemperatureMin}, double{kTemperatureMax});
    b.voltageDrifted += b.voltageDrift;
    b.temperatureDrifted += b.temperatureDrift;
    voltage = std::clamp(voltage + b.voltageDrifted, 0.0, 255.0);
    temperature = std::clamp(temperature + b.temperatureDrifted, 0.0, 65535.0);

    SimReading reading;
    reading.voltageRaw = static_cast<std::uint8_t>(std::lround(voltage));
    reading.temperatureRaw = static_cast<std::uint16_t>(std::lround(temperature));
    const double draw = Uniform(b.random);
    if (draw < 0.005) {
        reading.status = 0x00;
    } else if (draw < 0.035) {
        reading.status = static_cast<std::uint8_t>(0x71 + static_cast<int>(Uniform(b.random) * 3));
    } else {
        reading.status = kStatusNormal;
    }
    return reading;
}

}  // namespace batmonsim
