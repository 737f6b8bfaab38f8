// kavex-bundle: makes, lints, signs and verifies patch bundles (see HelpText.h).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "AtomicFileWriter.h"
#include "BundleManifest.h"
#include "BundleProblems.h"
#include "BundleSignature.h"
#include "BundleTree.h"
#include "BundleVerifier.h"
#include "FileSystemPath.h"
#include "FileSystemUtils.h"
#include "HelpText.h"
#include "LinkSafeTree.h"
#include "MainBundle.h"
#include "PayloadProxy.h"
#include "RegularFile.h"
#include "ScopedDir.h"
#include "UniqueFd.h"

namespace {

enum Status { kOk = 0, kProblems = 1, kUsage = 2, kFileError = 3 };

int Usage(const std::string& why) {
    std::cerr << "kavex-bundle: " << why << "\nSee kavex-bundle --help.\n";
    return kUsage;
}

bool ReadSmall(const std::string& path, std::string& text, size_t limit) {
    if (RegularFile::Read(path, RegularFile::kFollowLinks, text, limit) == RegularFile::kRead) return true;
    std::cerr << "kavex-bundle: " << path << ": cannot be read as a file of at most " << limit << " bytes\n";
    return false;
}

// A new file only: never over an existing one, never through a link.
bool WriteNew(const std::string& path, const std::string& text, mode_t mode) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.valid()) {
        std::cerr << "kavex-bundle: " << path << ": cannot be created (" << strerror(errno) << ")\n";
        return false;
    }
    const bool written = fchmod(fd.get(), mode) == 0 &&
                         write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fd.close() == 0;
    if (!written) {
        std::cerr << "kavex-bundle: " << path << ": cannot be written (" << strerror(errno) << ")\n";
        unlink(path.c_str());
    }
    return written;
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof(cwd)) == nullptr) return path;
    return std::string(cwd) + "/" + path;
}

int Keygen(const std::vector<std::string>& args) {
    if (args.size() != 2) return Usage("keygen needs SECRET_FILE PUBLIC_FILE");
    BundleSignature::PublicKey publicKey;
    BundleSignature::SecretKey secretKey;
    if (!BundleSignature::Generate(publicKey, secretKey)) {
        std::cerr << "kavex-bundle: no key could be made\n";
        return kFileError;
    }
    if (!WriteNew(args[0], BundleSignature::SecretKeyText(secretKey), 0600)) return kFileError;
    if (!WriteNew(args[1], BundleSignature::PublicKeyText(publicKey), 0644)) {
        unlink(args[0].c_str());
        return kFileError;
    }
    std::cout << "key " << publicKey.id << ": secret " << args[0] << ", public " << args[1] << "\n";
    return kOk;
}

int Sign(const std::vector<std::string>& args) {
    if (args.size() != 2) return Usage("sign needs SECRET_FILE BUNDLE_FOLDER");
    std::string text;
    if (!ReadSmall(args[0], text, 4096)) return kFileError;
    BundleSignature::SecretKey key;
    if (!BundleSignature::ReadSecretKey(text, key)) {
        std::cerr << "kavex-bundle: " << args[0] << ": not a secret key\n";
        return kFileError;
    }
    std::vector<BundleTree::Entry> entries;
    std::string why;
    const std::set<std::string> excluded = {BundleManifest::kManifestName, BundleManifest::kSignatureName};
    if (!BundleTree::Scan(args[1], excluded, [](const std::string&, uint64_t) { return true; }, entries, why)) {
        std::cerr << "kavex-bundle: " << args[1] << ": " << why << "\n";
        return kFileError;
    }
    const std::string manifest = BundleManifest::Write(entries);
    const std::string signature = BundleSignature::SignatureText(BundleSignature::Sign(key, manifest));
    // The signature goes last: a manifest without its signature is refused, never half trusted.
    if (!AtomicFileWriter::Write(args[1] + "/" + BundleManifest::kManifestName, manifest, why) ||
        !AtomicFileWriter::Write(args[1] + "/" + BundleManifest::kSignatureName, signature, why)) {
        std::cerr << "kavex-bundle: " << args[1] << ": the manifest or signature cannot be written: " << why << "\n";
        return kFileError;
    }
    std::cout << "signed " << entries.size() << " entries of " << args[1] << " with key " << key.id << "\n";
    return kOk;
}

