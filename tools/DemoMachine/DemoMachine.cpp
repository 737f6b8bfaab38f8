// Lays out the demo: a sandbox machine with installed base products, their cached
// installers and the configuration store, and a patch bundle beside Update.app
// (its pages and string table come from the project's resources folder).
//
//   DemoMachine <machine root> <bundle folder> <stand-in setup>
#include <stdlib.h>

#include <iostream>
#include <string>

#include "MachineLayout.h"
#include "PcdStore.h"

namespace {
using namespace MachineLayout;
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
    return Ok() ? 0 : 1;
}
