#include "ctlcommandline.h"

#include <QHash>

namespace {

struct CommandInfo
{
    CtlOptions::Command command;
    QStringList options; // the options it takes
};

const QHash<QString, CommandInfo>& commands()
{
    static const QHash<QString, CommandInfo> table = {
        {QStringLiteral("status"), {CtlOptions::Status, {QStringLiteral("--json")}}},
        {QStringLiteral("connect"), {CtlOptions::Connect, {QStringLiteral("--user"), QStringLiteral("--wait")}}},
        {QStringLiteral("disconnect"), {CtlOptions::Disconnect, {}}},
        {QStringLiteral("servers"), {CtlOptions::Servers, {QStringLiteral("--json"), QStringLiteral("--ping")}}},
        {QStringLiteral("watch"), {CtlOptions::Watch, {QStringLiteral("--json")}}},
        {QStringLiteral("notifications"), {CtlOptions::Notifications, {}}},
    };
    return table;
}

bool takesValue(const QString& option)
{
    return option == QLatin1String("--user") || option == QLatin1String("--wait");
}

} // namespace

bool parseCtlCommandLine(const QStringList& arguments, CtlOptions* options, QString* error)
{
    QString commandName;
    QStringList positional;
    QStringList given;
    QHash<QString, QString> values;

    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            options->command = CtlOptions::Help;
            return true;
        }
        if (argument == QLatin1String("--version")) {
            options->command = CtlOptions::Version;
            return true;
        }
        if (argument.startsWith(QLatin1String("--")) && argument.size() > 2) {
            QString name = argument;
            QString value;
            const int equals = argument.indexOf(QLatin1Char('='));
            if (equals > 0) {
                name = argument.left(equals);
                value = argument.mid(equals + 1);
            }
            if (takesValue(name) && equals < 0) {
                if (i + 1 >= arguments.size()) {
                    *error = QStringLiteral("%1 needs a value").arg(name);
                    return false;
                }
                value = arguments.at(++i);
            } else if (!takesValue(name) && equals > 0) {
                *error = QStringLiteral("%1 takes no value").arg(name);
                return false;
            }
            given << name;
            values.insert(name, value);
            continue;
        }
        if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            *error = QStringLiteral("unknown option %1").arg(argument);
            return false;
        }
        if (commandName.isEmpty())
            commandName = argument;
        else
            positional << argument;
    }

    if (commandName.isEmpty()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    const auto found = commands().constFind(commandName);
    if (found == commands().constEnd()) {
        *error = QStringLiteral("unknown command \"%1\"").arg(commandName);
        return false;
    }
    const CommandInfo& info = found.value();
    for (const QString& option : qAsConst(given)) {
        if (!info.options.contains(option)) {
            *error = QStringLiteral("%1 does not take %2").arg(commandName, option);
            return false;
        }
    }
    options->command = info.command;
    options->json = given.contains(QStringLiteral("--json"));
    options->ping = given.contains(QStringLiteral("--ping"));

    switch (info.command) {
    case CtlOptions::Connect:
        if (positional.size() > 1) {
            *error = QStringLiteral("connect takes one server, not %1").arg(positional.size());
            return false;
        }
        options->server = positional.value(0);
        if (given.contains(QStringLiteral("--user"))) {
            options->user = values.value(QStringLiteral("--user"));
            if (options->user.isEmpty()) {
                *error = QStringLiteral("--user needs a user name");
                return false;
            }
        }
        if (given.contains(QStringLiteral("--wait"))) {
            bool ok = false;
            const int seconds = values.value(QStringLiteral("--wait")).toInt(&ok);
            if (!ok || seconds < 0 || seconds > CtlOptions::MaxWaitSeconds) {
                *error = QStringLiteral("--wait takes whole seconds from 0 to %1").arg(CtlOptions::MaxWaitSeconds);
                return false;
            }
            options->waitSeconds = seconds;
        }
        return true;
    case CtlOptions::Notifications:
        if (positional.size() > 1
            || (positional.size() == 1 && positional.first() != QLatin1String("on")
                && positional.first() != QLatin1String("off"))) {
            *error = QStringLiteral("notifications takes on or off");
            return false;
        }
        options->notifications = positional.value(0);
        return true;
    default:
        if (!positional.isEmpty()) {
            *error = QStringLiteral("%1 takes no argument \"%2\"").arg(commandName, positional.first());
            return false;
        }
        return true;
    }
}

QString ctlUsageText()
{
    return QStringLiteral(
        "Usage: varvexctl COMMAND [OPTIONS]\n"
        "Drives the Varvex VPN service from a terminal.\n"
        "\n"
        "Commands:\n"
        "  status [--json]                 the tunnel's state, address and time connected\n"
        "  connect [SERVER] [--user NAME] [--wait S]\n"
        "                                  connect and wait for the tunnel (default 30 s);\n"
        "                                  SERVER: a name or code from the server list,\n"
        "                                  \"auto\", or a host name\n"
        "  disconnect                      end the tunnel and wait until it is down\n"
        "  servers [--json] [--ping]       the server list, with ping times\n"
        "  watch [--json]                  follow state changes and traffic until interrupted\n"
        "  notifications [on|off]          the window's desktop notifications\n"
        "\n"
        "Exit status: 0 success, 2 usage error, 3 no service, 4 the service went away,\n"
        "5 login failed, 6 timed out, 7 the attempt ended without a tunnel,\n"
        "8 the web API could not be reached. See varvexctl(1).\n");
}
