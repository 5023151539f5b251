#include "ctlservers.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QRunnable>
#include <QThreadPool>

#include "ctlexitcode.h"
#include "ctlterminal.h"
#include "icmpping.h"
#include "qpingservice.h"
#include "qvpnclientsettings.h"
#include "qvpnlistservers.h"
#include "webapi.h"

#ifndef VARVEX_AUTO_HOSTNAME
#define VARVEX_AUTO_HOSTNAME "auto.varvex.net"
#endif

namespace CtlServers {

bool download(QList<VPNServerInfo>* servers, QString* failure)
{
    QVPNListServers list;
    QEventLoop loop;
    QObject::connect(&list, &QVPNListServers::finished, &loop, &QEventLoop::quit);
    list.updateList();
    loop.exec();
    *servers = list.servers();
    *failure = list.failure();
    return failure->isEmpty();
}

// Echoes go out a few at a time, so that a list of silent servers takes
// seconds, not a second each.
static const int ParallelPings = 8;

static void pingAll(QList<CtlServer>* servers)
{
    if (!IcmpPing::socketsPermitted()) {
        CtlTerminal::error(QPingService::unavailableReason());
        return;
    }
    QThreadPool pool;
    pool.setMaxThreadCount(ParallelPings);
    for (CtlServer& server : *servers) {
        CtlServer* target = &server;
        pool.start(QRunnable::create([target]() { target->ping = QPingService::measure(target->info.hostname); }));
    }
    pool.waitForDone();
}

static void reportWebApiFailure(const QString& failure)
{
    CtlTerminal::error(QStringLiteral("Can't get the server list from the web API at %1: %2. Check the network "
                                      "connection and try again.").arg(WebApi::host(), failure));
}

int run(bool json, bool ping)
{
    QList<VPNServerInfo> list;
    QString failure;
    if (!download(&list, &failure)) {
        reportWebApiFailure(failure);
        return CtlExit::WebApiFailed;
    }
    QList<CtlServer> servers;
    for (const VPNServerInfo& info : qAsConst(list))
        servers << CtlServer{info, -1};
    if (ping)
        pingAll(&servers);
    if (json)
        CtlTerminal::out(QJsonDocument(CtlFormat::serversJson(servers)).toJson(QJsonDocument::Compact) + '\n');
    else
        CtlTerminal::out(CtlFormat::serversText(servers));
    return CtlExit::Success;
}

static bool looksLikeHostName(const QString& argument)
{
    return argument.contains(QLatin1Char('.')) || argument.contains(QLatin1Char(':'));
}

int resolve(const QString& argument, VPNServerInfo* server)
{
    if (argument.isEmpty()) {
        *server = QVPNClientSettings::getConnection();
        return CtlExit::Success;
    }
    if (argument.compare(QLatin1String("auto"), Qt::CaseInsensitive) == 0) {
        *server = VPNServerInfo{QStringLiteral("Automatic"), QStringLiteral("auto"), QStringLiteral(VARVEX_AUTO_HOSTNAME)};
        return CtlExit::Success;
    }
    if (looksLikeHostName(argument)) {
        *server = VPNServerInfo{argument, QString(), argument};
        return CtlExit::Success;
    }
    QList<VPNServerInfo> list;
    QString failure;
    if (!download(&list, &failure)) {
        reportWebApiFailure(failure);
        return CtlExit::WebApiFailed;
    }
    for (const VPNServerInfo& info : qAsConst(list)) {
        if (info.name.compare(argument, Qt::CaseInsensitive) == 0) {
            *server = info;
            return CtlExit::Success;
        }
    }
    if (argument.size() == 2) {
        for (const VPNServerInfo& info : qAsConst(list)) {
            if (info.code.compare(argument, Qt::CaseInsensitive) == 0) {
                *server = info;
                return CtlExit::Success;
            }
        }
    }
    CtlTerminal::error(QStringLiteral("No server named or coded \"%1\" in the server list. See: varvexctl servers")
                           .arg(argument));
    return CtlExit::Usage;
}

} // namespace CtlServers