int Verify(const std::vector<std::string>& args) {
    if (args.size() != 2) return Usage("verify needs PUBLIC_FILE BUNDLE_FOLDER");
    std::string text;
    if (!ReadSmall(args[0], text, 4096)) return kFileError;
    BundleSignature::PublicKey key;
    if (!BundleSignature::ReadPublicKey(text, key)) {
        std::cerr << "kavex-bundle: " << args[0] << ": not a public key\n";
        return kFileError;
    }
    const BundleVerifier::Verdict verdict = BundleVerifier::Verify(args[1], {key});
    if (verdict.state == BundleVerifier::kValid) {
        std::cout << "valid: signed by key " << verdict.keyId << "\n";
        return kOk;
    }
    std::cout << "invalid: " << verdict.reason << "\n";
    return kProblems;
}

int Lint(const std::string& folder) {
    const std::vector<BundleProblems::Problem> problems = BundleProblems::Find(FileSystemPath(Absolute(folder)));
    for (const BundleProblems::Problem& problem : problems) {
        std::cout << problem.kind << ": " << problem.file;
        if (problem.line > 0) std::cout << ":" << problem.line;
        std::cout << ": " << problem.detail << "\n";
    }
    if (problems.empty()) std::cout << "no problems\n";
    return problems.empty() ? kOk : kProblems;
}

std::string XmlText(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string SetupXml(const std::vector<std::string>& codes) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PayloadInfo>\n  <Driver>\n";
    xml += "    <KavexCode display=\"show\">" + XmlText(codes.front()) + "</KavexCode>\n  </Driver>\n";
    if (codes.size() > 1) {
        xml += "  <Critical>\n";
        for (size_t i = 1; i < codes.size(); ++i) xml += "    <KavexCode display=\"show\">" + XmlText(codes[i]) + "</KavexCode>\n";
        xml += "  </Critical>\n";
    }
    return xml + "</PayloadInfo>\n";
}

bool CopyTree(const std::string& from, const std::string& to) {
    if (mkdir(to.c_str(), 0755) != 0 && errno != EEXIST) {
        std::cerr << "kavex-bundle: " << to << ": cannot be created (" << strerror(errno) << ")\n";
        return false;
    }
    LinkSafeTree::Outcome outcome;
    if (FileSystemUtils::CopyFolderContents(FileSystemPath(from), FileSystemPath(to), std::string(), outcome)) return true;
    for (const std::string& failure : outcome.failures) std::cerr << "kavex-bundle: " << failure << "\n";
    return false;
}

// The one proxy of a payload folder, and the code it names.
bool PayloadCode(const std::string& folder, std::string& code) {
    UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<std::string> names, proxies;
    ScopedDir listing(fd.get());
    if (!fd.valid() || !listing.Names(names)) {
        std::cerr << "kavex-bundle: " << folder << ": not a folder that can be listed\n";
        return false;
    }
    for (const std::string& name : names) {
        if (name.size() > 10 && name.compare(name.size() - 10, 10, ".proxy.xml") == 0) proxies.push_back(name);
    }
    if (proxies.size() != 1) {
        std::cerr << "kavex-bundle: " << folder << ": holds " << proxies.size() << " proxies, not one\n";
        return false;
    }
    PayloadProxy::DataStore proxy;
    if (!proxy.Load(FileSystemPath(folder + "/" + proxies[0])) || proxy.mKavexCode.empty()) {
        std::cerr << "kavex-bundle: " << folder << "/" << proxies[0] << ": does not load as a proxy\n";
        return false;
    }
    code = proxy.mKavexCode;
    return true;
}

