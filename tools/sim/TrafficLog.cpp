#include "tools/sim/TrafficLog.h"

#include <time.h>

namespace batmonsim {
namespace {

std::int64_t NowUs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return std::int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

void AppendField(std::string& json, const char* name, const std::optional<int>& value) {
    if (value) json += std::string(",\"") + name + "\":" + std::to_string(*value);
}

}  // namespace

LogRecord LogRecord::Received(const std::vector<std::uint8_t>& bytes, const Request* request) {
    LogRecord record;
    record.dir = "rx";
    record.bytes = bytes;
    if (request != nullptr) {
        record.device = request->address;
        record.function = request->function;
        record.reg = request->reg;
        record.value = request->value;
    } else {
        // Eight bytes that failed the CRC are most likely a damaged request.
        record.fault = bytes.size() == 8 ? "bad_crc" : "garbage";
    }
    return record;
}

LogRecord LogRecord::ForAnswer(const std::string& dir, const std::vector<std::uint8_t>& bytes,
                               const Answer& answer, const std::string& fault) {
    LogRecord record;
    record.dir = dir;
    record.bytes = bytes;
    record.device = answer.request.address;
    record.function = answer.request.function;
    record.reg = answer.request.reg;
    if (answer.reading) {
        record.status = answer.reading->status;
        record.voltageRaw = answer.reading->voltageRaw;
        record.temperatureRaw = answer.reading->temperatureRaw;
    }
    if (answer.exceptionCode) record.exception = *answer.exceptionCode;
    record.fault = fault;
    return record;
}

TrafficLog::~TrafficLog() {
    if (file_ != nullptr) std::fclose(file_);
}

bool TrafficLog::Open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

void TrafficLog::Write(const LogRecord& record) {
    if (file_ == nullptr) return;
    const std::string line = ToJson(record, NowUs(CLOCK_REALTIME), NowUs(CLOCK_MONOTONIC)) + "\n";
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

std::string TrafficLog::HexText(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : bytes) {
        if (!text.empty()) text += ' ';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

std::string TrafficLog::ToJson(const LogRecord& record, std::int64_t realtimeUs,
                               std::int64_t monotonicUs) {
    // Every text written here is produced by this program (direction, hex digits, fault names),
    // so no character needs escaping.
    std::string json = "{\"t_us\":" + std::to_string(realtimeUs) +
                       ",\"mono_us\":" + std::to_string(monotonicUs) + ",\"dir\":\"" + record.dir +
                       "\",\"hex\":\"" + HexText(record.bytes) + "\"";
    AppendField(json, "device", record.device);
    AppendField(json, "function", record.function);
    AppendField(json, "register", record.reg);
    AppendField(json, "value", record.value);
    AppendField(json, "status", record.status);
    AppendField(json, "voltage_raw", record.voltageRaw);
    AppendField(json, "temperature_raw", record.temperatureRaw);
    AppendField(json, "exception", record.exception);
    if (!record.fault.empty()) json += ",\"fault\":\"" + record.fault + "\"";
    return json + "}";
}

}  // namespace batmonsim
