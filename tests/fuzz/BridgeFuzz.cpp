// A message from the page, split and dispatched over the real method set; an
// answer must be empty (an action) or one well-formed object.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "InstallerEngine.h"
#include "JSMethodPublisherGroup.h"
#include "JSPageProtocol.h"
#include "TesmidUserInterfaceJSPublisher.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzSupport::IsolateNamedLocks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static InstallerEngine engine(FuzzSupport::Root() + "/bundle");
    static TesmidUserInterfaceJSPublisher publisher(&engine);
    static std::vector<JSMethodPublisherInterface*> publishers{&publisher};
    static JSMethodPublisherGroup group(publishers);
    const std::string message(reinterpret_cast<const char*>(data), size);
    std::string answer;
    const bool answered = JSPageProtocol::Dispatch(group, message, answer);
    if (answered && !answer.empty() && !FuzzSupport::IsPageAnswer(answer)) {
        FuzzSupport::Finding("page answer is not one object", message + "\n=> " + answer);
    }
    JSPageProtocol::ResultAssignmentScript(answered, answer);
    return 0;
}
