#include "localsocketpath.h"

// Windows: the service's socket is the named pipe \\.\pipe\<name>; the local
// socket classes add the prefix themselves. Who may create it first is
// settled by the client's check of the pipe's server process.
namespace LocalSocketPath {

QString directory()
{
    return QStringLiteral("\\\\.\\pipe");
}

QString forName(const QString& name)
{
    return name;
}

} // namespace LocalSocketPath
