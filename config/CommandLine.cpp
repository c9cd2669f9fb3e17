#include "config/CommandLine.h"

#include <cstdio>

#include "config/Log.h"

namespace config {
namespace {

// The argument as typed that carries the unknown option `name` ("-x" or "--bogus"), without a
// value given with '='.
QString TypedOption(const QStringList& arguments, const QString& name) {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString argument = arguments[i].section(u'=', 0, 0);
        if (argument == QStringLiteral("-") + name || argument == QStringLiteral("--") + name)
            return argument;
    }
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// `lead` followed by `text`, its words wrapped at 80 columns under the end of `lead`.
QString Wrapped(const QString& lead, const QString& text) {
    constexpr qsizetype kColumns = 80;
    QString result = lead;
    qsizetype column = lead.size();
    const QString indent(lead.size(), u' ');
    bool first = true;
    for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (!first && column + 1 + word.size() > kColumns) {
            result += u'\n' + indent;
            column = indent.size();
        } else if (!first) {
            result += u' ';
            ++column;
        }
        result += word;
        column += word.size();
        first = false;
    }
    return result + u'\n';
}

}  // namespace

int Finish(const QString& program, const Exit& exit) {
    if (exit.status == 0) {
        const QByteArray text = exit.text.toUtf8();
        std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
        if (!text.endsWith('\n')) std::fputc('\n', stdout);
        std::fflush(stdout);
    } else {
        qCCritical(ConfigLog).noquote() << program + QStringLiteral(": ") + exit.text;
    }
    return exit.status;
}

CommandLine::CommandLine(QString program, QString synopsis, QString description,
                         SettingTable settings)
    : program_(std::move(program)),
      synopsis_(std::move(synopsis)),
      description_(std::move(description)),
      settings_(settings) {
    // "-port" is taken as "--port", not as "-p -o -r -t".
    parser_.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const Setting& setting : settings_) {
        if (setting.place == SettingPlace::File) continue;
        optionKeys_.append(OptionKey(setting.key));
        parser_.addOption(QCommandLineOption(optionKeys_.constLast(),
                                             QString::fromUtf8(setting.help),
                                             QString::fromLatin1(setting.valueName)));
    }
    parser_.addOption(QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")},
                                         QStringLiteral("Show this help and exit.")));
    parser_.addOption(QCommandLineOption(QStringLiteral("version"),
                                         QStringLiteral("Show the version and exit.")));
}

bool CommandLine::Parse(const QStringList& arguments, Exit* exit) {
    const bool parsed = parser_.parse(arguments);
    if (parser_.isSet(QStringLiteral("help"))) {
        *exit = {0, HelpText()};
        return false;
    }
    if (parser_.isSet(QStringLiteral("version"))) {
        *exit = {0, VersionText()};
        return false;
    }
    QString problem;
    if (!parser_.unknownOptionNames().isEmpty()) {
        problem = QStringLiteral("unknown option '%1'")
                      .arg(TypedOption(arguments, parser_.unknownOptionNames().constFirst()));
    } else if (!parsed) {
        // "Missing value after '--port'." and the like.
        problem = parser_.errorText();
        if (problem.endsWith(u'.')) problem.chop(1);
        if (!problem.isEmpty()) problem[0] = problem[0].toLower();
    } else if (!parser_.positionalArguments().isEmpty()) {
        problem = QStringLiteral("unexpected argument '%1'")
                      .arg(parser_.positionalArguments().constFirst());
    } else {
        return true;
    }
    *exit = {2, QStringLiteral("%1 (see %2 --help)").arg(problem, program_)};
    return false;
}

bool CommandLine::HasOption(const char* key) const { return optionKeys_.contains(OptionKey(key)); }

bool CommandLine::IsSet(const char* key) const {
    return HasOption(key) && parser_.isSet(OptionKey(key));
}

QString CommandLine::Value(const char* key) const {
    return HasOption(key) ? parser_.value(OptionKey(key)) : QString();
}

QStringList CommandLine::Values(const char* key) const {
    return HasOption(key) ? parser_.values(OptionKey(key)) : QStringList();
}

QString CommandLine::HelpText() const {
    QList<std::pair<QString, QString>> rows;  // the option as typed, its help
    QList<std::pair<QString, QString>> fileRows;
    for (const Setting& setting : settings_) {
        const QString help = QString::fromUtf8(setting.help);
        if (setting.place == SettingPlace::File) {
            QString key = QString::fromLatin1(setting.key);
            if (setting.qualifierName)
                key += QStringLiteral("[.%1]").arg(QLatin1String(setting.qualifierName));
            fileRows.append({key, help});
            continue;
        }
        QString option = OptionName(setting.key);
        if (setting.valueName) option += u' ' + QString::fromLatin1(setting.valueName);
        rows.append({option, help});
    }
    rows.append({QStringLiteral("-h, --help"), QStringLiteral("Show this help and exit.")});
    rows.append({QStringLiteral("--version"), QStringLiteral("Show the version and exit.")});

    qsizetype width = 0;
    for (const auto& row : rows + fileRows) width = std::max(width, row.first.size());
    const auto table = [&](const QList<std::pair<QString, QString>>& list) {
        QString text;
        for (const auto& [name, help] : list)
            text += Wrapped(QStringLiteral("  %1  ").arg(name.leftJustified(width)), help);
        return text;
    };
    QString text = QStringLiteral("usage: %1 %2\n").arg(program_, synopsis_);
    if (!description_.isEmpty()) {
        text += u'\n';
        for (const QString& paragraph : description_.split(u'\n')) text += Wrapped({}, paragraph);
    }
    text += QStringLiteral("\nOptions:\n") + table(rows);
    if (!fileRows.isEmpty())
        text += QStringLiteral("\nIn the configuration file only:\n") + table(fileRows);
    return text;
}

QString ProgramVersion() { return QStringLiteral(BATMON_VERSION); }

QString CommandLine::VersionText() const {
    return QStringLiteral("%1 %2\n").arg(program_, ProgramVersion());
}

QStringList ArgumentsOf(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

}  // namespace config
