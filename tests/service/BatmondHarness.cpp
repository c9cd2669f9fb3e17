#include "tests/service/BatmondHarness.h"

#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <cmath>
#include <set>

#include "store/DataDir.h"
#include "store/HistoryReader.h"
#include "tests/common/WaitFor.h"

namespace servicetest {

using testsupport::kSlowdown;
using testsupport::WaitUntil;

BatmondProcess::BatmondProcess() { QDir(dir_.path()).mkpath(QStringLiteral("data")); }

bool BatmondProcess::Start(const QStringList& arguments) {
    QString error;
    const bool started =
        process_.Start(QStringLiteral(BATMOND_PATH), arguments,
                       dir_.filePath(QStringLiteral("batmond.log")), -1, -1, &error);
    if (!started) qWarning("batmond: %s", qPrintable(error));
    return started;
}

int BatmondProcess::Stop(int signal) { return process_.Stop(signal); }

QString BatmondProcess::Log() const {
    QFile file(dir_.filePath(QStringLiteral("batmond.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool BatmondProcess::WaitForLog(const QString& text, int count) {
    return WaitUntil([&] { return Log().count(text) >= count; },
                     std::chrono::seconds(15 * kSlowdown));
}

namespace {

MqttClientOptions SubscriberOptions(const QString& url, const QString& site) {
    MqttClientOptions options;
    options.endpoint = *ParseMqttUrl(url);
    options.clientId = QStringLiteral("test-subscriber-") + site;
    options.cleanSession = false;
    return options;
}

}  // namespace

Subscriber::Subscriber(const QString& brokerUrl, const QString& site)
    : client_(SubscriberOptions(brokerUrl, site)), site_(site) {
    QObject::connect(&client_, &MqttClient::MessageReceived,
                     [this](const QByteArray& topic, const QByteArray& payload, bool retained) {
                         messages_.push_back({topic, payload, retained});
                     });
    QObject::connect(&client_, &MqttClient::Subscribed, [this] { subscribed_ = true; });
    client_.Subscribe(QByteArrayLiteral("batmon/") + site.toUtf8() + "/#", 1);
    client_.Start();
}

bool Subscriber::WaitOnline() {
    return WaitUntil([&] { return subscribed_; }, std::chrono::seconds(10 * kSlowdown));
}

std::vector<ReadingMessage> Subscriber::Readings() const {
    std::vector<ReadingMessage> readings;
    std::set<std::pair<QByteArray, QByteArray>> seen;
    for (const Message& m : messages_) {
        if (m.retained || !seen.insert({m.topic, m.payload}).second) continue;
        if (auto reading = ParseReading(m.topic, m.payload)) readings.push_back(*reading);
    }
    return readings;
}

std::vector<ReadingMessage> Subscriber::Redelivered() const {
    std::vector<ReadingMessage> again;
    std::set<std::pair<QByteArray, QByteArray>> seen;
    for (const Message& m : messages_) {
        if (m.retained || seen.insert({m.topic, m.payload}).second) continue;
        if (auto reading = ParseReading(m.topic, m.payload)) again.push_back(*reading);
    }
    return again;
}

std::vector<QByteArray> Subscriber::StatusPayloads() const {
    std::vector<QByteArray> payloads;
    for (const Message& m : messages_)
        if (m.topic == StatusTopic(site_)) payloads.push_back(m.payload);
    return payloads;
}

std::vector<SimReading> SimReadings(const std::vector<SimLogEntry>& log) {
    std::vector<SimReading> readings;
    int lastRegister = -1;
    for (const SimLogEntry& e : log) {
        if (e.dir == QStringLiteral("rx") && e.registerAddress >= 0)
            lastRegister = e.registerAddress;
        if (e.dir != QStringLiteral("tx") || e.status < 0 || !e.fault.isEmpty()) continue;
        const int reg = e.registerAddress >= 0 ? e.registerAddress : lastRegister;
        const int battery = reg - 0x80;
        if (battery < 0 || battery >= (e.device == 0xA0 ? 8 : 6)) continue;
        readings.push_back(
            {e.device, battery, e.status, e.voltageRaw, e.temperatureRaw, e.tUs / 1000});
    }
    return readings;
}

PerBattery ByBattery(const std::vector<SimReading>& readings) {
    PerBattery result;
    for (const SimReading& r : readings)
        result[{r.device, r.battery}].emplace_back(r.status, r.voltageRaw, r.temperatureRaw);
    return result;
}

PerBattery ByBattery(const std::vector<ReadingMessage>& readings) {
    PerBattery result;
    for (const ReadingMessage& r : readings)
        result[{r.device, r.battery}].emplace_back(
            r.status, static_cast<int>(std::lround(r.voltage * 10)),
            static_cast<int>(std::lround(r.temperature * 10)));
    return result;
}

PerBattery StoredByBattery(const QString& dataDir) {
    PerBattery result;
    store::HistoryReader reader(store::HistoryFilePath(dataDir));
    reader.ForEachReading({}, [&](const battery::Reading& r) {
        result[{r.device, r.battery}].emplace_back(r.status, r.voltageDv, r.temperatureDc);
        return true;
    });
    return result;
}

::testing::AssertionResult TakenAsSent(const PerBattery& taken,
                                       const std::vector<std::vector<SimReading>>& runs,
                                       const QString& batmondLog, std::size_t mayMiss) {
    constexpr std::size_t kMayBeCutOff = 2;
    std::size_t missed = 0;
    struct Expected {
        std::tuple<int, int, int> values;
        bool optional;
    };
    std::map<BatteryKey, std::vector<Expected>> sent;
    for (const std::vector<SimReading>& run : runs)
        for (std::size_t i = 0; i < run.size(); ++i)
            sent[{run[i].device, run[i].battery}].push_back(
                {{run[i].status, run[i].voltageRaw, run[i].temperatureRaw},
                 i + kMayBeCutOff >= run.size()});
    const bool discardsLogged = batmondLog.contains(QStringLiteral("answers late")) ||
                                batmondLog.contains(QStringLiteral("is silent"));
    for (const auto& [battery, expected] : sent) {
        const auto found = taken.find(battery);
        const std::vector<std::tuple<int, int, int>> none;
        const auto& readings = found == taken.end() ? none : found->second;
        std::size_t next = 0;
        for (const Expected& e : expected) {
            if (next < readings.size() && readings[next] == e.values) {
                ++next;
            } else if (!e.optional && !discardsLogged && ++missed > mayMiss) {
                return ::testing::AssertionFailure()
                       << "battery " << std::hex << std::get<0>(battery) << std::dec << '/'
                       << std::get<1>(battery) << ": an answered reading is missing, more than "
                       << mayMiss << " in all";
            }
        }
        if (next != readings.size())
            return ::testing::AssertionFailure()
                   << "battery " << std::hex << std::get<0>(battery) << std::dec << '/'
                   << std::get<1>(battery) << ": a reading added, doubled or out of order";
    }
    if (taken.size() > sent.size())
        return ::testing::AssertionFailure() << "readings of a battery the bus never answered for";
    return ::testing::AssertionSuccess();
}

QByteArray FetchMetrics(quint16 port) { return FetchHttp(port, "/metrics"); }

QByteArray FetchHttp(quint16 port, const QByteArray& path) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!WaitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; })) return {};
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    WaitUntil([&] {
        answer += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    });
    answer += socket.readAll();
    const qsizetype body = answer.indexOf("\r\n\r\n");
    if (!answer.startsWith("HTTP/1.1 200") || body < 0) return {};
    return answer.mid(body + 4);
}

}  // namespace servicetest
