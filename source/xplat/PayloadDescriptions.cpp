// Loading of proxy files and setup descriptions through the XML reader.
#include <memory>

#include "FileSystemPath.h"
#include "MOQLogger.h"
#include "PayloadProxy.h"
#include "PayloadsManagerSetup.h"
#include "XMLParserNative.h"

bool PayloadProxy::DataStore::Load(const FileSystemPath& proxyFile) {
    std::unique_ptr<XMLParser> reader(new XMLParserNative(proxyFile.AsNative()));
    return reader->FetchProxyData(*this);
}

bool PayloadsManagerSetup::DataStore::Load(const FileSystemPath& setupFile) {
    MOQ_LOG("Called PayloadsManagerSetup::DataStore::Load called with SetupXML path as %s\n", setupFile.AsUTF8String().c_str());
    std::unique_ptr<XMLParser> reader(new XMLParserNative(setupFile.AsNative()));
    MOQ_LOG("Returning from PayloadsManagerSetup::DataStore::Load\n");
    return reader->FetchSetupXMLData(*this);
}
