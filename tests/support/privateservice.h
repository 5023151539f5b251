#ifndef PRIVATESERVICE_H
#define PRIVATESERVICE_H

#include <QString>

// Puts a private copy of the built service into folder, with the scripted
// stand-in for OpenVPN at bin/openvpn and an empty tmp folder beside it.
// Needs the build and source folders ctest passes on. Returns what went
// wrong, or an empty text.
QString installPrivateService(const QString& folder);

#endif // PRIVATESERVICE_H
