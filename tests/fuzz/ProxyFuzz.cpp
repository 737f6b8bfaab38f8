// A proxy file as the payloads manager loads it, then its conflicting
// processes matched against running applications.
#include <string>
#include <utility>
#include <vector>

#include "FileSystemPath.h"
#include "FuzzSupport.h"
#include "PayloadProxy.h"
#include "PayloadsManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = FuzzSupport::Root() + "/extensions/P/P.proxy.xml";
    // Executable names as the process list gives them, the longest a name can be included.
    static const std::vector<std::pair<std::string, std::string> > running = {
        {"Finder", "Finder"}, {"Tool", "Tool"}, {"Toolbox", "Toolbox"}, {"a.b*c", "Odd"},
        {std::string(255, 'a'), "Long"}, {std::string(200, 'x') + "y", "Longer"}};
    FuzzSupport::WriteFile(path, data, size);
    PayloadProxy::DataStore store;
    if (!store.Load(FileSystemPath(path))) return 0;
    std::vector<std::string> blocking, warning;
    PayloadsManager::MatchConflictingProcesses(store.mConflictingProcesses, running, blocking, warning);
    return 0;
}
