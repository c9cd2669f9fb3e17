// The command-line front: --help and --version, one line naming a wrong argument, values as
// given, and the command line winning over the configuration file.
#include <gtest/gtest.h>

#include "config/CommandLine.h"
#include "config/IniFile.h"
#include "config/SettingValues.h"

using config::CommandLine;
using config::Exit;
using config::Setting;
using config::SettingPlace;

namespace {

constexpr Setting kSettings[] = {
    {"port", "PORT", "Serial port of the bus."},
    {"data_dir", "DIR", "Folder of the store.", SettingPlace::CommandLine},
    {"status", "CODE", "A status code (repeatable).", SettingPlace::CommandLine},
    {"alarms", nullptr, "Alarm events instead of readings.", SettingPlace::CommandLine},
    {"o", "FILE", "Output file.", SettingPlace::CommandLine},
    {"mqtt_password", "PASSWORD", "Broker password.", SettingPlace::File},
};

CommandLine Line() {
    return CommandLine(QStringLiteral("prog"), QStringLiteral("[options]"),
                       QStringLiteral("Does one thing."), kSettings);
}

// The exit of `arguments` (after the program's name); status -1 when the program runs on.
Exit ExitOf(const QStringList& arguments) {
    CommandLine line = Line();
    Exit exit{-1, {}};
    if (line.Parse(QStringList{QStringLiteral("prog")} + arguments, &exit)) return {-1, {}};
    return exit;
}

TEST(CommandLine, helpAndVersionGoToStandardOutputWithStatusZero) {
    for (const char* help : {"--help", "-h"}) {
        const Exit exit = ExitOf({QString::fromLatin1(help), QStringLiteral("--bogus")});
        EXPECT_EQ(exit.status, 0) << help;
        EXPECT_TRUE(
            exit.text.startsWith(QStringLiteral("usage: prog [options]\n\nDoes one thing.\n")))
            << exit.text.toStdString();
        for (const char* shown : {"--port PORT", "--data-dir DIR", "--alarms", "-o FILE",
                                  "--version", "In the configuration file only:\n  mqtt_password"})
            EXPECT_TRUE(exit.text.contains(QString::fromLatin1(shown))) << shown;
        EXPECT_FALSE(exit.text.contains(QStringLiteral("--mqtt-password")));
    }
    const Exit version = ExitOf({QStringLiteral("--version")});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.text, QStringLiteral("prog %1\n").arg(QStringLiteral(BATMON_TEST_VERSION)));
}

TEST(CommandLine, aWrongArgumentGivesStatusTwoAndOneLineNamingIt) {
    const struct {
        QStringList arguments;
        const char* line;
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus' (see prog --help)"},
        {{"--port", "x", "-bogus=1"}, "unknown option '-bogus' (see prog --help)"},
        {{"-x"}, "unknown option '-x' (see prog --help)"},
        {{"--mqtt-password", "secret"}, "unknown option '--mqtt-password' (see prog --help)"},
        {{"--port"}, "missing value after '--port' (see prog --help)"},
        {{"--alarms=yes"}, "unexpected value after '--alarms' (see prog --help)"},
        {{"--port", "x", "stray"}, "unexpected argument 'stray' (see prog --help)"},
    };
    for (const auto& c : cases) {
        const Exit exit = ExitOf(c.arguments);
        EXPECT_EQ(exit.status, 2) << c.line;
        EXPECT_EQ(exit.text.toStdString(), c.line);
    }
}

TEST(CommandLine, valuesArriveAsGivenInEitherForm) {
    CommandLine line = Line();
    Exit exit;
    ASSERT_TRUE(line.Parse(
        {QStringLiteral("prog"), QStringLiteral("--data-dir=/a b"), QStringLiteral("--status"),
         QStringLiteral("0x71"), QStringLiteral("-status=17"), QStringLiteral("-o"),
         QStringLiteral("-"), QStringLiteral("--alarms")},
        &exit))
        << exit.text.toStdString();
    EXPECT_EQ(line.Value("data_dir"), QStringLiteral("/a b"));
    EXPECT_EQ(line.Values("status"), QStringList({QStringLiteral("0x71"), QStringLiteral("17")}));
    EXPECT_EQ(line.Value("o"), QStringLiteral("-"));
    EXPECT_TRUE(line.IsSet("alarms"));
    EXPECT_FALSE(line.IsSet("port"));
    EXPECT_FALSE(line.HasOption("mqtt_password"));
    EXPECT_FALSE(line.IsSet("mqtt_password"));
    EXPECT_EQ(line.Value("mqtt_password"), QString());
}

TEST(SettingValues, theCommandLineWinsAndEachValueNamesWhereItCameFrom) {
    QString error;
    const auto file =
        config::IniFile::Parse(QStringLiteral("/x/prog.conf"),
                               "port = /dev/ttyS0\nmqtt_password = p;w\n", kSettings, &error);
    ASSERT_TRUE(file) << error.toStdString();

    CommandLine withPort = Line();
    Exit exit;
    ASSERT_TRUE(withPort.Parse(
        {QStringLiteral("prog"), QStringLiteral("--port"), QStringLiteral(" ttyUSB1 ")}, &exit));
    const config::SettingValues values(&withPort, &*file);
    EXPECT_EQ(values.Value("port"), QStringLiteral("ttyUSB1"));
    EXPECT_EQ(values.Label("port"), QStringLiteral("--port"));
    EXPECT_EQ(values.Value("mqtt_password"), QStringLiteral("p;w"));
    EXPECT_EQ(values.Label("mqtt_password"), QStringLiteral("/x/prog.conf:2: mqtt_password"));

    CommandLine bare = Line();
    ASSERT_TRUE(bare.Parse({QStringLiteral("prog")}, &exit));
    const config::SettingValues fromFile(&bare, &*file);
    EXPECT_EQ(fromFile.Value("port"), QStringLiteral("/dev/ttyS0"));
    EXPECT_EQ(fromFile.Label("port"), QStringLiteral("/x/prog.conf:1: port"));
    EXPECT_FALSE(fromFile.Has("data_dir"));
    EXPECT_EQ(fromFile.Label("data_dir"), QStringLiteral("--data-dir"));

    const config::SettingValues fileOnly(nullptr, &*file);
    EXPECT_EQ(fileOnly.Value("port"), QStringLiteral("/dev/ttyS0"));
    const config::SettingValues neither(nullptr, nullptr);
    EXPECT_FALSE(neither.Has("port"));
    EXPECT_EQ(neither.Label("mqtt_password"), QStringLiteral("mqtt_password"));
}

}  // namespace
