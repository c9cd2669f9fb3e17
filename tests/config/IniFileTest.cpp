// The strict INI reader: values exactly as written, refusals that name the file, the line and
// the reason, and unknown keys and sections reported for the program to judge.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "config/IniFile.h"

using config::IniFile;
using config::Setting;
using config::SettingPlace;

namespace {

constexpr Setting kSettings[] = {
    {"port", "PORT", ""},
    {"site", "NAME", ""},
    {"postgres", "CONNINFO", ""},
    {"mqtt_password", "PASSWORD", "", SettingPlace::File},
    {"config", "FILE", "", SettingPlace::CommandLine},
    {"limit", "VOLTS", "", SettingPlace::File, "BATTERY"},
};

const QString kPath = QStringLiteral("/etc/batmon/test.conf");

std::optional<IniFile> Parse(const QByteArray& text, QString* error = nullptr) {
    return IniFile::Parse(kPath, text, kSettings, error);
}

QString Refusal(const QByteArray& text) {
    QString error;
    EXPECT_FALSE(Parse(text, &error)) << text.toStdString();
    return error;
}

TEST(IniFile, valuesAreReadExactlyAsWritten) {
    const auto ini = Parse(
        "\xEF\xBB\xBF; a comment\r\n"
        "  # another one\n"
        "\n"
        "mqtt_password = pa;ss#word,\r\n"
        "site=room 1, east\n"
        "postgres =  host=db options=-csearch_path=a,b  \n"
        "port = \"  /dev/tty\"S0 \"\n");
    ASSERT_TRUE(ini);
    EXPECT_EQ(ini->Value(QStringLiteral("mqtt_password")), QStringLiteral("pa;ss#word,"));
    EXPECT_EQ(ini->Value(QStringLiteral("site")), QStringLiteral("room 1, east"));
    EXPECT_EQ(ini->Value(QStringLiteral("postgres")),
              QStringLiteral("host=db options=-csearch_path=a,b"));
    EXPECT_EQ(ini->Value(QStringLiteral("port")), QStringLiteral("  /dev/tty\"S0 "));
    EXPECT_EQ(ini->Line(QStringLiteral("site")), 5);
    EXPECT_TRUE(ini->Unknown().isEmpty());

    // A ';' or '#' after a blank is a value only in quotes.
    const auto quoted = Parse("site = \"room;1 #east\"\nmqtt_password = \"a ;b\"\n");
    ASSERT_TRUE(quoted);
    EXPECT_EQ(quoted->Value(QStringLiteral("site")), QStringLiteral("room;1 #east"));
    EXPECT_EQ(quoted->Value(QStringLiteral("mqtt_password")), QStringLiteral("a ;b"));
    EXPECT_FALSE(quoted->Contains(QStringLiteral("port")));
    EXPECT_EQ(quoted->Value(QStringLiteral("port")), QString());
}

TEST(IniFile, whatWouldBeCutOrMisreadIsRefusedWithFileAndLine) {
    const struct {
        QByteArray text;
        const char* expected;
    } cases[] = {
        {"port = x\nsite = room;1 #east\n",
         ":2: the value of 'site' has a ';' or '#' after a blank"},
        {"mqtt_password = secret ; old one\n", ":1: the value of 'mqtt_password' has a ';'"},
        {"site = \"room 1\n", ":1: the value of 'site' opens a double quote"},
        {"site = \"\n", ":1: the value of 'site' opens a double quote"},
        {"port\n", ":1: expected KEY = VALUE, not 'port'"},
        {"= x\n", ":1: expected KEY = VALUE"},
        {"port = a\n\nport = b\n", ":3: 'port' is set again (first on line 1)"},
        {"[batmond\n", ":1: a section name ends with ']'"},
    };
    for (const auto& c : cases) {
        const QString error = Refusal(c.text);
        EXPECT_TRUE(error.startsWith(kPath + QString::fromUtf8(c.expected)))
            << c.text.toStdString() << " gave: " << error.toStdString();
    }
}

TEST(IniFile, unknownKeysAndSectionsAreReportedForTheProgramToJudge) {
    const auto ini = Parse(
        "port = /dev/ttyUSB0\n"
        "keepdays = 30\n"
        "config = /elsewhere.conf\n"
        "[batmond]\n"
        "site = room-1\n"
        "not a setting at all\n");
    ASSERT_FALSE(ini) << "a line without '=' is refused even in an unknown section";

    const auto known = Parse(
        "port = /dev/ttyUSB0\n"
        "keepdays = 30\n"
        "config = /elsewhere.conf\n"
        "[batmond]\n"
        "site = room-1\n");
    ASSERT_TRUE(known);
    EXPECT_EQ(known->Unknown(),
              QStringList({kPath + QStringLiteral(":2: unknown key 'keepdays'"),
                           kPath + QStringLiteral(":3: unknown key 'config'"),
                           kPath + QStringLiteral(":4: unknown section '[batmond]'")}));
    EXPECT_EQ(known->Value(QStringLiteral("port")), QStringLiteral("/dev/ttyUSB0"));
    EXPECT_FALSE(known->Contains(QStringLiteral("site"))) << "keys of an unknown section count";
    EXPECT_FALSE(known->Contains(QStringLiteral("config"))) << "a command-line option only";
}

// A setting that takes qualifiers is given once plainly and once per thing it names; the
// qualifiers come back as written, for the program to judge.
TEST(IniFile, aQualifiedKeyIsKnownOnlyForASettingThatTakesQualifiers) {
    const auto ini = Parse(
        "limit = 40\n"
        "limit.A1-82 = 42\n"
        "limit.a0-80 = 38\n"
        "limit. = 1\n"
        "site.A1-82 = x\n"
        "port.x.y = 1\n");
    ASSERT_TRUE(ini);
    EXPECT_EQ(ini->Value(QStringLiteral("limit")), QStringLiteral("40"));
    EXPECT_EQ(ini->Qualifiers(QStringLiteral("limit")),
              QStringList({QStringLiteral("A1-82"), QStringLiteral("a0-80")}));
    EXPECT_EQ(ini->Value(QStringLiteral("limit.A1-82")), QStringLiteral("42"));
    EXPECT_EQ(ini->Line(QStringLiteral("limit.a0-80")), 3);
    EXPECT_TRUE(ini->Qualifiers(QStringLiteral("site")).isEmpty());
    EXPECT_EQ(ini->Unknown(), QStringList({kPath + QStringLiteral(":4: unknown key 'limit.'"),
                                           kPath + QStringLiteral(":5: unknown key 'site.A1-82'"),
                                           kPath + QStringLiteral(":6: unknown key 'port.x.y'")}));
    EXPECT_TRUE(
        Refusal("limit.A1-82 = 1\nlimit.A1-82 = 2\n").contains(QStringLiteral("set again")));
}

TEST(IniFile, filesThatAreNotTextOrCannotBeReadAreRefusedWithTheirCause) {
    QTemporaryDir dir;
    const auto write = [&](const char* name, const QByteArray& bytes) {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    };
    const auto refusal = [&](const QString& path) {
        QString error;
        EXPECT_FALSE(IniFile::Read(path, kSettings, &error)) << path.toStdString();
        return error;
    };

    const QString binary =
        write("binary.conf", QByteArray("port = x\n") + QByteArray("\x7f"
                                                                   "ELF\x02\x01\0\0",
                                                                   8));
    EXPECT_EQ(refusal(binary),
              binary + QStringLiteral(" is not a UTF-8 text file (line 2 holds other bytes)"));
    const QString latin1 = write("latin1.conf", "site = K\xf6ln\n");
    EXPECT_EQ(refusal(latin1),
              latin1 + QStringLiteral(" is not a UTF-8 text file (line 1 holds other bytes)"));
    const QString missing = dir.filePath(QStringLiteral("missing.conf"));
    EXPECT_EQ(refusal(missing), QStringLiteral("cannot read the configuration file %1: No such "
                                               "file or directory")
                                    .arg(missing));
    EXPECT_TRUE(
        refusal(dir.path())
            .startsWith(QStringLiteral("cannot read the configuration file %1: ").arg(dir.path())));
    const QString huge = write("huge.conf", QByteArray(IniFile::kMaxBytes + 1, '#'));
    EXPECT_EQ(refusal(huge),
              huge + QStringLiteral(" is larger than 1 MiB: not a configuration file"));

    const QString fine = write("fine.conf", "site = 机房 3\n");
    QString error;
    const auto ini = IniFile::Read(fine, kSettings, &error);
    ASSERT_TRUE(ini) << error.toStdString();
    EXPECT_EQ(ini->Value(QStringLiteral("site")), QStringLiteral("机房 3"));
    EXPECT_EQ(ini->Path(), fine);
}

}  // namespace