std::string BaseName(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What a new bundle gets unless told: in a build tree the program beside the tool and the
// project's pages; for the installed tool, where the kavex-bundle package puts them.
void DefaultSources(std::string& program, std::string& pages) {
    const std::string self = MainBundle::ExecutablePath();
    const std::string folder = self.substr(0, self.rfind('/') + 1);
    struct stat st;
    if (stat((folder + "Update.app").c_str(), &st) == 0) {
        program = folder + "Update.app";
        pages = KAVEX_PAGES_DIR;
    } else {
        program = folder + KAVEX_INSTALLED_PROGRAM;
        pages = folder + KAVEX_INSTALLED_PAGES;
    }
}

int New(const std::vector<std::string>& args) {
    std::string out, program, pages;
    std::vector<std::string> payloads;
    DefaultSources(program, pages);
    for (const std::string& arg : args) {
        if (arg.compare(0, 6, "--out=") == 0) {
            out = arg.substr(6);
        } else if (arg.compare(0, 10, "--program=") == 0) {
            program = arg.substr(10);
        } else if (arg.compare(0, 8, "--pages=") == 0) {
            pages = arg.substr(8);
        } else if (arg.compare(0, 2, "--") == 0) {
            return Usage("new: unknown option " + arg);
        } else {
            payloads.push_back(Absolute(arg));
        }
    }
    if (out.empty() || payloads.empty()) return Usage("new needs --out=BUNDLE_FOLDER and at least one PAYLOAD_FOLDER");
    out = Absolute(out);
    std::vector<std::string> codes;
    std::set<std::string> folders;
    for (const std::string& payload : payloads) {
        std::string code;
        if (!PayloadCode(payload, code)) return kFileError;
        if (!folders.insert(BaseName(payload)).second) {
            std::cerr << "kavex-bundle: two payload folders are named " << BaseName(payload) << "\n";
            return kUsage;
        }
        codes.push_back(code);
    }
    struct stat st;
    if (stat((program + "/Contents/MacOS/Update").c_str(), &st) != 0) {
        std::cerr << "kavex-bundle: " << program << " holds no program (" << strerror(errno)
                  << "): install the kavex-bundle package, or name one with --program=UPDATE_APP\n";
        return kFileError;
    }
    if (mkdir(out.c_str(), 0755) != 0) {
        UniqueFd fd(open(out.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        std::vector<std::string> names;
        ScopedDir listing(fd.get());
        if (!fd.valid() || !listing.Names(names) || !names.empty()) {
            std::cerr << "kavex-bundle: " << out << ": must be a new or an empty folder\n";
            return kFileError;
        }
    }
    if (!CopyTree(Absolute(program), out + "/Update.app")) return kFileError;
    if (mkdir((out + "/extensions").c_str(), 0755) != 0 || mkdir((out + "/resources").c_str(), 0755) != 0) {
        std::cerr << "kavex-bundle: " << out << ": its folders cannot be made\n";
        return kFileError;
    }
    for (const std::string& payload : payloads) {
        if (!CopyTree(payload, out + "/extensions/" + BaseName(payload))) return kFileError;
    }
    for (const char* page : {"main.html", "main.css", "main.js", "main.xml"}) {
        std::string text;
        if (!ReadSmall(pages + "/" + page, text, RegularFile::kMaxBytes) ||
            !WriteNew(out + "/resources/" + page, text, 0644)) {
            return kFileError;
        }
    }
    if (!WriteNew(out + "/setup.xml", SetupXml(codes), 0644)) return kFileError;
    std::cout << "made " << out << " with " << codes.size() << " patch(es); driver " << codes.front() << "\n";
    return Lint(out);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage("no command");
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kHelpText;
        return kOk;
    }
    try {
        if (command == "keygen") return Keygen(args);
        if (command == "sign") return Sign(args);
        if (command == "verify") return Verify(args);
        if (command == "lint") return args.size() == 1 ? Lint(args[0]) : Usage("lint needs BUNDLE_FOLDER");
        if (command == "new") return New(args);
    } catch (const std::exception& error) {
        std::cerr << "kavex-bundle: " << error.what() << "\n";
        return kFileError;
    }
    return Usage("unknown command " + command);
}
