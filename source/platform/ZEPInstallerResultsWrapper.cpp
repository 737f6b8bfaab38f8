#include "ZEPInstallerResultsWrapper.h"

#include <dlfcn.h>
#include <libxml/parser.h>

#include <memory>
#include <libxml/tree.h>
#include <stdlib.h>

#include <vector>

#include "MainBundle.h"
#include "RegularFile.h"
#include "XmlFile.h"

namespace {

typedef int (*GetClientAppPathFunction)(unsigned*, char*);
typedef int (*SetInstallerResultsFunction)(int, const char*);

void* Library() {
    static void* handle = dlopen(ZEPInstallerResultsWrapper::LibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle;
}

template <typename Function>
Function Symbol(const char* name) {
    void* handle = Library();
    return handle != nullptr ? reinterpret_cast<Function>(dlsym(handle, name)) : nullptr;
}

std::string Text(xmlNode* node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
}

// The "ZEP_APP_ID" string of the update manager's identity property list.
bool IdentityFromFile(std::string& id) {
    const char* home = getenv("HOME");
    if (home == nullptr) return false;
    const std::string path = std::string(home) + "/Library/Application Support/Kavex/Updater/Install/KavexUpdaterInstallerData.plist";
    // The user's own folder: what lies there may be a FIFO, a link or anything else.
    const XmlFile::Loaded loaded = XmlFile::Load(path, RegularFile::kNoFinalLink);
    const XmlFile::Document& doc = loaded.doc;
    if (!doc) return false;
    bool found = false;
    xmlNode* root = xmlDocGetRootElement(doc.get());
    for (xmlNode* dict = root ? root->children : nullptr; dict != nullptr && !found; dict = dict->next) {
        if (dict->type != XML_ELEMENT_NODE || !xmlStrEqual(dict->name, BAD_CAST "dict")) continue;
        for (xmlNode* key = dict->children; key != nullptr; key = key->next) {
            if (key->type != XML_ELEMENT_NODE || !xmlStrEqual(key->name, BAD_CAST "key") || Text(key) != "ZEP_APP_ID") continue;
            xmlNode* value = key->next;
            while (value != nullptr && value->type != XML_ELEMENT_NODE) value = value->next;
            if (value != nullptr && xmlStrEqual(value->name, BAD_CAST "string")) {
                id = Text(value);
                found = true;
            }
            break;
        }
    }
    return found;
}

}  // namespace

std::string ZEPInstallerResultsWrapper::LibraryPath() {
    return MainBundle::FrameworksPath() + "/InstallerResults.framework/Versions/A/InstallerResults";
}

bool ZEPInstallerResultsWrapper::clientAppPath(std::string& path) {
    GetClientAppPathFunction get = Symbol<GetClientAppPathFunction>("ZEPGetClientAppPath");
    if (get == nullptr) return false;
    std::vector<char> buffer(1024, '\0');
    unsigned size = 1024;
    int r = get(&size, buffer.data());
    if (r == 0) {
        if (size == 0) return false;
        buffer.assign(size + 1, '\0');
        size = static_cast<unsigned>(buffer.size());
        r = get(&size, buffer.data());
    }
    if (r != 1) return false;
    buffer.back() = '\0';
    path = buffer.data();
    return true;
}

bool ZEPInstallerResultsWrapper::runningUnderZEP() {
    std::string path;
    return clientAppPath(path);
}

bool ZEPInstallerResultsWrapper::testZEPID(const std::string* id) {
    if (id == nullptr) return true;
    std::string expected;
    return IdentityFromFile(expected) && expected == *id;
}

bool ZEPInstallerResultsWrapper::clientAppPath(const std::string* id, std::string& path) {
    return testZEPID(id) && clientAppPath(path);
}

bool ZEPInstallerResultsWrapper::runningUnderZEP(const std::string* id) {
    std::string path;
    return clientAppPath(id, path);
}

bool ZEPInstallerResultsWrapper::setInstallerResults(int result, const std::string& message) {
    SetInstallerResultsFunction set = Symbol<SetInstallerResultsFunction>("ZEPSetInstallerResults");
    return set != nullptr && set(result, message.c_str()) == 1;
}

bool ZEPInstallerResultsWrapper::setInstallerResults(int result) {
    SetInstallerResultsFunction set = Symbol<SetInstallerResultsFunction>("ZEPSetInstallerResults");
    return set != nullptr && set(result, nullptr) == 1;
}
