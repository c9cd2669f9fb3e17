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

// The sixteen batteries behind the two devices, each device a healthy string: its batteries
// follow the device's slowly moving voltage and temperature, each a little off it and with a
// little noise of its own, so none strays from its neighbours far enough for the string analysis
// (0.3 V, 5 ℃, a rise of 2 ℃ in half an hour even at one reading a second). A battery may be
// told to drift: its voltage or temperature then moves by a fixed step per reading, beyond the
// string's ranges if it goes on long enough. A battery's sequence depends only on the seed and
// on how often it was read, not on the order in which the batteries are polled.
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

    // From now on the battery's voltage moves by `voltsPerReading`, or its temperature by
    // `celsiusPerReading`, with every reading, on top of what it would read.
    void SetVoltageDrift(int device, int battery, double voltsPerReading);
    void SetTemperatureDrift(int device, int battery, double celsiusPerReading);

private:
    // A device's level, the same for all its batteries at their n-th reading.
    struct Level {
        double voltageCentre = 0;  // tenths of a volt
        double voltagePhase = 0;
        double temperatureCentre = 0;  // tenths of a degree
        double temperaturePhase = 0;
    };
    struct Battery {
        std::mt19937_64 random;
        std::uint64_t reads = 0;
        double voltageOffset = 0;  // from the device's level, tenths
        double temperatureOffset = 0;
        double voltageNoise = 0;
        double temperatureNoise = 0;
        double voltageDrift = 0;  // tenths per reading
        double temperatureDrift = 0;
        double voltageDrifted = 0;  // so far
        double temperatureDrifted = 0;
    };

    static double Uniform(std::mt19937_64& random);
    static double RoughlyGaussian(std::mt19937_64& random);
    Battery& At(int device, int battery);

    std::array<Level, kDevices> levels_;
    std::array<Battery, std::size_t{kDevices} * kBatteriesPerDevice> batteries_;
};

}  // namespace batmonsim
