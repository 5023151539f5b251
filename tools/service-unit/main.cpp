// Writes the service's systemd unit for a program installed at a given path,
// exactly as "varvexservice -i" would write it for itself there; packaging
// runs it at build time so the packaged unit and -i's never differ.
//
// Usage: varvex-service-unit <unit folder> <installed program path>

#include <QtGlobal>

#include <cstdio>

#include "qtservicecontroller.h"
#include "service.h"

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <unit folder> <installed program path>\n", argv[0]);
        return 2;
    }
    // Only the unit file: the build machine's service manager is not told.
    qputenv("VARVEX_UNIT_DIR", argv[1]);
    qunsetenv("VARVEX_SYSTEMCTL");

    Service service(1, argv);
    QtServiceController controller(service.serviceName());
    if (!controller.install(QString::fromLocal8Bit(argv[2]), service.serviceDescription(),
                            service.startupType() == QtServiceBase::AutoStartup, QString(), QString())) {
        std::fprintf(stderr, "%s: could not write the unit into %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
