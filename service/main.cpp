#include "service.h"
#include "varvexlog.h"

int main(int argc, char* argv[])
{
    setupLog(2, true);
    Service service(argc, argv);
    return service.exec();
}
