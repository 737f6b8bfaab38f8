// Patch bundles beside a program, and cached base-product installers in a machine root.
//
//   PatchBundle bundle(box / "bundle");
//   bundle.AddPatch(Patch("{P1}", "Suite Patch", "1.0.1", "{BASE}"));
//   CachedInstaller(box / "machine", "{SESSION-1}", Patch("{BASE}", "Suite", "1.0", ""), "exit=0\n");
#ifndef PATCH_FIXTURES_H
#define PATCH_FIXTURES_H

#include <string>
#include <utility>
#include <vector>

class StoreBuilder;

struct ProxyFields {
    std::string code;
    std::string name;
    std::string version;
    std::string parent;  // empty: no Extends element
    std::string parentName = "Base Product";
    std::string family = "Kavex";
    std::string product = "Product";
    std::string totalSize = "1000";
    std::vector<std::string> upgrades;
    std::vector<std::pair<std::string, std::string> > processes;  // (name, blocking)
};

ProxyFields Patch(const std::string& code, const std::string& name, const std::string& version, const std::string& parent);
std::string ProxyXml(const ProxyFields& proxy);

class PatchBundle {
public:
    explicit PatchBundle(const std::string& root);
    const std::string& Root() const { return mRoot; }
    // extensions/<folder>/<folder>.proxy.xml, its .dmg and a .data file; folder defaults to the name.
    PatchBundle& AddPatch(const ProxyFields& proxy, const std::string& folder = "");
    PatchBundle& SetupXml(const std::string& xml);
    PatchBundle& Strings(const std::string& xml);
    // A copy of the built bundle, so that the program finds these files beside it.
    std::string InstallProgram() const;

private:
    std::string mRoot;
};

// <machine>/Library/Application Support/Kavex/Installers/<session> with the stand-in
// setup, its control file and the media proxy that the base product was installed from.
// Returns the setup folder.
std::string CachedInstaller(const std::string& machineRoot, const std::string& session, const ProxyFields& media,
                            const std::string& standinConf = "");

// The base product in the store: payload, one collection per session, "mediaPath" and
// the install folder of its media; and a cached installer per session.
void InstalledBase(StoreBuilder& store, const std::string& machineRoot, const ProxyFields& base,
                   const std::vector<std::string>& sessions, const std::string& installDir,
                   const std::string& standinConf = "");

#endif
