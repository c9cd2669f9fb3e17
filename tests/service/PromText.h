#pragma once

#include <QByteArray>
#include <QString>
#include <map>
#include <optional>
#include <vector>

namespace promtext {

struct Sample {
    QString name;
    std::map<QString, QString> labels;
    double value = 0;
};

struct Exposition {
    std::vector<Sample> samples;
    std::map<QString, QString> types;  // metric family -> counter, gauge, ...
};

// Parses the Prometheus text exposition format strictly: metric and label names, quoted and
// escaped label values, numbers (with NaN and +-Inf), HELP and TYPE lines (one TYPE per family,
// before its samples), no series twice. Nothing, with `error` naming the line, when it is not
// valid.
std::optional<Exposition> Parse(const QByteArray& text, QString* error);

// What Prometheus's own checker (`promtool check metrics`, Debian package prometheus) finds wrong
// with an exposition: empty when it is valid and lint-clean, else its findings or why it could
// not run.
QString PromtoolFindings(const QByteArray& text);

// The value of the one sample with this name and these labels (others may exist).
std::optional<double> Value(const Exposition& e, const QString& name,
                            const std::map<QString, QString>& labels);

}  // namespace promtext
