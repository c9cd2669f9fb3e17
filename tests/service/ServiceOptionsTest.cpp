#include <gtest/gtest.h>

#include <QFile>
#include <QSysInfo>
#include <QTemporaryDir>

#include "service/ServiceOptions.h"

namespace {

class ServiceOptionsTest : public ::testing::Test {
protected:
    QString WriteConfig(const QByteArray& text) {
        const QString path = dir_.filePath(QStringLiteral("batmond.conf"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        return path;
    }
    std::optional<ServiceOptions> Parse(QStringList arguments, const QString& defaultConfig = {}) {
        arguments.prepend(QStringLiteral("batmond"));
        const auto parsed = ParseServiceOptions(arguments, defaultConfig);
        error_ = parsed.options ? QString() : parsed.exit.text;
        status_ = parsed.options ? -1 : parsed.exit.status;
        return parsed.options;
    }

    QTemporaryDir dir_;
    QString error_;
    int status_ = -1;  // of the exit when there are no options
};

TEST_F(ServiceOptionsTest, CommandLineAloneGivesDefaultsForTheRest) {
    const auto options = Parse({QStringLiteral("--port"), QStringLiteral("ttyUSB0")});
    ASSERT_TRUE(options) << error_.toStdString();
    EXPECT_EQ(options->port, QStringLiteral("ttyUSB0"));
    EXPECT_EQ(options->periodSeconds, 10);
    EXPECT_EQ(options->site, QSysInfo::machineHostName());
    EXPECT_FALSE(options->mqtt);
    EXPECT_TRUE(options->metrics.isEmpty());
    EXPECT_TRUE(options->configFile.isEmpty());
}

TEST_F(ServiceOptionsTest, CommandLineWinsOverTheFileAndTheFileFillsTheRest) {
    const QString config = WriteConfig(
        "port = /dev/ttyS0\nperiod = 5\nsite = room-7\nmqtt = mqtt://broker:1884\n"
        "mqtt_user = batmon\nmqtt_password = a,b,c\nmetrics = 0.0.0.0:9105\ndata_dir = /srv/x\n");
    const auto options =
        Parse({QStringLiteral("--config"), config, QStringLiteral("--period"), QStringLiteral("2"),
               QStringLiteral("--site"), QStringLiteral("room-8")});
    ASSERT_TRUE(options) << error_.toStdString();
    EXPECT_EQ(options->port, QStringLiteral("/dev/ttyS0"));
    EXPECT_EQ(options->periodSeconds, 2);
    EXPECT_EQ(options->site, QStringLiteral("room-8"));
    EXPECT_EQ(options->dataDir, QStringLiteral("/srv/x"));
    EXPECT_EQ(options->metrics, QStringLiteral("0.0.0.0:9105"));
    ASSERT_TRUE(options->mqtt);
    EXPECT_EQ(options->mqtt->host, QStringLiteral("broker"));
    EXPECT_EQ(options->mqtt->port, 1884);
    EXPECT_EQ(options->mqtt->user, QStringLiteral("batmon"));
    EXPECT_EQ(options->mqtt->password, QStringLiteral("a,b,c"));  // commas are not list separators
}

// The switches take the usual spellings; the site label and discovery are off by default.
TEST_F(ServiceOptionsTest, SwitchesForTheSiteLabelAndHomeAssistantDiscovery) {
    auto options = Parse({QStringLiteral("--port"), QStringLiteral("p")});
    ASSERT_TRUE(options) << error_.toStdString();
    EXPECT_FALSE(options->metricsSiteLabel);
    EXPECT_FALSE(options->haDiscovery);
    EXPECT_EQ(options->haPrefix, QStringLiteral("homeassistant"));

    const QString config = WriteConfig(
        "port = p\nmqtt = mqtt://broker\nha_discovery = Yes\nha_prefix = ha/one\n"
        "metrics_site_label = on\n");
    options = Parse({QStringLiteral("--config"), config});
    ASSERT_TRUE(options) << error_.toStdString();
    EXPECT_TRUE(options->metricsSiteLabel);
    EXPECT_TRUE(options->haDiscovery);
    EXPECT_EQ(options->haPrefix, QStringLiteral("ha/one"));
    options = Parse({QStringLiteral("--config"), config, QStringLiteral("--metrics-site-label"),
                     QStringLiteral("FALSE")});
    ASSERT_TRUE(options) << error_.toStdString();
    EXPECT_FALSE(options->metricsSiteLabel);
}

TEST_F(ServiceOptionsTest, DefaultFileIsReadOnlyWhenItExistsAndConfigOverridesIt) {
    const QString config = WriteConfig("port = ttyUSB3\n");
    auto options = Parse({}, config);
    ASSERT_TRUE(options) << error_.toStdString();
    EXPECT_EQ(options->port, QStringLiteral("ttyUSB3"));
    EXPECT_EQ(options->configFile, config);

    options = Parse({QStringLiteral("--port"), QStringLiteral("x")},
                    dir_.filePath(QStringLiteral("missing.conf")));
    ASSERT_TRUE(options) << error_.toStdString();
    EXPECT_TRUE(options->configFile.isEmpty());
}

TEST_F(ServiceOptionsTest, RefusesWhatCouldNeverWork) {
    const struct {
        QStringList arguments;
        const char* why;
    } cases[] = {
        {{}, "no port"},
        {{"--port", "p", "--period", "0"}, "zero period"},
        {{"--port", "p", "--period", "ten"}, "period not a number"},
        {{"--port", "p", "--period", "86401"}, "period beyond a day"},
        {{"--port", "p", "--site", "a/b"}, "site with a topic separator"},
        {{"--port", "p", "--site", "room#1"}, "site with a wildcard"},
        {{"--port", "p", "--mqtt", "http://x"}, "not an MQTT URL"},
        {{"--port", "p", "--metrics", "127.0.0.1"}, "metrics without a port"},
        {{"--port", "p", "--metrics", "127.0.0.1:70000"}, "metrics port out of range"},
        {{"--port", "p", "--metrics", "not-an-address:9105"}, "metrics host not an address"},
        {{"--port", "p", "--config", "/nonexistent/batmond.conf"}, "unreadable config"},
        {{"--port", "p", "stray"}, "positional argument"},
        {{"--port", "p", "--keep-days", "-1"}, "negative retention"},
        {{"--port", "tcp://127.0.0.1:0"}, "TCP port 0"},
        {{"--port", "tcp://[::1]:70000"}, "TCP port beyond 65535"},
        {{"--port", "/etc/passwd"}, "a file that is not a character device"},
        {{"--port", "p", "--mqtt", "mqtt://user:secret@h"}, "a login in the URL"},
        {{"--port", "p", "--mqtt", "mqtts://h", "--ca-file", "/nonexistent"}, "no CA file"},
        {{"--port", "p", "--bogus"}, "unknown option"},
        {{"--port", "p", "--metrics-site-label", "maybe"}, "a switch neither true nor false"},
        {{"--port", "p", "--mqtt", "mqtt://h", "--ha-discovery", "2"}, "a switch of 2"},
        {{"--port", "p", "--ha-discovery", "true"}, "discovery without a broker"},
        {{"--port", "p", "--ha-prefix", "home/+"}, "a wildcard in the discovery prefix"},
        {{"--port", "p", "--ha-prefix", "home/"}, "an empty level in the discovery prefix"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(Parse(c.arguments)) << c.why;
        EXPECT_FALSE(error_.isEmpty()) << c.why;
        EXPECT_FALSE(error_.contains(u'\n')) << c.why;
        EXPECT_EQ(status_, 2) << c.why;
    }
    // A device that is not there yet may be plugged in later: batmond retries it.
    EXPECT_TRUE(Parse({QStringLiteral("--port"), dir_.filePath(QStringLiteral("ttyUSB7"))}));
    EXPECT_TRUE(Parse({QStringLiteral("--port"), QStringLiteral("/dev/null")}));
}

TEST_F(ServiceOptionsTest, TheFileIsReadExactlyAndWhatItDoesNotKnowIsRefused) {
    const QString config = WriteConfig(
        "port = tcp://rs485-gw:4196\n"
        "site = room 1, east\n"
        "mqtt = mqtt://broker\n"
        "mqtt_user = batmon\n"
        "mqtt_password = pa;ss #1\"\n");
    auto options = Parse({QStringLiteral("--config"), config});
    ASSERT_FALSE(options) << "a '#' after a blank reads like a comment";
    EXPECT_EQ(error_, config + QStringLiteral(":5: the value of 'mqtt_password' has a ';' or '#' "
                                              "after a blank, which reads like a comment: put the "
                                              "value in double quotes to keep it, or the comment "
                                              "on a line of its own"));

    WriteConfig(
        "port = tcp://rs485-gw:4196\n"
        "site = room 1, east\n"
        "mqtt = mqtt://broker\n"
        "mqtt_user = batmon\n"
        "mqtt_password = \"pa;ss #1\"\n");
    options = Parse({QStringLiteral("--config"), config});
    ASSERT_TRUE(options) << error_.toStdString();
    EXPECT_EQ(options->site, QStringLiteral("room 1, east"));
    ASSERT_TRUE(options->mqtt);
    EXPECT_EQ(options->mqtt->user, QStringLiteral("batmon"));
    EXPECT_EQ(options->mqtt->password, QStringLiteral("pa;ss #1"));

    const struct {
        QByteArray text;
        const char* error;
    } refused[] = {
        {"port = x\nkeepdays = 30\n", ":2: unknown key 'keepdays'"},
        {"[batmond]\nport = x\n", ":1: unknown section '[batmond]'"},
        {"port = x\nsite = room;1 #east\n", ":2: the value of 'site' has a ';' or '#'"},
        {"port = x\nperiod = 10 ; seconds\n", ":2: the value of 'period' has a ';' or '#'"},
        {"port = x\nperiod = 0\n", ":2: period must be 1 to 86400 seconds, not \"0\""},
        {"port = x\nsite = a/b\n", ":2: site: the site name \"a/b\" cannot be a topic level"},
        {"port = x\nmqtt = mqtt://u:pw@h\n", ":2: mqtt: a broker URL carries no login"},
        {QByteArray("port = x\n\0\x01", 11),
         " is not a UTF-8 text file (line 2 holds other bytes)"},
    };
    for (const auto& r : refused) {
        WriteConfig(r.text);
        EXPECT_FALSE(Parse({QStringLiteral("--config"), config})) << r.error;
        EXPECT_TRUE(error_.startsWith(config + QString::fromUtf8(r.error))) << error_.toStdString();
        EXPECT_EQ(status_, 2) << r.error;
    }
}

TEST_F(ServiceOptionsTest, TheInstalledExampleFileReadsAsItSays) {
    const auto options = Parse({QStringLiteral("--config"), QStringLiteral(BATMOND_CONF_EXAMPLE)});
    ASSERT_TRUE(options) << error_.toStdString();
    EXPECT_EQ(options->port, QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(options->periodSeconds, 10);
    EXPECT_EQ(options->keepDays, 0);
    EXPECT_FALSE(options->mqtt);
    EXPECT_EQ(options->alarms, alarms::AlarmSettings{});

    // Its alarm lines, switched on as they stand, are the defaults and the limits they show.
    QFile example(QStringLiteral(BATMOND_CONF_EXAMPLE));
    ASSERT_TRUE(example.open(QIODevice::ReadOnly));
    QByteArray text;
    for (const QByteArray& line : example.readAll().split('\n'))
        text += (line.startsWith(";alarm_") ? line.mid(1) : line) + '\n';
    const auto switchedOn = Parse({QStringLiteral("--config"), WriteConfig(text)});
    ASSERT_TRUE(switchedOn) << error_.toStdString();
    alarms::AlarmSettings expected;
    expected.limits = {{12.0, 11.5}, {14.4, 14.8}, {40.0, 45.0}};
    expected.batteryLimits[{battery::kDeviceA1, 2}].highTemperature.warning = 42.0;
    EXPECT_EQ(switchedOn->alarms, expected);
}

// The alarm rules' keys: a battery's own limits by its register name, the defaults for what is
// not set, and a value the limits dialog would refuse refused with the key's file and line.
TEST_F(ServiceOptionsTest, AlarmSettingsComeFromTheFileAndBadOnesAreRefusedWithTheirKey) {
    const QString config = WriteConfig(
        "port = x\n"
        "alarm_high_temperature_critical = 45\n"
        "alarm_high_temperature_warning.a1-82 = 38\n"
        "alarm_low_voltage_critical.A0-80 = 11.2\n"
        "alarm_on_delay = 3\n"
        "alarm_voltage_spread_warning = off\n"
        "alarm_temperature_clear_margin = 0.5\n");
    const auto options = Parse({QStringLiteral("--config"), config});
    ASSERT_TRUE(options) << error_.toStdString();
    const alarms::AlarmSettings& settings = options->alarms;
    EXPECT_EQ(settings.limits.highTemperature, (alarms::LevelLimits{std::nullopt, 45.0}));
    EXPECT_EQ(settings.LimitsOf({battery::kDeviceA1, 2}).highTemperature,
              (alarms::LevelLimits{38.0, 45.0}));
    EXPECT_EQ(settings.LimitsOf({battery::kDeviceA0, 0}).lowVoltage,
              (alarms::LevelLimits{std::nullopt, 11.2}));
    EXPECT_EQ(settings.onDelayReadings, 3);
    EXPECT_EQ(settings.temperatureClearMarginC, 0.5);
    EXPECT_EQ(settings.strings.voltageSpread, (alarms::LevelLimits{std::nullopt, 1.0}));
    EXPECT_EQ(settings.strings.voltageDeviation, (alarms::LevelLimits{0.3, 0.5})) << "default";

    const struct {
        QByteArray text;
        const char* error;
    } refused[] = {
        {"port = x\nalarm_on_delay = 0\n",
         ":2: alarm_on_delay: must be a whole number of readings from 1 to 100, not \"0\""},
        {"port = x\nalarm_low_voltage_warning = 11\nalarm_low_voltage_critical = 11.5\n",
         ":2: alarm_low_voltage_warning: must not be below alarm_low_voltage_critical"},
        {"port = x\nalarm_high_temperature_warning.A1-82 = warm\n",
         ":2: alarm_high_temperature_warning.A1-82: not a number: \"warm\""},
        {"port = x\nalarm_high_temperature_warning.A1-86 = 40\n",
         ":2: alarm_high_temperature_warning.A1-86: not a watched battery: \"A1-86\""},
        {"port = x\nalarm_high_temperature_warning.3# = 40\n",
         ":2: alarm_high_temperature_warning.3#: not a watched battery"},
        {"port = x\nalarm_on_delay.A0-80 = 3\n", ":2: unknown key 'alarm_on_delay.A0-80'"},
        {"port = x\nalarm_temperature_rise_warning = 0\n",
         ":2: alarm_temperature_rise_warning: must be above 0, not \"0\""},
    };
    for (const auto& r : refused) {
        WriteConfig(r.text);
        EXPECT_FALSE(Parse({QStringLiteral("--config"), config})) << r.error;
        EXPECT_TRUE(error_.startsWith(config + QString::fromUtf8(r.error))) << error_.toStdString();
        EXPECT_EQ(status_, 2) << r.error;
    }
}

// Discharge settings for both devices, or for one by its name; a device's settings are checked
// together, and what no device could use is refused.
TEST_F(ServiceOptionsTest, DischargeSettingsComeFromTheFileForBothDevicesOrOne) {
    const QString config = WriteConfig(
        "port = x\n"
        "discharge_end_voltage = 10.8\n"
        "discharge_start_voltage.A1 = 25.2\n"
        "discharge_end_level.A1 = 26\n"
        "discharge_end_voltage.A1 = 21\n"
        "discharge_capacity_minutes.a1 = 180\n");
    const auto options = Parse({QStringLiteral("--config"), config});
    ASSERT_TRUE(options) << error_.toStdString();
    EXPECT_EQ(options->discharge[0], (alarms::DischargeSettings{12.6, 13.0, 10.8, std::nullopt}));
    EXPECT_EQ(options->discharge[1], (alarms::DischargeSettings{25.2, 26.0, 21.0, 180}));
    EXPECT_EQ(Parse({QStringLiteral("--port"), QStringLiteral("x")})->discharge,
              alarms::DeviceDischargeSettings{})
        << "12 V defaults without the keys";

    for (const QByteArray& text : {QByteArray("port = x\ndischarge_start_voltage = 13.5\n"),
                                   QByteArray("port = x\ndischarge_end_voltage.A1 = -3\n"),
                                   QByteArray("port = x\ndischarge_start_voltage.A2 = 12\n"),
                                   QByteArray("port = x\ndischarge_capacity_minutes = 0\n"),
                                   QByteArray("port = x\ndischarge_capacity_minutes = 1.5\n")}) {
        WriteConfig(text);
        EXPECT_FALSE(Parse({QStringLiteral("--config"), config})) << text.constData();
        EXPECT_EQ(status_, 2) << text.constData();
        EXPECT_FALSE(error_.contains(u'\n')) << error_.toStdString();
    }
}

TEST_F(ServiceOptionsTest, HelpAndVersionEndTheProgramWithStatusZero) {
    EXPECT_FALSE(Parse({QStringLiteral("--help")}));
    EXPECT_EQ(status_, 0);
    EXPECT_TRUE(error_.startsWith(QStringLiteral("usage: batmond --port PORT [options]\n")));
    EXPECT_TRUE(error_.contains(QStringLiteral("--keep-days DAYS")));
    EXPECT_TRUE(error_.contains(QStringLiteral("alarm_high_temperature_warning[.BATTERY]")));
    EXPECT_FALSE(Parse({QStringLiteral("--version")}));
    EXPECT_EQ(status_, 0);
    EXPECT_TRUE(error_.startsWith(QStringLiteral("batmond ")));
}

}  // namespace
