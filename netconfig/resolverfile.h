#ifndef RESOLVERFILE_H
#define RESOLVERFILE_H

#include <string>

class ChangeRecord;
struct PushedDns;

// The resolver file method: /etc/resolv.conf itself is given the tunnel's
// servers and put back exactly as it was, a link as the same link.
namespace ResolverFile {

bool read(const std::string& path, std::string* text);
// Keeps the original and writes the record before the file is replaced.
bool apply(const std::string& path, const PushedDns& dns, ChangeRecord& record, std::string* error);
// *note is set, and the file left alone, when another program wrote it meanwhile.
bool undo(const ChangeRecord& record, std::string* error, std::string* note);
// Where no record is left (it lives in /run, which a power cut empties):
// puts back the original the tunnel's file carries. *restored tells whether
// the file was the tunnel's.
bool undoUnrecorded(const std::string& path, bool* restored, std::string* error);

} // namespace ResolverFile

#endif // RESOLVERFILE_H
