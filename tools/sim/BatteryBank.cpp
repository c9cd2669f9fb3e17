#include "tools/sim/BatteryBank.h"

#include <algorithm>
#include <cmath>

namespace batmonsim {

BatteryBank::BatteryBank(std::uint64_t seed) {
    for (std::size_t i = 0; i < batteries_.size(); ++i) {
        Battery& battery = batteries_[i];
        battery.random.seed(seed * 0x9E3779B97F4A7C15ULL + i + 1);
        battery.voltageCentre = 124.0 + 10.0 * Uniform(battery.random);
        battery.temperatureCentre = 230.0 + 60.0 * Uniform(battery.random);
        battery.voltage = battery.voltageCentre;
        battery.temperature = battery.temperatureCentre;
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

SimReading BatteryBank::Next(int device, int battery) {
    Battery& b = batteries_.at(static_cast<std::size_t>(device) * kBatteriesPerDevice +
                               static_cast<std::size_t>(battery));
    // A random walk pulled back towards the battery's own centre.
    b.voltage += 0.6 * RoughlyGaussian(b.random) + 0.08 * (b.voltageCentre - b.voltage);
    b.temperature += 2.0 * RoughlyGaussian(b.random) + 0.05 * (b.temperatureCentre - b.temperature);
    b.voltage = std::clamp(b.voltage, double{kVoltageMin}, double{kVoltageMax});
    b.temperature = std::clamp(b.temperature, double{kTemperatureMin}, double{kTemperatureMax});

    SimReading reading;
    reading.voltageRaw = static_cast<std::uint8_t>(std::lround(b.voltage));
    reading.temperatureRaw = static_cast<std::uint16_t>(std::lround(b.temperature));
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
