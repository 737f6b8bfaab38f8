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

ProxyFields Patch(const std::string& code, const std::string& name, const std::string& version, const std::string& parent) {
    ProxyFields proxy;
    proxy.code = code;
    proxy.name = name;
    proxy.version = version;
    proxy.parent = parent;
    proxy.product = name;
    return proxy;
}

std::string ProxyXml(const ProxyFields& proxy) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PayloadInfo>\n  <InstallerProperties>\n";
    xml += "    <Property name=\"KavexCode\">" + Escape(proxy.code) + "</Property>\n";
    xml += "    <Property name=\"ProductVersion\">" + Escape(proxy.version) + "</Property>\n";
    xml += "    <Property name=\"ProductName\">" + Escape(proxy.name) + "</Property>\n  </InstallerProperties>\n";
    xml += "  <Satisfies><ProductInfo><Family>" + Escape(proxy.family) + "</Family><ProductName>" + Escape(proxy.product) +
           "</ProductName></ProductInfo></Satisfies>\n";
    if (!proxy.parent.empty()) {
        xml += "  <Extends type=\"patch\"><ParentProductInfo><KavexCode>" + Escape(proxy.parent) + "</KavexCode><ProductName>" +
               Escape(proxy.parentName) + "</ProductName></ParentProductInfo></Extends>\n";
    }
    for (const std::string& upgrade : proxy.upgrades) xml += "  <Upgrades>" + Escape(upgrade) + "</Upgrades>\n";
    if (!proxy.totalSize.empty()) {
        xml += "  <InstallDestinationMetadata><TotalSize>" + Escape(proxy.totalSize) + "</TotalSize></InstallDestinationMetadata>\n";
    }
    if (!proxy.processes.empty()) {
        xml += "  <ConflictingProcesses><OSX>\n";
        for (const auto& process : proxy.processes) {
            xml += "    <Process blocking=\"" + Escape(process.second) + "\">" + Escape(process.first) + "</Process>\n";
        }
        xml += "  </OSX></ConflictingProcesses>\n";
    }
    return xml + "</PayloadInfo>\n";
}

PatchBundle::PatchBundle(const std::string& root) : mRoot(root) { TestFiles::MakeFolders(root); }

PatchBundle& PatchBundle::AddPatch(const ProxyFields& proxy, const std::string& folder) {
    const std::string name = folder.empty() ? proxy.name : folder;
    const std::string base = mRoot + "/extensions/" + name + "/" + name;
    TestFiles::Write(base + ".proxy.xml", ProxyXml(proxy));
    TestFiles::Write(base + ".dmg", "disk image of " + proxy.code);
    TestFiles::Write(mRoot + "/extensions/" + name + "/" + name + ".data", "data of " + proxy.code);
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

std::string CachedInstaller(const std::string& machineRoot, const std::string& session, const ProxyFields& media,
                            const std::string& standinConf) {
    const std::string folder = machineRoot + "/Library/Application Support/Kavex/Installers/" + session;
    const std::string setup = folder + "/Setup.app/Contents/MacOS/Setup";
    TestFiles::Write(setup, TestFiles::Read(STANDIN_SETUP));
    chmod(setup.c_str(), 0755);
    TestFiles::Write(folder + "/payloads/" + media.name + "/" + media.name + ".proxy.xml", ProxyXml(media));
    if (!standinConf.empty()) TestFiles::Write(folder + "/standin.conf", standinConf);
    return folder;
}

void InstalledBase(StoreBuilder& store, const std::string& machineRoot, const ProxyFields& base,
                   const std::vector<std::string>& sessions, const std::string& installDir, const std::string& standinConf) {
    store.Product(base.code, base.name, base.version, sessions)
        .PayloadData(base.code, 5, "mediaPath", "/Volumes/Media/" + base.name + ".dmg")
        .PayloadData(base.code, 5, "INSTALLDIR", installDir);
    for (const std::string& session : sessions) CachedInstaller(machineRoot, session, base, standinConf);
}
