#ifndef PROCESSACCOUNT_H
#define PROCESSACCOUNT_H

#include <QString>

// Windows: the account a process runs as, for the checks at both ends of
// the service's named pipe.
namespace ProcessAccount {

enum class Kind {
    Unknown,       // the process or its token could not be read
    LocalSystem,   // the account services run as
    SameUser,      // the account of this process
    Administrator, // a member of the local Administrators group
    Other,
};

// What the account of process pid is, as seen from this process. *name
// describes it for messages (the account's SID when it can be read).
Kind ofProcess(unsigned long pid, QString* name);

} // namespace ProcessAccount

#endif // PROCESSACCOUNT_H
