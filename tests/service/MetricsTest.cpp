#include <gtest/gtest.h>

#include <QTcpSocket>

#include "battery/Status.h"
#include "service/MetricsText.h"
#include "service/ServiceOptions.h"
#include "tests/common/WaitFor.h"
#include "tests/service/PromText.h"
#include "web/RoomState.h"
#include "web/WebServer.h"

namespace {

using testsupport::WaitUntil;

battery::Reading Reading(std::uint8_t device, std::uint8_t battery, qint64 tMs, int voltageDv,
                         int temperatureDc, int status) {
    battery::Reading r;
    r.device = device;
    r.battery = battery;
    r.tMs = tMs;
    r.voltageDv = static_cast<std::uint8_t>(voltageDv);
    r.temperatureDc = static_cast<std::uint16_t>(temperatureDc);
    r.status = static_cast<std::uint8_t>(status);
    return r;
}

promtext::Exposition ParseOrFail(const QByteArray& text) {
    QString error;
    const auto parsed = promtext::Parse(text, &error);
    EXPECT_TRUE(parsed) << error.toStdString() << "\n" << text.toStdString();
    EXPECT_EQ(promtext::PromtoolFindings(text), QString()) << text.toStdString();
    return parsed.value_or(promtext::Exposition{});
}

TEST(StationMetrics, LatestReadingOfEveryBatteryWithItsLabels) {
    StationMetrics metrics;
    metrics.SetSiteLabel(QStringLiteral("room-1"));
    metrics.RecordReading(Reading(0xA0, 3, 1'700'000'000'125, 121, 205, 0x11));
    metrics.RecordReading(Reading(0xA1, 5, 1'700'000'000'500, 98, 0, 0x20));
    metrics.RecordReading(Reading(0xA0, 3, 1'700'000'010'250, 119, 211, 0x72));  // newer

    const promtext::Exposition e = ParseOrFail(metrics.Render());
    const std::map<QString, QString> a0b3{{"site", "room-1"}, {"device", "A0"}, {"battery", "3"}};
    EXPECT_DOUBLE_EQ(*promtext::Value(e, "batmon_battery_voltage_volts", a0b3), 11.9);
    EXPECT_DOUBLE_EQ(*promtext::Value(e, "batmon_battery_temperature_celsius", a0b3), 21.1);
    EXPECT_DOUBLE_EQ(*promtext::Value(e, "batmon_battery_status", a0b3), 0x72);
    EXPECT_DOUBLE_EQ(*promtext::Value(e, "batmon_battery_last_reading_timestamp_seconds", a0b3),
                     1'700'000'010.25);
    const std::map<QString, QString> a1b5{{"device", "A1"}, {"battery", "5"}};
    EXPECT_DOUBLE_EQ(*promtext::Value(e, "batmon_battery_voltage_volts", a1b5), 9.8);
    EXPECT_EQ(e.types.at("batmon_battery_voltage_volts"), "gauge");
    // One series per state, 1 for the latest one only; a code the devices do not define is
    // "unknown".
    for (const char* state : battery::kStatusKeys) {
        std::map<QString, QString> labels = a0b3;
        labels["state"] = QString::fromLatin1(state);
        EXPECT_EQ(*promtext::Value(e, "batmon_battery_state", labels),
                  QLatin1String(state) == u"temperature" ? 1 : 0)
            << state;
        labels = a1b5;
        labels["state"] = QString::fromLatin1(state);
        EXPECT_EQ(*promtext::Value(e, "batmon_battery_state", labels),
                  QLatin1String(state) == u"unknown" ? 1 : 0)
            << state;
    }
    // Two batteries: four gauges and six states each; then up, two devices, build info,
    // requests, answers and four error reasons.
    EXPECT_EQ(e.samples.size(), 2u * (4 + 6) + 10);
    for (const promtext::Sample& sample : e.samples)
        EXPECT_EQ(sample.labels.at("site"), "room-1") << sample.name.toStdString();
}

TEST(StationMetrics, CountersAlarmsAndAwkwardSiteNamesStayValid) {
    StationMetrics metrics;
    metrics.SetSiteLabel(QStringLiteral("Raum \"Süd\" \\ 2\nzwei"));
    AnswerCounts counts;
    counts.requests = 160;
    counts.accepted = 120;
    counts.crc = 3;
    counts.address = 1;
    counts.late = 2;
    counts.lost = 4;
    metrics.SetCounts(counts);
    metrics.SetAlarm(0xA0, 1, QStringLiteral("voltage_low"), true);
    metrics.SetAlarm(0xA0, 1, QStringLiteral("temperature_high"), false);

    const promtext::Exposition e = ParseOrFail(metrics.Render());
    const QString site = QStringLiteral("Raum \"Süd\" \\ 2\nzwei");
    EXPECT_EQ(*promtext::Value(e, "batmon_requests_total", {{"site", site}}), 160);
    // Answers taken, and the failures by reason in a metric of their own.
    EXPECT_EQ(*promtext::Value(e, "batmon_answers_total", {{"site", site}}), 120);
    for (const auto& [reason, value] :
         std::map<QString, double>{{"crc", 3}, {"address", 1}, {"late", 2}, {"lost", 4}})
        EXPECT_EQ(*promtext::Value(e, "batmon_answer_errors_total", {{"reason", reason}}), value)
            << reason.toStdString();
    EXPECT_EQ(*promtext::Value(e, "batmon_alarm_active", {{"kind", "voltage_low"}}), 1);
    EXPECT_EQ(*promtext::Value(e, "batmon_alarm_active", {{"kind", "temperature_high"}}), 0);
    EXPECT_EQ(e.types.at("batmon_answers_total"), "counter");
    EXPECT_EQ(e.types.at("batmon_answer_errors_total"), "counter");
}

// Without the site label no series has one; the bus is up while one device answers; build info
// carries the version; the store's series come only with a store.
TEST(StationMetrics, UpBuildInfoAndStoreWithoutASiteLabel) {
    StationMetrics metrics(QStringLiteral("1.2.3"));
    metrics.RecordReading(Reading(0xA0, 0, 1'700'000'000'000, 120, 200, 0x11));
    promtext::Exposition e = ParseOrFail(metrics.Render());
    EXPECT_EQ(*promtext::Value(e, "batmon_up", {}), 0);
    EXPECT_EQ(*promtext::Value(e, "batmon_device_up", {{"device", "A0"}}), 0);
    EXPECT_EQ(*promtext::Value(e, "batmon_build_info", {{"version", "1.2.3"}}), 1);
    EXPECT_FALSE(e.types.contains("batmon_store_healthy"));
    for (const promtext::Sample& sample : e.samples)
        EXPECT_FALSE(sample.labels.contains("site")) << sample.name.toStdString();

    metrics.SetDeviceUp(0xA1, true);
    metrics.SetStore(StoreMetrics{false, 42});
    e = ParseOrFail(metrics.Render());
    EXPECT_EQ(*promtext::Value(e, "batmon_up", {}), 1);
    EXPECT_EQ(*promtext::Value(e, "batmon_device_up", {{"device", "A0"}}), 0);
    EXPECT_EQ(*promtext::Value(e, "batmon_device_up", {{"device", "A1"}}), 1);
    EXPECT_EQ(*promtext::Value(e, "batmon_store_healthy", {}), 0);
    EXPECT_EQ(*promtext::Value(e, "batmon_store_unwritten_readings", {}), 42);

    metrics.SetDeviceUp(0xA1, false);
    EXPECT_EQ(*promtext::Value(ParseOrFail(metrics.Render()), "batmon_up", {}), 0);
}

TEST(StationMetrics, HelpTextsEscapeBackslashAndLineFeedOnly) {
    EXPECT_EQ(EscapeHelp(QStringLiteral("a \\ \"b\"\nc")), QStringLiteral("a \\\\ \"b\"\\nc"));
    EXPECT_EQ(EscapeLabelValue(QStringLiteral("a \\ \"b\"\nc")),
              QStringLiteral("a \\\\ \\\"b\\\"\\nc"));
}

// /metrics as batmond's --metrics listener serves it: the web server in its metrics-only form,
// answering with the text the station last published.
class MetricsServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto state = std::make_shared<web::RoomState>();
        state->metrics = QByteArray("# TYPE x gauge\nx 1\n");
        board_.Publish(state);
        web::WebServerOptions options;
        options.listen = *web::ParseHttpAddress(QStringLiteral("127.0.0.1:0"));
        options.metricsOnly = true;
        server_ = std::make_unique<web::WebServer>(options, board_, nullptr, nullptr);
        QString error;
        ASSERT_TRUE(server_->Start(&error)) << error.toStdString();
    }
    // Sends `request` and returns everything the server answered before closing.
    QByteArray Exchange(const QByteArray& request) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server_->Port());
        EXPECT_TRUE(WaitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
        socket.write(request);
        QByteArray answer;
        WaitUntil(
            [&] {
                answer += socket.readAll();
                return socket.state() == QAbstractSocket::UnconnectedState;
            },
            std::chrono::seconds(15));
        return answer + socket.readAll();
    }

    web::RoomBoard board_;
    std::unique_ptr<web::WebServer> server_;
};

