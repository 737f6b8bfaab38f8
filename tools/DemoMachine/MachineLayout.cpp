#include "MachineLayout.h"
#include "MoxaiDataStore.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <iostream>

namespace MachineLayout {

namespace {
bool gOk = true;
}  // namespace

bool Ok() { return gOk; }

void MakeFolders(const std::string& path) {
    for (size_t at = 1; at != std::string::npos; at = path.find('/', at + 1)) mkdir(path.substr(0, at).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

void Write(const std::string& path, const std::string& text) {
    MakeFolders(path.substr(0, path.find_last_of('/')));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) gOk = false;
}

void Check(int rc, const std::string& what) {
    if (rc != kMoxaOK) {
        std::cerr << "demo machine: " << what << " failed with store code " << rc << "\n";
        gOk = false;
    }
}

std::string ProxyXml(const Proxy& p) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PayloadInfo>\n  <InstallerProperties>\n"
                      "    <Property name=\"KavexCode\">" + p.code + "</Property>\n"
                      "    <Property name=\"ProductVersion\">" + p.version + "</Property>\n"
                      "    <Property name=\"ProductName\">" + p.name + "</Property>\n  </InstallerProperties>\n"
                      "  <Satisfies><ProductInfo><Family>Kavex Creative</Family><ProductName>" + p.name +
                      "</ProductName></ProductInfo></Satisfies>\n";
    if (!p.parent.empty()) {
        xml += "  <Extends type=\"patch\"><ParentProductInfo><KavexCode>" + p.parent + "</KavexCode><ProductName>" +
               p.parentName + "</ProductName></ParentProductInfo></Extends>\n";
    }
    xml += "  <InstallDestinationMetadata><TotalSize>" + p.size + "</TotalSize></InstallDestinationMetadata>\n";
    if (!p.blockingApps.empty()) {
        xml += "  <ConflictingProcesses><OSX>\n";
        for (const std::string& app : p.blockingApps) xml += "    <Process blocking=\"1\">" + app + "</Process>\n";
        xml += "  </OSX></ConflictingProcesses>\n";
    }
    return xml + "</PayloadInfo>\n";
}

void Run(moxaiSession* session, const char* format, const std::string& a, const std::string& b, const std::string& c,
         const std::string& d) {
    Check(session->store->queryNR(format, a.c_str(), b.c_str(), c.c_str(), d.c_str()), format);
}

void InstallBase(moxaiSession* session, const std::string& common, const Proxy& base,
                 const std::vector<std::string>& sessions, const std::string& installDir, const std::string& standIn,
                 const std::string& standinConf) {
    Run(session, "INSERT INTO vorn_payload VALUES ('%q', 'Kavex Creative', '%q', '%q', '')", base.code, base.name, base.version);
    int ts = 1700000000;
    for (const std::string& id : sessions) {
        Run(session, "INSERT INTO vorn_collection VALUES ('%q', '%q', 1700000000, 1700000000)", id, base.code);
        Run(session, "INSERT INTO vorn_collection_payload VALUES ('%q', '%q', 2, %s)", id, base.code, std::to_string(ts++));
        Check(moxaSetCollectionData(session, id.c_str(), 5, "sessionID", id.c_str()), "session ID");
        const std::string folder = common + "/Installers/" + id;
        std::ifstream in(standIn, std::ios::binary);
        Write(folder + "/Setup.app/Contents/MacOS/Setup", std::string(std::istreambuf_iterator<char>(in), {}));
        chmod((folder + "/Setup.app/Contents/MacOS/Setup").c_str(), 0755);
        Write(folder + "/standin.conf", standinConf);
        Write(folder + "/payloads/" + base.name + "/" + base.name + ".proxy.xml", ProxyXml(base));
    }
    Check(moxaSetPayloadData(session, base.code.c_str(), 5, "mediaPath", ("/Volumes/" + base.name + "/" + base.name + ".dmg").c_str()), "media path");
    Check(moxaSetPayloadData(session, base.code.c_str(), 5, "INSTALLDIR", installDir.c_str()), "install folder");
}

void AddPatch(const std::string& bundle, const std::string& folder, const Proxy& patch) {
    const std::string base = bundle + "/extensions/" + folder + "/" + folder;
    Write(base + ".proxy.xml", ProxyXml(patch));
    Write(base + ".dmg", "disk image of " + patch.name + "\n");
    Write(base + ".data", "data of " + patch.name + "\n");
}

}  // namespace MachineLayout
