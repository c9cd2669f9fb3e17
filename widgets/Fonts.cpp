#include "Fonts.h"

#include <QFont>
#include <QStringList>

void InstallFontSubstitutions() {
    const QString dejaVu = QStringLiteral("DejaVu Sans");
    const QString wenQuanYi = QStringLiteral("WenQuanYi Micro Hei");
    const QStringList sans = {QStringLiteral("Liberation Sans"), dejaVu, wenQuanYi};
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"), sans);
    QFont::insertSubstitutions(QStringLiteral("Arial"), sans);
    QFont::insertSubstitutions(QStringLiteral("楷体"),
                               {QStringLiteral("AR PL UKai CN"), dejaVu, wenQuanYi});
}