TEST_F(MetricsServerTest, ServesMetricsAndRefusesEverythingElse) {
    QByteArray answer = Exchange("GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200 OK\r\n")) << answer.toStdString();
    EXPECT_TRUE(answer.contains("Content-Type: text/plain; version=0.0.4"));
    EXPECT_TRUE(answer.contains("Content-Length: 19\r\n"));
    EXPECT_TRUE(answer.endsWith("\r\n\r\n# TYPE x gauge\nx 1\n"));

    // A request that comes in pieces is answered once it is whole.
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server_->Port());
    ASSERT_TRUE(WaitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
    socket.write("GET /metrics?x=1 HT");
    socket.flush();
    EXPECT_TRUE(testsupport::HoldsFor([&] { return socket.bytesAvailable() == 0; },
                                      std::chrono::milliseconds(200)));
    socket.write("TP/1.0\r\n\r\n");
    ASSERT_TRUE(WaitUntil([&] { return socket.bytesAvailable() > 0; }));
    EXPECT_TRUE(socket.readAll().startsWith("HTTP/1.1 200 OK"));

    // Only /metrics, and only to read it: the metrics listener serves no page and no API.
    EXPECT_TRUE(Exchange("GET / HTTP/1.1\r\nConnection: close\r\n\r\n").startsWith("HTTP/1.1 404"));
    EXPECT_TRUE(Exchange("GET /api/v1/latest HTTP/1.1\r\nConnection: close\r\n\r\n")
                    .startsWith("HTTP/1.1 404"));
    EXPECT_TRUE(Exchange("POST /metrics HTTP/1.1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                    .startsWith("HTTP/1.1 404"));
    EXPECT_TRUE(Exchange("garbage\r\n\r\n").startsWith("HTTP/1.1 400"));
    answer = Exchange("HEAD /metrics HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200") && answer.endsWith("\r\n\r\n"));
}

TEST_F(MetricsServerTest, EndlessRequestHeadIsCutOff) {
    const QByteArray answer = Exchange("GET /metrics HTTP/1.1\r\nX: " + QByteArray(20000, 'a'));
    EXPECT_FALSE(answer.contains("x 1")) << answer.toStdString();
}

// The limit holds however the head arrives: whole in one segment, or in pieces that each stay
// below it; a head of exactly 8 KiB is still answered.
TEST_F(MetricsServerTest, RequestHeadOverEightKibIsRefusedEvenWhenItArrivesWhole) {
    const QByteArray start = "GET /metrics HTTP/1.1\r\nConnection: close\r\nX: ";
    const QByteArray tooLarge = start + QByteArray(20000, 'a') + "\r\n\r\n";
    QByteArray answer = Exchange(tooLarge);
    EXPECT_FALSE(answer.contains("x 1")) << answer.left(200).toStdString();

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server_->Port());
    ASSERT_TRUE(WaitUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
    socket.write(start + QByteArray(6000, 'b'));
    socket.flush();
    ASSERT_TRUE(testsupport::HoldsFor([&] { return socket.bytesAvailable() == 0; },
                                      std::chrono::milliseconds(200)));
    socket.write(QByteArray(2500, 'b') + "\r\n\r\n");
    answer.clear();
    WaitUntil([&] {
        answer += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    });
    EXPECT_FALSE(answer.contains("x 1")) << answer.left(200).toStdString();

    const QByteArray exactly = start + QByteArray(8000 - start.size() - 4, 'c') + "\r\n\r\n";
    EXPECT_TRUE(Exchange(exactly).startsWith("HTTP/1.1 200 OK"));
}

TEST(MetricsAddress, HostAndPortForms) {
    auto listen = ParseMetricsAddress(QStringLiteral("0.0.0.0:9105"));
    ASSERT_TRUE(listen);
    EXPECT_EQ(listen->address, QHostAddress(QHostAddress::AnyIPv4));
    EXPECT_EQ(listen->port, 9105);
    listen = ParseMetricsAddress(QStringLiteral("[::1]:80"));
    ASSERT_TRUE(listen);
    EXPECT_EQ(listen->address, QHostAddress(QHostAddress::LocalHostIPv6));
    listen = ParseMetricsAddress(QStringLiteral("9200"));
    ASSERT_TRUE(listen);
    EXPECT_EQ(listen->address, QHostAddress(QHostAddress::LocalHost));  // loopback unless named
    EXPECT_EQ(listen->port, 9200);
    EXPECT_EQ(ParseMetricsAddress(QStringLiteral("localhost:9100"))->address,
              QHostAddress(QHostAddress::LocalHost));
    for (const char* bad : {"host:0", "9105:0", "not-an-address:9105", "127.0.0.1"})
        EXPECT_FALSE(ParseMetricsAddress(QString::fromLatin1(bad))) << bad;
}

}  // namespace
