#ifndef CONTROLCHARACTERS_H
#define CONTROLCHARACTERS_H

#include <QChar>
#include <QString>

// The launcher hands OpenVPN the user name and password as one line each: a
// line end, or any other control character (C0, DEL, C1), in a user name,
// password or host would move text from one field into another. No such
// character belongs in any of them.
inline bool containsControlCharacter(const QString& text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

#endif // CONTROLCHARACTERS_H
