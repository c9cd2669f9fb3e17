// The collector's options, from its file and its command line, and the rows it copies into
// PostgreSQL: nothing a message carries can split a field.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "collector/CollectorOptions.h"
#include "collector/PgWriter.h"
#include "mqtt/BatmonMessages.h"

namespace {

// 2026-03-01T08:00:00.125Z
constexpr qint64 kTime = 1772352000125;

ReadingMessage Reading() {
    return ReadingMessage{QStringLiteral("room-3"), 0xA1, 7, kTime, 12.1, 20.5, 0x11};
}

TEST(CollectorOptionsTest, configFileGivesDefaultsAndTheCommandLineWins) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("collector.conf"));
    QFile ini(file);
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(
        "mqtt = mqtt://config-host:1999\n"
        "postgres = \"host=/run/pg dbname=batmon options=-csearch_path=a,b\"\n"
        "client_id = room-collector\n"
        "mqtt_user = collector\n"
        "mqtt_password = \"se,cret\"\n"
        "batch_rows = 100\n");
    ini.close();
    const QString program = QStringLiteral("batmon-collector");

    auto options = ParseCollectorOptions({program, QStringLiteral("--config"), file}).options;
    ASSERT_TRUE(options);
    EXPECT_EQ(options->broker.host, QStringLiteral("config-host"));
    EXPECT_EQ(options->postgres,
              QStringLiteral("host=/run/pg dbname=batmon options=-csearch_path=a,b"));
    EXPECT_EQ(options->clientId, QStringLiteral("room-collector"));
    EXPECT_EQ(options->broker.user, QStringLiteral("collector"));
    EXPECT_EQ(options->broker.password, QStringLiteral("se,cret"));
    EXPECT_EQ(options->batchRows, 100);

    options = ParseCollectorOptions({program, QStringLiteral("--config"), file,
                                     QStringLiteral("--mqtt"), QStringLiteral("mqtt://cli:1"),
                                     QStringLiteral("--client-id"), QStringLiteral("other")})
                  .options;
    ASSERT_TRUE(options);
    EXPECT_EQ(options->broker.host, QStringLiteral("cli"));
    EXPECT_EQ(options->clientId, QStringLiteral("other"));

    const auto refused = [&](const QStringList& arguments) {
        const auto parsed = ParseCollectorOptions(QStringList{program} + arguments);
        EXPECT_FALSE(parsed.options) << arguments.join(u' ').toStdString();
        EXPECT_EQ(parsed.exit.status, 2) << arguments.join(u' ').toStdString();
        return parsed.exit.text;
    };
    EXPECT_TRUE(refused({QStringLiteral("--mqtt"), QStringLiteral("mqtt://h")})
                    .contains(QStringLiteral("--postgres")));
    EXPECT_TRUE(refused({QStringLiteral("--config"), dir.filePath(QStringLiteral("missing.conf"))})
                    .contains(QStringLiteral("missing.conf")));
    refused({QStringLiteral("--mqtt"), QStringLiteral("tcp://h"), QStringLiteral("--postgres"),
             QStringLiteral("x")});
    const QStringList broker{QStringLiteral("--mqtt"), QStringLiteral("mqtt://h")};
    // A password on the command line is visible to every user in ps: the file only.
    EXPECT_TRUE(refused(broker + QStringList{QStringLiteral("--postgres"),
                                             QStringLiteral("host=db password=pw")})
                    .contains(QStringLiteral("configuration file")));
    EXPECT_TRUE(refused(broker + QStringList{QStringLiteral("--postgres"),
                                             QStringLiteral("postgresql://u:pw@db/batmon")})
                    .contains(QStringLiteral("configuration file")));
    EXPECT_TRUE(refused(broker + QStringList{QStringLiteral("--postgres"),
                                             QStringLiteral("host=db colour=red")})
                    .contains(QStringLiteral("colour")));
    EXPECT_TRUE(refused(broker + QStringList{QStringLiteral("--postgres"), QStringLiteral("x"),
                                             QStringLiteral("--ca-file"),
                                             QStringLiteral("/nonexistent/ca.crt")})
                    .contains(QStringLiteral("/nonexistent/ca.crt does not exist")));

    QFile withPassword(file);
    ASSERT_TRUE(withPassword.open(QIODevice::WriteOnly | QIODevice::Truncate));
    withPassword.write("postgres = host=db password=p;w\n");
    withPassword.close();
    options = ParseCollectorOptions({program, QStringLiteral("--config"), file,
                                     QStringLiteral("--mqtt"), QStringLiteral("mqtt://h")})
                  .options;
    ASSERT_TRUE(options);
    EXPECT_EQ(options->postgres, QStringLiteral("host=db password=p;w"));

    // A key the collector does not know (batmond's keep_days here) stops it at start.
    ASSERT_TRUE(withPassword.open(QIODevice::WriteOnly | QIODevice::Truncate));
    withPassword.write("postgres = host=db\nkeep_days = 3\n");
    withPassword.close();
    EXPECT_EQ(refused(broker + QStringList{QStringLiteral("--config"), file}),
              file + QStringLiteral(":2: unknown key 'keep_days'"));
}

TEST(CopyRows, escapeWhatWouldSplitAField) {
    ReadingMessage reading = Reading();
    reading.site = QStringLiteral("a\\b");
    EXPECT_EQ(ReadingCopyRows({&reading, 1}),
              QByteArray("a\\\\b\t161\t7\t2026-03-01T08:00:00.125Z\t12.1\t20.5\t17\n"));
    const AlarmMessage alarm{QStringLiteral("s"),
                             0xA0,
                             1,
                             kTime,
                             QStringLiteral("no_answer"),
                             QStringLiteral("acknowledged"),
                             {},
                             QStringLiteral("x\ty\nz")};
    EXPECT_EQ(AlarmCopyRows({&alarm, 1}),
              QByteArray("s\t160\t1\t2026-03-01T08:00:00.125Z\tno_answer\tacknowledged\t\\N\t"
                         "x\\ty\\nz\t\\N\n"));
    AlarmMessage withLevel = alarm;
    withLevel.level = QStringLiteral("warning");
    EXPECT_TRUE(AlarmCopyRows({&withLevel, 1}).endsWith("\twarning\n"));
}

}  // namespace
