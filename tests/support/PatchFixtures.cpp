#include "PatchFixtures.h"

#include <sys/stat.h>

#include "StoreBuilder.h"
#include "TestSandbox.h"

namespace {
std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '"') out += "&quot;";
        else out += c;
    }
    return out;
}
}  // namespace

ProxySpec Patch(const std::string& code, const std::string& name, const std::string& version, const std::string& parent) {
    ProxySpec spec;
    spec.code = code;
    spec.name = name;
    spec.version = version;
    spec.parent = parent;
    spec.product = name;
    return spec;
}

std::string ProxyXml(const ProxySpec& spec) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PayloadInfo>\n  <InstallerProperties>\n";
    xml += "    <Property name=\"KavexCode\">" + Escape(spec.code) + "</Property>\n";
    xml += "    <Property name=\"ProductVersion\">" + Escape(spec.version) + "</Property>\n";
    xml += "    <Property name=\"ProductName\">" + Escape(spec.name) + "</Property>\n  </InstallerProperties>\n";
    xml += "  <Satisfies><ProductInfo><Family>" + Escape(spec.family) + "</Family><ProductName>" + Escape(spec.product) +
           "</ProductName></ProductInfo></Satisfies>\n";
    if (!spec.parent.empty()) {
        xml += "  <Extends type=\"patch\"><ParentProductInfo><KavexCode>" + Escape(spec.parent) + "</KavexCode><ProductName>" +
               Escape(spec.parentName) + "</ProductName></ParentProductInfo></Extends>\n";
    }
    for (const std::string& upgrade : spec.upgrades) xml += "  <Upgrades>" + Escape(upgrade) + "</Upgrades>\n";
    if (!spec.totalSize.empty()) {
        xml += "  <InstallDestinationMetadata><TotalSize>" + Escape(spec.totalSize) + "</TotalSize></InstallDestinationMetadata>\n";
    }
    if (!spec.processes.empty()) {
        xml += "  <ConflictingProcesses><OSX>\n";
        for (const auto& process : spec.processes) {
            xml += "    <Process blocking=\"" + Escape(process.second) + "\">" + Escape(process.first) + "</Process>\n";
        }
        xml += "  </OSX></ConflictingProcesses>\n";
    }
    return xml + "</PayloadInfo>\n";
}

PatchBundle::PatchBundle(const std::string& root) : mRoot(root) { TestFiles::MakeFolders(root); }

PatchBundle& PatchBundle::AddPatch(const ProxySpec& spec, const std::string& folder) {
    const std::string name = folder.empty() ? spec.name : folder;
    const std::string base = mRoot + "/extensions/" + name + "/" + name;
    TestFiles::Write(base + ".proxy.xml", ProxyXml(spec));
    TestFiles::Write(base + ".dmg", "disk image of " + spec.code);
    TestFiles::Write(mRoot + "/extensions/" + name + "/" + name + ".data", "data of " + spec.code);
    return *this;
}

PatchBundle& PatchBundle::SetupXml(const std::string& xml) {
    TestFiles::Write(mRoot + "/setup.xml", xml);
    return *this;
}

PatchBundle& PatchBundle::Strings(const std::string& xml) {
    TestFiles::Write(mRoot + "/resources/main.xml", xml);
    return *this;
}

std::string PatchBundle::InstallProgram() const {
    const std::string built = UPDATE_EXECUTABLE;  // <build>/Update.app/Contents/MacOS/Update
    const std::string app = built.substr(0, built.find("/Update.app/") + 11);
    TestProcess::Run({"/bin/cp", "-a", app, mRoot + "/"});
    return mRoot + "/Update.app/Contents/MacOS/Update";
}

std::string CachedInstaller(const std::string& machineRoot, const std::string& session, const ProxySpec& media,
                            const std::string& standinConf) {
    const std::string folder = machineRoot + "/Library/Application Support/Kavex/Installers/" + session;
    const std::string setup = folder + "/Setup.app/Contents/MacOS/Setup";
    TestFiles::Write(setup, TestFiles::Read(STANDIN_SETUP));
    chmod(setup.c_str(), 0755);
    TestFiles::Write(folder + "/payloads/" + media.name + "/" + media.name + ".proxy.xml", ProxyXml(media));
    if (!standinConf.empty()) TestFiles::Write(folder + "/standin.conf", standinConf);
    return folder;
}

void InstalledBase(StoreBuilder& store, const std::string& machineRoot, const ProxySpec& base,
                   const std::vector<std::string>& sessions, const std::string& installDir, const std::string& standinConf) {
    store.Product(base.code, base.name, base.version, sessions)
        .PayloadData(base.code, 5, "mediaPath", "/Volumes/Media/" + base.name + ".dmg")
        .PayloadData(base.code, 5, "INSTALLDIR", installDir);
    for (const std::string& session : sessions) CachedInstaller(machineRoot, session, base, standinConf);
}
