#include "networkrestore.h"

#include <QString>

#include "networkhook.h"
#include "varvexlog.h"

namespace NetworkRestore {

void undoLeftovers()
{
    // The launcher's OpenVPN scripts keep the record; the same code reads it.
    NetworkHook::undoLeftovers(NetworkConfig::fromEnvironment(), [](bool error, const std::string& line) {
        writeLog(QString::fromStdString(line), error ? LOG_ERROR : LOG_INFORMATION);
    });
}

} // namespace NetworkRestore
