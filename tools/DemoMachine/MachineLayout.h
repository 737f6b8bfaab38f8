// Sandbox machines and patch bundles for the demo and the benchmarks: installed
// base products with their cached installers, and patches beside the program.
#ifndef MACHINE_LAYOUT_H
#define MACHINE_LAYOUT_H

#include <string>
#include <vector>

#include "MoxaQueries.h"

namespace MachineLayout {

struct Proxy {
    std::string code, name, version, parent, parentName, size;
    std::vector<std::string> blockingApps;
};

// False once anything failed (reported on stderr).
bool Ok();
void MakeFolders(const std::string& path);
void Write(const std::string& path, const std::string& text);
void Check(int rc, const std::string& what);
std::string ProxyXml(const Proxy& p);
void Run(moxaiSession* session, const char* format, const std::string& a, const std::string& b = "",
         const std::string& c = "", const std::string& d = "");
// A base product installed in some sessions, with a cached installer (the stand-in setup) per session.
void InstallBase(moxaiSession* session, const std::string& common, const Proxy& base,
                 const std::vector<std::string>& sessions, const std::string& installDir, const std::string& standIn,
                 const std::string& standinConf = "record-installed=1\n");
// extensions/<folder>/<folder>.proxy.xml with its .dmg and .data.
void AddPatch(const std::string& bundle, const std::string& folder, const Proxy& patch);

}  // namespace MachineLayout

#endif
