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
        error_.clear();
        return ParseServiceOptions(arguments, defaultConfig, &error_);
    }

    QTemporaryDir dir_;
    QString error_;
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
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(Parse(c.arguments)) << c.why;
        EXPECT_FALSE(error_.isEmpty()) << c.why;
    }
}

}  // namespace
