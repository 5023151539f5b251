#ifndef ROBOTOFONT_H
#define ROBOTOFONT_H

#include <QFont>
#include <QString>

// The window's fonts: antialiased, upright, of the bundled Roboto families.
// Weight 100 goes through unchanged, above the scale's usual 99.
QFont robotoFont(int pointSize, int weight, const QString& family = QStringLiteral("Roboto"));

#endif // ROBOTOFONT_H
