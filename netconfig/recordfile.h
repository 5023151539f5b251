#ifndef RECORDFILE_H
#define RECORDFILE_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// The service's small "key value" record files under its run folder. They
// are read as root, so only a regular file of this user that nobody else can
// write is taken, never a link, and never more than maxSize bytes.
using RecordEntries = std::vector<std::pair<std::string, std::string>>;

// Written whole or not at all: a new file beside it, synced, then renamed
// over it. The folder is the caller's to check.
bool writeRecordFile(const std::string& path, const std::string& content, std::string* error);

bool readRecordFile(const std::string& path, size_t maxSize, RecordEntries* entries);

#endif // RECORDFILE_H
