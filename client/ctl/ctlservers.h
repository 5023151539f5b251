#ifndef CTLSERVERS_H
#define CTLSERVERS_H

#include <QList>
#include <QString>

#include "ctlformat.h"
#include "vpnserverinfo.h"

namespace CtlServers {

// Downloads the server list, waiting for the answer (bounded by the web
// API client's own time limit). False with *failure set when there is none.
bool download(QList<VPNServerInfo>* servers, QString* failure);

// `servers`: prints the list, pinging each server first when asked.
int run(bool json, bool ping);

// What `connect SERVER` connects to: "auto", a name or a two-letter code
// from the list (the first server with that code), or a host name. Returns
// an exit code of CtlExit; Success with *server set.
int resolve(const QString& argument, VPNServerInfo* server);

} // namespace CtlServers

#endif // CTLSERVERS_H
