#include "battery/Status.h"

namespace battery {

namespace {

struct StatusNames {
    std::uint8_t code;
    const char* key;
    const char16_t* text;
};

constexpr std::array<StatusNames, 5> kKnown = {{
    {kStatusNormal, "normal", u"正常"},
    {kStatusVoltage, "voltage", u"电压异常"},
    {kStatusTemperature, "temperature", u"温度异常"},
    {kStatusSwelling, "swelling", u"鼓包异常"},
    {kStatusNoDevice, "no_device", u"无此设备"},
}};

const StatusNames* Find(std::uint8_t code) {
    for (const StatusNames& names : kKnown) {
        if (names.code == code) return &names;
    }
    return nullptr;
}

}  // namespace

bool IsKnownStatus(std::uint8_t code) { return Find(code) != nullptr; }

QString StatusText(std::uint8_t code) {
    if (const StatusNames* names = Find(code)) return QString::fromUtf16(names->text);
    return QStringLiteral("0x") + QString::number(code, 16).rightJustified(2, u'0').toUpper();
}

QString StatusKey(std::uint8_t code) {
    const StatusNames* names = Find(code);
    return QString::fromLatin1(names ? names->key : "unknown");
}

}  // namespace battery
