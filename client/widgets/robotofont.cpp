#include "robotofont.h"

QFont robotoFont(int pointSize, int weight, const QString& family)
{
    QFont font(family, pointSize, weight, false);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}
