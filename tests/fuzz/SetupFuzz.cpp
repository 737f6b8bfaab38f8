// A setup description as the payloads manager loads it.
#include <string>

#include "FileSystemPath.h"
#include "FuzzSupport.h"
#include "PayloadsManagerSetup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = FuzzSupport::Root() + "/setup.xml";
    FuzzSupport::WriteFile(path, data, size);
    PayloadsManagerSetup::DataStore store;
    store.Load(FileSystemPath(path));
    return 0;
}
