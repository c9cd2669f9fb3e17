#include "tests/service/PromText.h"

#include <QProcess>
#include <QRegularExpression>
#include <cmath>
#include <set>

namespace promtext {

namespace {

bool IsMetricName(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral("^[a-zA-Z_:][a-zA-Z0-9_:]*$"));
    return pattern.match(name).hasMatch();
}

bool IsLabelName(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral("^[a-zA-Z_][a-zA-Z0-9_]*$"));
    return pattern.match(name).hasMatch() && !name.startsWith(QStringLiteral("__"));
}

std::optional<double> ParseNumber(const QString& text) {
    if (text == QStringLiteral("NaN")) return std::nan("");
    if (text == QStringLiteral("+Inf")) return INFINITY;
    if (text == QStringLiteral("-Inf")) return -INFINITY;
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
}

// Reads `{a="x",b="y"}` from `line` at `pos`; leaves `pos` after the closing brace.
bool ParseLabels(const QString& line, qsizetype& pos, std::map<QString, QString>& labels) {
    ++pos;  // '{'
    while (pos < line.size() && line[pos] != u'}') {
        const qsizetype eq = line.indexOf(u'=', pos);
        if (eq < 0) return false;
        const QString name = line.mid(pos, eq - pos);
        if (!IsLabelName(name) || labels.count(name)) return false;
        pos = eq + 1;
        if (pos >= line.size() || line[pos] != u'"') return false;
        ++pos;
        QString value;
        for (;; ++pos) {
            if (pos >= line.size()) return false;
            const QChar c = line[pos];
            if (c == u'"') break;
            if (c == u'\\') {
                if (++pos >= line.size()) return false;
                const QChar e = line[pos];
                if (e == u'n')
                    value += u'\n';
                else if (e == u'\\' || e == u'"')
                    value += e;
                else
                    return false;
            } else {
                value += c;
            }
        }
        ++pos;  // closing quote
        labels[name] = value;
        if (pos < line.size() && line[pos] == u',') ++pos;
    }
    if (pos >= line.size()) return false;
    ++pos;  // '}'
    return true;
}

QString Family(const QString& name) {
    for (const char* suffix : {"_total", "_bucket", "_sum", "_count"})
        if (name.endsWith(QLatin1String(suffix))) return name.chopped(int(strlen(suffix)));
    return name;
}

}  // namespace

std::optional<Exposition> Parse(const QByteArray& text, QString* error) {
    Exposition result;
    std::set<QString> seriesSeen;
    std::set<QString> familiesWithSamples;
    if (!text.isEmpty() && !text.endsWith('\n')) {
        *error = QStringLiteral("no line feed at the end");
        return std::nullopt;
    }
    int number = 0;
    for (const QByteArray& raw : text.split('\n')) {
        ++number;
        const QString line = QString::fromUtf8(raw);
        const auto fail = [&](const char* why) {
            *error = QStringLiteral("line %1: %2: %3").arg(number).arg(QLatin1String(why), line);
            return std::nullopt;
        };
        if (line.isEmpty()) continue;
        if (line.startsWith(u'#')) {
            const QStringList parts = line.split(u' ');
            if (parts.size() >= 3 && parts[1] == QStringLiteral("TYPE")) {
                if (parts.size() != 4 || !IsMetricName(parts[2])) return fail("bad TYPE");
                static const std::set<QString> types{"counter", "gauge", "histogram", "summary",
                                                     "untyped"};
                if (!types.count(parts[3])) return fail("unknown type");
                if (result.types.count(parts[2])) return fail("second TYPE");
                if (familiesWithSamples.count(parts[2])) return fail("TYPE after samples");
                result.types[parts[2]] = parts[3];
            } else if (parts.size() >= 3 && parts[1] == QStringLiteral("HELP")) {
                if (!IsMetricName(parts[2])) return fail("bad HELP");
            }
            continue;
        }
        Sample sample;
        qsizetype pos = 0;
        while (pos < line.size() && line[pos] != u'{' && line[pos] != u' ') ++pos;
        sample.name = line.left(pos);
        if (!IsMetricName(sample.name)) return fail("bad metric name");
        if (pos < line.size() && line[pos] == u'{' && !ParseLabels(line, pos, sample.labels))
            return fail("bad labels");
        if (pos >= line.size() || line[pos] != u' ') return fail("no value");
        const QStringList rest = line.mid(pos + 1).split(u' ');
        if (rest.isEmpty() || rest.size() > 2) return fail("bad value or timestamp");
        const auto value = ParseNumber(rest[0]);
        if (!value) return fail("value not a number");
        sample.value = *value;
        QString key = sample.name;
        for (const auto& [k, v] : sample.labels) key += u'\x1f' + k + u'=' + v;
        if (!seriesSeen.insert(key).second) return fail("series twice");
        familiesWithSamples.insert(Family(sample.name));
        familiesWithSamples.insert(sample.name);
        if (result.types.count(Family(sample.name)) &&
            result.types.at(Family(sample.name)) == "counter" &&
            !sample.name.endsWith(QStringLiteral("_total")))
            return fail("counter without _total");
        result.samples.push_back(std::move(sample));
    }
    return result;
}

std::optional<double> Value(const Exposition& e, const QString& name,
                            const std::map<QString, QString>& labels) {
    std::optional<double> found;
    for (const Sample& s : e.samples) {
        if (s.name != name) continue;
        bool match = true;
        for (const auto& [k, v] : labels) {
            const auto it = s.labels.find(k);
            if (it == s.labels.end() || it->second != v) match = false;
        }
        if (!match) continue;
        if (found) return std::nullopt;  // ambiguous
        found = s.value;
    }
    return found;
}

QString PromtoolFindings(const QByteArray& text) {
    QProcess promtool;
    promtool.setProcessChannelMode(QProcess::MergedChannels);
    promtool.start(QStringLiteral("promtool"),
                   {QStringLiteral("check"), QStringLiteral("metrics")});
    if (!promtool.waitForStarted())
        return QStringLiteral("promtool did not start (scripts/install-deps.sh installs it): %1")
            .arg(promtool.errorString());
    promtool.write(text);
    promtool.closeWriteChannel();
    if (!promtool.waitForFinished(30000)) return QStringLiteral("promtool did not finish");
    const QString output = QString::fromUtf8(promtool.readAll()).trimmed();
    if (promtool.exitStatus() == QProcess::NormalExit && promtool.exitCode() == 0 &&
        output.isEmpty())
        return {};
    return QStringLiteral("promtool exit %1: %2").arg(promtool.exitCode()).arg(output);
}

}  // namespace promtext
