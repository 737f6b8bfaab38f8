// A string table beside the bundle: the lookups of the entry point and the
// page's strings method, whose answer must stay one well-formed object.
#include <map>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "InstallerEngine.h"
#include "LocalizationUtilities.h"
#include "TesmidUserInterfaceJSPublisher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string bundle = FuzzSupport::Root() + "/bundle";
    static InstallerEngine engine(bundle);
    static TesmidUserInterfaceJSPublisher publisher(&engine);
    FuzzSupport::WriteFile(bundle + "/resources/main.xml", data, size);
    std::map<std::string, std::string> dictionary;
    LocalizationUtilities::GetDictionaryForLanguage(&engine, dictionary);
    LocalizationUtilities::GetStringForLanguage(&engine, "locQuit");
    for (const char* language : {"en_US", "fr_FR"}) {
        const std::string answer = publisher.GetStringsForLanguage({language});
        if (!FuzzSupport::IsPageAnswer(answer)) FuzzSupport::Finding("strings answer is not one object", answer);
    }
    return 0;
}
