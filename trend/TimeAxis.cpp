#include "trend/TimeAxis.h"

#include <QDateTime>
#include <algorithm>
#include <array>

namespace {

enum class Unit { Second, Day, Week, Month, Year };

struct Step {
    Unit unit;
    int count;        // seconds for Unit::Second, otherwise units
    qint64 approxMs;  // for choosing a step
};

constexpr qint64 kSecond = 1000;
constexpr qint64 kMinute = 60 * kSecond;
constexpr qint64 kHour = 60 * kMinute;
constexpr qint64 kDay = 24 * kHour;
constexpr int kSecondsPerDay = 86400;

constexpr std::array kSteps = {
    Step{Unit::Second, 1, kSecond},        Step{Unit::Second, 2, 2 * kSecond},
    Step{Unit::Second, 5, 5 * kSecond},    Step{Unit::Second, 10, 10 * kSecond},
    Step{Unit::Second, 15, 15 * kSecond},  Step{Unit::Second, 30, 30 * kSecond},
    Step{Unit::Second, 60, kMinute},       Step{Unit::Second, 120, 2 * kMinute},
    Step{Unit::Second, 300, 5 * kMinute},  Step{Unit::Second, 600, 10 * kMinute},
    Step{Unit::Second, 900, 15 * kMinute}, Step{Unit::Second, 1800, 30 * kMinute},
    Step{Unit::Second, 3600, kHour},       Step{Unit::Second, 7200, 2 * kHour},
    Step{Unit::Second, 10800, 3 * kHour},  Step{Unit::Second, 21600, 6 * kHour},
    Step{Unit::Second, 43200, 12 * kHour}, Step{Unit::Day, 1, kDay},
    Step{Unit::Day, 2, 2 * kDay},          Step{Unit::Week, 1, 7 * kDay},
    Step{Unit::Month, 1, 30 * kDay},       Step{Unit::Month, 2, 61 * kDay},
    Step{Unit::Month, 3, 91 * kDay},       Step{Unit::Month, 6, 182 * kDay},
    Step{Unit::Year, 1, 365 * kDay},       Step{Unit::Year, 2, 730 * kDay},
    Step{Unit::Year, 5, 1826 * kDay},      Step{Unit::Year, 10, 3652 * kDay},
    Step{Unit::Year, 100, 36524 * kDay},
};

Step ChooseStep(qint64 span, int maxTicks) {
    for (const Step& step : kSteps) {
        if (span / step.approxMs + 1 <= maxTicks) return step;
    }
    return kSteps.back();
}

QDateTime LocalMidnight(QDate date, const QTimeZone& zone) {
    // A day that starts inside a daylight-saving jump has no 00:00; Qt moves it past the jump.
    return date.startOfDay(zone);
}

// Candidate tick times on round local wall times, from the day of `from` to the day of `to`.
std::vector<qint64> Candidates(const Step& step, const TimeRange& range, const QTimeZone& zone) {
    std::vector<qint64> times;
    const QDate first = QDateTime::fromMSecsSinceEpoch(range.fromMs, zone).date();
    const QDate last = QDateTime::fromMSecsSinceEpoch(range.toMs, zone).date();
    const auto add = [&](const QDateTime& at) {
        const qint64 t = at.toMSecsSinceEpoch();
        if (range.Contains(t)) times.push_back(t);
    };
    switch (step.unit) {
        case Unit::Second:
            for (QDate day = first; day <= last; day = day.addDays(1)) {
                int startSecond = 0;
                if (day == first) {
                    const QDateTime from = QDateTime::fromMSecsSinceEpoch(range.fromMs, zone);
                    startSecond =
                        from.time().msecsSinceStartOfDay() / 1000 / step.count * step.count;
                }
                int endSecond = kSecondsPerDay;
                if (day == last) {
                    const QDateTime to = QDateTime::fromMSecsSinceEpoch(range.toMs, zone);
                    endSecond = to.time().msecsSinceStartOfDay() / 1000 + 1;
                }
                for (int s = startSecond; s < endSecond; s += step.count) {
                    const QTime wall = QTime::fromMSecsSinceStartOfDay(s * 1000);
                    const QDateTime at(day, wall, zone);
                    // A wall time skipped by a daylight-saving jump gets no tick.
                    const qint64 t = at.toMSecsSinceEpoch();
                    if (QDateTime::fromMSecsSinceEpoch(t, zone).time() == wall) add(at);
                }
            }
            break;
        case Unit::Day:
            for (QDate day = first; day <= last; day = day.addDays(1))
                if (day.toJulianDay() % step.count == 0) add(LocalMidnight(day, zone));
            break;
        case Unit::Week:
            for (QDate day = first; day <= last; day = day.addDays(1))
                if (day.dayOfWeek() == Qt::Monday) add(LocalMidnight(day, zone));
            break;
        case Unit::Month:
            for (QDate month(first.year(), first.month(), 1); month <= last;
                 month = month.addMonths(1))
                if ((month.month() - 1) % step.count == 0) add(LocalMidnight(month, zone));
            break;
        case Unit::Year:
            for (int year = first.year(); year <= last.year(); ++year)
                if (year % step.count == 0) add(LocalMidnight(QDate(year, 1, 1), zone));
            break;
    }
    // Wall times that fall into a daylight-saving jump map onto one instant: keep it once.
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    return times;
}

QString TickText(const Step& step, const QDateTime& at) {
    switch (step.unit) {
        case Unit::Second:
            return at.toString(step.count < 60 ? QStringLiteral("HH:mm:ss")
                                               : QStringLiteral("HH:mm"));
        case Unit::Day:
        case Unit::Week:
            return at.toString(QStringLiteral("MM-dd"));
        case Unit::Month:
            return at.toString(QStringLiteral("yyyy-MM"));
        case Unit::Year:
            return at.toString(QStringLiteral("yyyy"));
    }
    return {};
}

// The date line below sub-day ticks and the year line below day ticks, on the first tick and
// wherever it changes.
QString TickContext(const Step& step, const QDateTime& at) {
    switch (step.unit) {
        case Unit::Second:
            return at.toString(QStringLiteral("yyyy-MM-dd"));
        case Unit::Day:
        case Unit::Week:
            return at.toString(QStringLiteral("yyyy"));
        case Unit::Month:
        case Unit::Year:
            return {};
    }
    return {};
}

}  // namespace

std::vector<TimeTick> TimeAxisTicks(const TimeRange& range, int maxTicks, const QTimeZone& zone) {
    std::vector<TimeTick> ticks;
    if (range.Span() <= 0 || maxTicks < 1) return ticks;
    const Step step = ChooseStep(range.Span(), maxTicks);
    QString previousContext;
    for (qint64 t : Candidates(step, range, zone)) {
        const QDateTime at = QDateTime::fromMSecsSinceEpoch(t, zone);
        TimeTick tick{t, TickText(step, at), TickContext(step, at)};
        if (tick.context == previousContext) {
            tick.context.clear();
        } else {
            previousContext = tick.context;
        }
        ticks.push_back(std::move(tick));
    }
    return ticks;
}
