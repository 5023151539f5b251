#ifndef CTLCOMMANDLINE_H
#define CTLCOMMANDLINE_H

#include <QString>
#include <QStringList>

// What the user asked varvexctl to do.
struct CtlOptions
{
    enum Command { Help, Version, Status, Connect, Disconnect, Servers, Watch, Notifications };

    static constexpr int DefaultWaitSeconds = 30;
    // A day: longer waits are surely a typing error.
    static constexpr int MaxWaitSeconds = 86400;

    Command command = Help;
    bool json = false;
    bool ping = false;
    QString server;         // connect: name, code, "auto" or host; empty: the last server used
    QString user;           // connect: log in as this user, password asked for
    int waitSeconds = DefaultWaitSeconds;
    QString notifications;  // "on", "off", or empty to show the setting
};

// Parses the arguments after the program name. On a usage error returns
// false and *error holds one line saying what is wrong.
bool parseCtlCommandLine(const QStringList& arguments, CtlOptions* options, QString* error);

QString ctlUsageText();

#endif // CTLCOMMANDLINE_H
