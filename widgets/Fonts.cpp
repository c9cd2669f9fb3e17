#include "widgets/Fonts.h"

#include <fontconfig/fontconfig.h>

#include <QFont>
#include <QStringList>

namespace {

// Characters missing from a face are taken from the faces that fontconfig ranks after it, and
// WenQuanYi Micro Hei, often ranked first, has blank glyphs for signs such as ℃. These aliases
// put DejaVu Sans right behind every face the window asks for, so such signs always get ink.
constexpr char kFallbackOrder[] = R"(<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <alias binding="strong"><family>Liberation Sans</family><accept><family>DejaVu Sans</family></accept></alias>
  <alias binding="strong"><family>AR PL UKai CN</family><accept><family>DejaVu Sans</family></accept></alias>
</fontconfig>
)";

void PreferDejaVuForMissingSigns() {
    FcConfig* config = FcConfigGetCurrent();
    if (config == nullptr) return;
    FcConfigParseAndLoadFromMemory(config, reinterpret_cast<const FcChar8*>(kFallbackOrder),
                                   FcFalse);
}

}  // namespace

void InstallFontSubstitutions() {
    PreferDejaVuForMissingSigns();
    const QString dejaVu = QStringLiteral("DejaVu Sans");
    const QString wenQuanYi = QStringLiteral("WenQuanYi Micro Hei");
    const QStringList sans = {QStringLiteral("Liberation Sans"), dejaVu, wenQuanYi};
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), sans);
    QFont::insertSubstitutions(QStringLiteral("Arial"), sans);
    QFont::insertSubstitutions(QStringLiteral("楷体"),
                               {QStringLiteral("AR PL UKai CN"), dejaVu, wenQuanYi});
}
