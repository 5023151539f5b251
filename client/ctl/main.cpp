// varvexctl: the Varvex service from a terminal.
#include <QCoreApplication>

#include "ctlcommandline.h"
#include "ctlexitcode.h"
#include "ctlservers.h"
#include "ctlservicecommands.h"
#include "ctlterminal.h"
#include "qvarvexserviceconnection.h"
#include "qvpnclientsettings.h"

#include <csignal>

namespace {

int connectCommand(const CtlOptions& options)
{
    VPNServerInfo server;
    const int resolved = CtlServers::resolve(options.server, &server);
    if (resolved != CtlExit::Success)
        return resolved;

    // A user named on the command line wins over a saved login.
    QString username = options.user;
    QString password;
    if (!username.isEmpty()) {
        if (!CtlTerminal::readPassword(QStringLiteral("Password for %1: ").arg(username), &password)
            || password.isEmpty()) {
            CtlTerminal::error(QStringLiteral("No password given for %1.").arg(username));
            return CtlExit::Usage;
        }
    } else if (!QVPNClientSettings::getCredentials(username, password)) {
        username.clear();
        password.clear();
    }
    if (!username.isEmpty() && !QVarvexServiceConnection::connectRequestFits(server.hostname, username, password)) {
        CtlTerminal::error(QStringLiteral("The host name, user name and password are too long for one request."));
        return CtlExit::Usage;
    }
    ConnectCommand command(server, username, password, options.waitSeconds);
    return command.run();
}

int notificationsCommand(const CtlOptions& options)
{
    if (!options.notifications.isEmpty())
        QVPNClientSettings::setNotifications(options.notifications == QLatin1String("on"));
    CtlTerminal::out(QStringLiteral("Notifications are %1.\n")
                         .arg(QVPNClientSettings::getNotifications() ? QStringLiteral("on") : QStringLiteral("off")));
    return CtlExit::Success;
}

} // namespace

int main(int argc, char* argv[])
{
    // A reader that went away (watch | head) ends us quietly.
    std::signal(SIGPIPE, SIG_DFL);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("varvexctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VARVEX_VERSION));

    CtlOptions options;
    QString error;
    if (!parseCtlCommandLine(app.arguments().mid(1), &options, &error)) {
        CtlTerminal::error(error + QStringLiteral(". Try: varvexctl --help"));
        return CtlExit::Usage;
    }

    switch (options.command) {
    case CtlOptions::Help:
        CtlTerminal::out(ctlUsageText());
        return CtlExit::Success;
    case CtlOptions::Version:
        CtlTerminal::out(QStringLiteral("varvexctl %1\n").arg(QCoreApplication::applicationVersion()));
        return CtlExit::Success;
    case CtlOptions::Status:
        return StatusCommand(options.json).run();
    case CtlOptions::Connect:
        return connectCommand(options);
    case CtlOptions::Disconnect:
        return DisconnectCommand().run();
    case CtlOptions::Servers:
        return CtlServers::run(options.json, options.ping);
    case CtlOptions::Watch:
        return WatchCommand(options.json).run();
    case CtlOptions::Notifications:
        return notificationsCommand(options);
    }
    return CtlExit::Usage;
}
