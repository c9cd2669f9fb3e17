#include "display/StatusText.h"

bool HasStatusText(std::uint8_t code) {
    switch (code) {
        case 0x00:
        case 0x11:
        case 0x71:
        case 0x72:
        case 0x73:
            return true;
        default:
            return false;
    }
}

QString StatusText(std::uint8_t code) {
    switch (code) {
        case 0x00:
            return QStringLiteral("无此设备");
        case 0x11:
            return QStringLiteral("正常");
        case 0x71:
            return QStringLiteral("电压异常");
        case 0x72:
            return QStringLiteral("温度异常");
        case 0x73:
            return QStringLiteral("鼓包异常");
        default:
            return QStringLiteral("0x") +
                   QString::number(code, 16).rightJustified(2, u'0').toUpper();
    }
}
