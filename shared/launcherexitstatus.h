#ifndef LAUNCHEREXITSTATUS_H
#define LAUNCHEREXITSTATUS_H

// The launcher's exit status when the system's OpenVPN could not be run at
// all: nothing was started. The service reads it as a failure to start. An
// OpenVPN that itself ends with this status is reported as
// LauncherOpenVpnFailed, so the two never mix.
const int LauncherCannotRunOpenVpn = 127;
const int LauncherOpenVpnFailed = 1;

#endif // LAUNCHEREXITSTATUS_H
