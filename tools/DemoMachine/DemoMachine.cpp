// Lays out the demo: a sandbox machine with installed base products, their cached
// installers and the configuration store, and a patch bundle beside Update.app
// (its pages and string table come from the project's resources folder).
//
//   DemoMachine <machine root> <bundle folder> <stand-in setup>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "MoxaQueries.h"
#include "PcdStore.h"

namespace {

bool gOk = true;

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

struct Proxy {
    std::string code, name, version, parent, parentName, size;
    std::vector<std::string> blockingApps;
};

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

void Run(moxaiSession* session, const char* format, const std::string& a, const std::string& b = "",
         const std::string& c = "", const std::string& d = "") {
    Check(session->store->queryNR(format, a.c_str(), b.c_str(), c.c_str(), d.c_str()), format);
}

// A base product installed in some sessions, with a cached installer per session.
void InstallBase(moxaiSession* session, const std::string& common, const Proxy& base,
                 const std::vector<std::string>& sessions, const std::string& installDir, const std::string& standIn) {
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
        Write(folder + "/standin.conf", "record-installed=1\n");
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: DemoMachine <machine root> <bundle folder> <stand-in setup>\n";
        return 2;
    }
    const std::string machine = argv[1], bundle = argv[2], standIn = argv[3];
    setenv("KAVEX_SYSTEM_ROOT", machine.c_str(), 1);
    const std::string common = machine + "/Library/Application Support/Kavex";
    MakeFolders(machine + "/Library/Application Support");

    const Proxy photo{"{D0C0FFEE-0000-4000-8000-000000000001}", "Photo Studio", "5.0", "", "", "2000000000", {}};
    const Proxy draw{"{D0C0FFEE-0000-4000-8000-000000000002}", "Draw Pro", "3.0", "", "", "1500000000", {}};
    moxaiSession* session = nullptr;
    Check(moxaOpenSession(&session), "creating the installed-products store");
    if (session == nullptr) return 1;
    InstallBase(session, common, photo, {"{PHOTO-SESSION-1}", "{PHOTO-SESSION-2}"}, machine + "/Applications/Photo Studio", standIn);
    InstallBase(session, common, draw, {"{DRAW-SESSION-1}"}, machine + "/Applications/Draw Pro", standIn);

    // Draw Pro 3.0.1 is already in; 3.0.2 supersedes the 3.0.0a hotfix.
    const Proxy drawPatch{"{D0C0FFEE-0000-4000-8000-000000000301}", "Draw Pro Update", "3.0.1", draw.code, draw.name, "52428800", {}};
    const Proxy drawHotfix{"{D0C0FFEE-0000-4000-8000-000000000300}", "Draw Pro Hotfix", "3.0.0a", draw.code, draw.name, "1048576", {}};
    Run(session, "INSERT INTO vorn_payload VALUES ('%q', 'Kavex Creative', '%q', '%q', '')", drawPatch.code, drawPatch.name, drawPatch.version);
    Run(session, "INSERT INTO vorn_collection_payload VALUES ('{DRAW-SESSION-1}', '%q', 2, 1700000100)", drawPatch.code);
    Run(session, "INSERT INTO vorn_payload VALUES ('{D0C0FFEE-0000-4000-8000-000000000302}', 'Kavex Creative', 'Draw Pro Update', '%q', '')", "3.0.2");
    Run(session, "INSERT INTO vorn_collection_payload VALUES ('{DRAW-SESSION-1}', '{D0C0FFEE-0000-4000-8000-000000000302}', 2, %s)", "1700000200");
    Run(session, "INSERT INTO vorn_payload_constraint VALUES ('{D0C0FFEE-0000-4000-8000-000000000302}', '%q', 1)", drawHotfix.code);
    Check(moxaCloseSession(session), "closing the installed-products store");

    // The configuration store knows where Photo Studio keeps its configuration.
    const std::string photoConfig = machine + "/Applications/Photo Studio/Configuration/photo.xml";
    Write(photoConfig, "<configuration/>\n");
    Write(machine + "/Applications/Draw Pro/Configuration/draw.xml", "<configuration/>\n");
    moxaiSession* config = nullptr;
    Check(pcdOpenSession(&config), "creating the configuration store");
    if (config != nullptr) {
        Check(pcdSetDomainData(config, 1, photo.code.c_str(), "ZTKConfigPath", photoConfig.c_str()), "configuration path");
        Check(pcdCloseSession(config), "closing the configuration store");
    }

    const Proxy photoPatch{"{D0C0FFEE-0000-4000-8000-000000000501}", "Photo Studio Update", "5.0.1", photo.code, photo.name, "314572800", {}};
    const Proxy videoPatch{"{D0C0FFEE-0000-4000-8000-000000000201}", "Video Cut Update", "2.0.1",
                           "{D0C0FFEE-0000-4000-8000-000000000003}", "Video Cut", "104857600", {}};
    AddPatch(bundle, "PhotoStudioUpdate", photoPatch);
    AddPatch(bundle, "DrawProUpdate", drawPatch);
    AddPatch(bundle, "DrawProHotfix", drawHotfix);
    AddPatch(bundle, "VideoCutUpdate", videoPatch);
    Write(bundle + "/setup.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PayloadInfo>\n  <Driver>\n    <KavexCode display=\"show\">" +
                                     photoPatch.code + "</KavexCode>\n  </Driver>\n  <Optional>\n    <KavexCode display=\"show\">" +
                                     drawPatch.code + "</KavexCode>\n    <KavexCode display=\"none\">" + drawHotfix.code +
                                     "</KavexCode>\n  </Optional>\n</PayloadInfo>\n");
    return gOk ? 0 : 1;
}
