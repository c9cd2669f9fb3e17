#include "station/Station.h"

#include <chrono>

#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "store/HistoryWriter.h"
#include "store/Retention.h"

Station::Station(std::unique_ptr<PortLink> link, Clock& clock, const StationOptions& options,
                 QObject* parent)
    : QObject(parent),
      clock_(clock),
      options_(options),
      session_(new MonitorSession(std::move(link), clock, this)) {
    if (options_.dataDir.isEmpty()) return;
    writer_ = std::make_unique<store::HistoryWriter>(options_.dataDir);
    writer_->SetRetryPeriod(std::chrono::milliseconds(MonitorSession::kDefaultSamplingMs));
    connect(writer_.get(), &store::HistoryWriter::HealthChanged, this,
            &Station::StoreHealthChanged);
    connect(session_, &MonitorSession::ReadingAccepted, this, &Station::Record);
    connect(session_, &MonitorSession::SamplingPeriodChanged, this, [this](int ms) {
        if (ms > 0) writer_->SetRetryPeriod(std::chrono::milliseconds(ms));
    });
    writer_->SetOutboxEnabled(options_.mqttOutbox);
    writer_->Start();
    if (options_.keepDays > 0) {
        retention_ = std::make_unique<store::RetentionTrigger>(*writer_, options_.keepDays);
        retention_->Start();
    }
}

Station::~Station() { Shutdown(); }

void Station::Shutdown() {
    retention_.reset();
    if (writer_) writer_->Shutdown();
}

std::vector<store::StoredReading> Station::LoadRecent() const {
    if (!writer_ || options_.restoreHours <= 0) return {};
    store::HistoryReader reader(store::HistoryFilePath(options_.dataDir));
    return reader.LoadRecentHours(options_.restoreHours, clock_.NowMs());
}

void Station::Record(int step, const BatteryReading& reading, qint64 arrivalMs) {
    if (const auto stored = store::ReadingForPollStep(step, arrivalMs, reading.StatusCode,
                                                      reading.RawVoltage, reading.RawTemperature))
        writer_->Append(*stored);
}
