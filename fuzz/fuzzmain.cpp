// libFuzzer's entry points for the targets over Qt code: one quiet
// application for the whole run, then each input handed over as bytes.
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzSupport::quietApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzSupport::fuzzInput(QByteArray(reinterpret_cast<const char*>(data), int(size)));
    return 0;
}
