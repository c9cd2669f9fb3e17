#include "config/Log.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

Q_LOGGING_CATEGORY(ServiceLog, "batmon.service", QtInfoMsg)
Q_LOGGING_CATEGORY(SerialLog, "batmon.serial", QtInfoMsg)
Q_LOGGING_CATEGORY(StoreLog, "batmon.store", QtInfoMsg)
Q_LOGGING_CATEGORY(MqttLog, "batmon.mqtt", QtInfoMsg)
Q_LOGGING_CATEGORY(CollectorLog, "batmon.collector", QtInfoMsg)
Q_LOGGING_CATEGORY(ConfigLog, "batmon.config", QtInfoMsg)
Q_LOGGING_CATEGORY(SimLog, "batmon.sim", QtInfoMsg)

namespace config {
namespace {

std::atomic<LogStyle> g_style{LogStyle::Plain};

int JournalPriority(QtMsgType type) {
    switch (type) {
        case QtFatalMsg:
            return 2;
        case QtCriticalMsg:
            return 3;
        case QtWarningMsg:
            return 4;
        case QtInfoMsg:
            return 5;
        case QtDebugMsg:
            break;
    }
    return 7;
}

void WriteAll(const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        left -= written;
    }
}

void Handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    WriteAll(FormatLogLine(g_style.load(), type, context.category, message) + '\n');
}

}  // namespace

QByteArray FormatLogLine(LogStyle style, QtMsgType type, const char* category,
                         const QString& message) {
    QByteArray text = message.toUtf8();
    if (style == LogStyle::Journal) {
        // journald reads a priority at the start of each line, so every line of a message
        // carries it.
        const QByteArray prefix = '<' + QByteArray::number(JournalPriority(type)) + '>';
        text.replace("\n", '\n' + prefix);
        return prefix + text;
    }
    const bool ours = !category || std::strcmp(category, "default") == 0 ||
                      std::strncmp(category, "batmon.", 7) == 0;
    return ours ? text : QByteArray(category) + ": " + text;
}

void InstallLogHandler(LogStyle style) {
    g_style.store(style);
    qInstallMessageHandler(Handle);
}

}  // namespace config
