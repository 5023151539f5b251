#ifndef SERVERROWKEYS_H
#define SERVERROWKEYS_H

// Keys of the map that each row of the server chooser keeps under
// Qt::UserRole. The ping key is missing until the row's host was pinged.
namespace ServerRowKey {

constexpr char Name[] = "name";
constexpr char Code[] = "code";
constexpr char Hostname[] = "hostname";
constexpr char Ping[] = "ping"; // milliseconds; -1: no answer

} // namespace ServerRowKey

#endif // SERVERROWKEYS_H
