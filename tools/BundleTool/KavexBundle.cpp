// kavex-bundle: makes, lints, signs and verifies patch bundles (see HelpText.h).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "AtomicFileWriter.h"
#include "BundleManifest.h"
#include "BundleProblems.h"
#include "BundleScope.h"
#include "BundleSignature.h"
#include "BundleTree.h"
#include "BundleVerifier.h"
#include "ExamplePayload.h"
#include "FileSystemPath.h"
#include "FileSystemUtils.h"
#include "HelpText.h"
#include "LinkSafeTree.h"
#include "MacUtils.h"
#include "MainBundle.h"
#include "PayloadProxy.h"
#include "RegularFile.h"
#include "ScopedDir.h"
#include "UIDriverCheck.h"
#include "UniqueFd.h"
#include "XmlEscape.h"

namespace {

enum Status { kOk = 0, kProblems = 1, kUsage = 2, kFileError = 3 };

int Usage(const std::string& why) {
    std::cerr << "kavex-bundle: " << why << "\nSee kavex-bundle --help.\n";
    return kUsage;
}

// Why a file cannot be read, in the words a user can act on.
std::string WhyUnreadable(const std::string& path, size_t limit) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return strerror(errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (static_cast<unsigned long long>(st.st_size) > limit) return "larger than " + std::to_string(limit) + " bytes";
    return "cannot be read";
}

bool ReadSmall(const std::string& path, std::string& text, size_t limit) {
    if (RegularFile::Read(path, RegularFile::kFollowLinks, text, limit) == RegularFile::kRead) return true;
    std::cerr << "kavex-bundle: " << path << ": " << WhyUnreadable(path, limit) << "\n";
    return false;
}

// A secret key is read from the file itself, and only while no one else may read it: a key
// that others could have copied signs for them too.
bool ReadSecret(const std::string& path, std::string& text) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    std::string why;
    if (!fd.valid()) {
        why = errno == ELOOP ? "is a symbolic link: name the key file itself" : strerror(errno);
    } else if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "is not a regular file";
    } else if (st.st_uid != geteuid()) {
        why = "belongs to user " + std::to_string(st.st_uid) + ", not to you: keep your own copy, mode 0600";
    } else if ((st.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(st.st_mode & 07777));
        why = std::string("is readable or writable by others (mode ") + mode + "): chmod 600 it, and make a new key " +
              "if anyone else may have read it";
    } else if (st.st_size > 4096) {
        why = "is larger than 4096 bytes: not a secret key";
    } else {
        char buffer[4097];
        const ssize_t n = read(fd.get(), buffer, sizeof(buffer));
        if (n >= 0) {
            text.assign(buffer, static_cast<size_t>(n));
            return true;
        }
        why = strerror(errno);
    }
    std::cerr << "kavex-bundle: " << path << ": " << why << "\n";
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

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
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

bool ReadSecret(const std::string& path, BundleSignature::SecretKey& key) {
    std::string text;
    if (!ReadSecret(path, text)) return false;
    if (BundleSignature::ReadSecretKey(text, key)) return true;
    std::cerr << "kavex-bundle: " << path << ": not a secret key (make one with kavex-bundle keygen)\n";
    return false;
}

bool ReadPublic(const std::string& path, BundleSignature::PublicKey& key) {
    std::string text;
    if (!ReadSmall(path, text, 4096)) return false;
    if (BundleSignature::ReadPublicKey(text, key)) return true;
    std::cerr << "kavex-bundle: " << path << ": not a public key (the .pub file kavex-bundle keygen wrote)\n";
    return false;
}

// "YYYY-MM-DD" (its first second, or with endOfDay its last) or a whole UTC time.
bool ParseDay(const std::string& text, bool endOfDay, int64_t& seconds) {
    if (text.size() == 10) return BundleManifest::ParseTime(text + (endOfDay ? "T23:59:59Z" : "T00:00:00Z"), seconds);
    return BundleManifest::ParseTime(text, seconds);
}

bool ParseCount(const std::string& text, uint64_t limit, uint64_t& value) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::stoull(text);
    return value <= limit;
}

bool ScanBundle(const std::string& folder, std::vector<BundleTree::Entry>& entries) {
    std::string why;
    const std::set<std::string> excluded = {BundleManifest::kManifestName, BundleManifest::kSignatureName};
    if (BundleTree::Scan(folder, excluded, [](const std::string&, uint64_t) { return true; }, entries, why)) return true;
    std::cerr << "kavex-bundle: " << folder << ": " << why << "\n";
    return false;
}

bool WriteSigned(const std::string& folder, const std::string* manifest, const BundleSignature::Signatures& signatures) {
    std::string why;
    // The signature goes last: a manifest without its signature is refused, never half trusted.
    if ((manifest != nullptr && !AtomicFileWriter::Write(folder + "/" + BundleManifest::kManifestName, *manifest, why)) ||
        !AtomicFileWriter::Write(folder + "/" + BundleManifest::kSignatureName, BundleSignature::SignaturesText(signatures), why)) {
        std::cerr << "kavex-bundle: " << folder << ": the manifest or signature cannot be written: " << why << "\n";
        return false;
    }
    return true;
}

int Sign(const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    std::string series, version, expires, validDays, products, issued, rotationFile;
    bool productsGiven = false;
    for (const std::string& arg : args) {
        const size_t equals = arg.find('=');
        const std::string key = arg.substr(0, equals), value = equals == std::string::npos ? "" : arg.substr(equals + 1);
        if (arg.compare(0, 2, "--") != 0) {
            positional.push_back(arg);
        } else if (key == "--series") {
            series = value;
        } else if (key == "--version") {
            version = value;
        } else if (key == "--expires") {
            expires = value;
        } else if (key == "--valid-days") {
            validDays = value;
        } else if (key == "--products") {
            products = value;
            productsGiven = true;
        } else if (key == "--issued") {
            issued = value;
        } else if (key == "--rotation") {
            rotationFile = value;
        } else {
            return Usage("sign: unknown option " + arg);
        }
    }
    if (positional.size() != 2) return Usage("sign needs SECRET_FILE BUNDLE_FOLDER");
    BundleManifest::Release release;
    if (!series.empty() || !version.empty()) {
        release.format = 2;
        release.series = series;
        if (!BundleManifest::IsSeriesName(series)) return Usage("sign: --series wants 1 to 64 of A-Z a-z 0-9 . _ -");
        if (!ParseCount(version, UINT64_MAX / 2, release.version)) return Usage("sign: --version wants a whole number");
        release.issued = static_cast<int64_t>(time(nullptr));
        if (!issued.empty() && !ParseDay(issued, false, release.issued)) return Usage("sign: --issued wants YYYY-MM-DD");
        if (!expires.empty() && !validDays.empty()) return Usage("sign: --expires or --valid-days, not both");
        uint64_t days = 365;
        if (!validDays.empty() && (!ParseCount(validDays, 36500, days) || days == 0)) {
            return Usage("sign: --valid-days wants 1 to 36500");
        }
        release.expires = release.issued + static_cast<int64_t>(days) * 86400;
        if (!expires.empty() && !ParseDay(expires, true, release.expires)) return Usage("sign: --expires wants YYYY-MM-DD");
        if (release.expires < release.issued) return Usage("sign: it would expire before it is issued");
        if (productsGiven) {
            size_t start = 0;
            while (!products.empty()) {
                const size_t comma = products.find(',', start);
                const std::string code = products.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                if (!BundleManifest::IsProductCode(code)) return Usage("sign: --products wants CODE,CODE,...");
                if (std::find(release.products.begin(), release.products.end(), code) == release.products.end()) {
                    release.products.push_back(code);
                }
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
        } else {
            // What the bundle patches today, and nothing a later change might add.
            release.products = BundleScope::BaseProducts(positional[1]);
        }
    } else if (!expires.empty() || !validDays.empty() || productsGiven || !issued.empty()) {
        return Usage("sign: --expires, --valid-days, --products and --issued need --series and --version");
    }
    BundleSignature::SecretKey key;
    if (!ReadSecret(positional[0], key)) return kFileError;
    BundleSignature::Signatures signatures;
    if (!rotationFile.empty()) {
        std::string text;
        if (!ReadSmall(rotationFile, text, BundleSignature::kMaxFileBytes)) return kFileError;
        for (const std::string& line : Lines(text)) {
            BundleSignature::Rotation rotation;
            if (!BundleSignature::ReadRotation(line, rotation)) {
                std::cerr << "kavex-bundle: " << rotationFile << ": not a statement of kavex-bundle rotate\n";
                return kFileError;
            }
            signatures.rotations.push_back(rotation);
        }
    }
    std::vector<BundleTree::Entry> entries;
    if (!ScanBundle(positional[1], entries)) return kFileError;
    const std::string manifest = BundleManifest::Write(release, entries);
    signatures.signatures.push_back(BundleSignature::Sign(key, manifest));
    if (!WriteSigned(positional[1], &manifest, signatures)) return kFileError;
    std::cout << "signed " << entries.size() << " entries of " << positional[1] << " with key " << key.id;
    if (release.format == 2) {
        std::cout << ": " << release.series << " version " << release.version << ", expires "
                  << BundleManifest::TimeText(release.expires) << "\n";
    } else {
        std::cout << "\n" << "note: a format 1 manifest (no series, version, expiry or scope); give --series and --version\n";
    }
    return kOk;
}

// One more signer of the same manifest, which must still match the folder.
int Cosign(const std::vector<std::string>& args) {
    if (args.size() != 2) return Usage("cosign needs SECRET_FILE BUNDLE_FOLDER");
    BundleSignature::SecretKey key;
    if (!ReadSecret(args[0], key)) return kFileError;
    std::string manifest, signatureText, why;
    if (!ReadSmall(args[1] + "/" + BundleManifest::kManifestName, manifest, BundleManifest::kMaxBytes) ||
        !ReadSmall(args[1] + "/" + BundleManifest::kSignatureName, signatureText, BundleSignature::kMaxFileBytes)) {
        return kFileError;
    }
    BundleSignature::Signatures signatures;
    std::vector<BundleTree::Entry> listed, found;
    if (!BundleSignature::ReadSignatures(signatureText, signatures, why) || !BundleManifest::Read(manifest, listed, why)) {
        std::cerr << "kavex-bundle: " << args[1] << ": not a signed bundle: " << why << "\n";
        return kFileError;
    }
    if (!ScanBundle(args[1], found)) return kFileError;
    const std::string difference = BundleManifest::FirstDifference(listed, found);
    if (!difference.empty()) {
        std::cerr << "kavex-bundle: " << args[1] << ": differs from its manifest (" << difference << "); sign it again\n";
        return kProblems;
    }
    for (const BundleSignature::Signature& signature : signatures.signatures) {
        if (signature.keyId == key.id) {
            std::cerr << "kavex-bundle: key " << key.id << " has signed it already\n";
            return kProblems;
        }
    }
    if (signatures.signatures.size() >= BundleSignature::kMaxSignatures) {
        std::cerr << "kavex-bundle: " << args[1] << ": has the most signatures a bundle may carry\n";
        return kProblems;
    }
    signatures.signatures.push_back(BundleSignature::Sign(key, manifest));
    if (!WriteSigned(args[1], nullptr, signatures)) return kFileError;
    std::cout << "cosigned " << args[1] << " with key " << key.id << ": " << signatures.signatures.size() << " signatures\n";
    return kOk;
}

int Rotate(const std::vector<std::string>& args) {
    if (args.size() != 2) return Usage("rotate needs OLD_SECRET_FILE NEW_PUBLIC_FILE");
    BundleSignature::SecretKey oldKey;
    BundleSignature::PublicKey newKey;
    if (!ReadSecret(args[0], oldKey) || !ReadPublic(args[1], newKey)) return kFileError;
    if (oldKey.id == newKey.id) return Usage("rotate: the new key is the old one");
    std::cout << BundleSignature::RotationText(BundleSignature::Rotate(oldKey, newKey, static_cast<int64_t>(time(nullptr))));
    return kOk;
}

int Verify(const std::vector<std::string>& args) {
    std::vector<std::string> positional;
    std::string machineRoot;
    for (const std::string& arg : args) {
        if (arg.compare(0, 15, "--machine-root=") == 0) {
            machineRoot = arg.substr(15);
        } else if (arg.compare(0, 2, "--") == 0) {
            return Usage("verify: unknown option " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty() || positional.size() > 2 || (positional.size() == 2 && !machineRoot.empty())) {
        return Usage("verify needs PUBLIC_FILE BUNDLE_FOLDER, or [--machine-root=ROOT] BUNDLE_FOLDER");
    }
    BundleVerifier::Machine machine;
    if (positional.size() == 2) {
        BundleSignature::PublicKey key;
        if (!ReadPublic(positional[0], key)) return kFileError;
        machine.keys.push_back(key);
        machine.keysFolderPresent = true;
    } else {
        if (!machineRoot.empty()) setenv(kSystemRootVariable, Absolute(machineRoot).c_str(), 1);
        machine = BundleVerifier::LoadMachine();
    }
    const BundleVerifier::Verdict verdict = BundleVerifier::Decide(positional.back(), machine, static_cast<int64_t>(time(nullptr)),
                                                                   BundleScope::FirstOutside, nullptr, nullptr);
    switch (verdict.state) {
        case BundleVerifier::kValid: std::cout << "valid: signed by key " << verdict.keyId; break;
        case BundleVerifier::kInvalid: std::cout << "invalid: " << verdict.reason; break;
        case BundleVerifier::kUnsigned: std::cout << "unsigned: " << verdict.reason; break;
    }
    if (verdict.state == BundleVerifier::kValid && !verdict.reason.empty()) std::cout << " - " << verdict.reason;
    std::cout << "\n" << UIDriverCheck::TrustLine(verdict) << "\n";
    return verdict.state == BundleVerifier::kInvalid ? kProblems : kOk;
}

int PrintProblems(const std::vector<BundleProblems::Problem>& problems) {
    for (const BundleProblems::Problem& problem : problems) {
        std::cout << problem.kind << ": " << problem.file;
        if (problem.line > 0) std::cout << ":" << problem.line;
        std::cout << ": " << problem.detail << "\n";
    }
    return problems.empty() ? kOk : kProblems;
}

bool IsFolder(const std::string& path, const char* what) {
    struct stat st;
    const bool found = stat(path.c_str(), &st) == 0;
    if (found && S_ISDIR(st.st_mode)) return true;
    std::cerr << "kavex-bundle: " << path << ": " << (found ? "not a folder" : strerror(errno)) << ": name " << what << "\n";
    return false;
}

// Makes the folder and the missing ones above it; it must end up new or empty.
bool MakeEmptyFolder(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string above = path.substr(0, slash);
        if (mkdir(above.c_str(), 0755) != 0 && errno != EEXIST) {
            std::cerr << "kavex-bundle: " << above << ": cannot be made (" << strerror(errno) << ")\n";
            return false;
        }
    }
    if (mkdir(path.c_str(), 0755) == 0) return true;
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<std::string> names;
    ScopedDir listing(fd.get());
    if (!fd.valid()) {
        std::cerr << "kavex-bundle: " << path << ": " << (errno == ENOTDIR || errno == ELOOP ? "not a folder" : strerror(errno))
                  << ": name a new folder or an empty one\n";
        return false;
    }
    if (!listing.Names(names) || !names.empty()) {
        std::cerr << "kavex-bundle: " << path << ": not empty: name a new folder (its parents are made) or an empty one\n";
        return false;
    }
    return true;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int Lint(const std::string& folder) {
    if (!IsFolder(folder, "the bundle folder (it holds Update.app, extensions/ and setup.xml)")) return kFileError;
    const std::vector<BundleProblems::Problem> problems = BundleProblems::Find(FileSystemPath(Absolute(folder)));
    if (problems.empty()) std::cout << "no problems\n";
    return PrintProblems(problems);
}

std::string SetupXml(const std::vector<std::string>& codes) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PayloadInfo>\n  <Driver>\n";
    xml += "    <KavexCode display=\"show\">" + XmlEscaped(codes.front()) + "</KavexCode>\n  </Driver>\n";
    if (codes.size() > 1) {
        xml += "  <Critical>\n";
        for (size_t i = 1; i < codes.size(); ++i) xml += "    <KavexCode display=\"show\">" + XmlEscaped(codes[i]) + "</KavexCode>\n";
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

// The one proxy of a payload folder, and the code it names; kOk, or the status to end with.
int PayloadCode(const std::string& folder, std::string& code) {
    if (!IsFolder(folder, "a payload folder (it holds NAME.proxy.xml and NAME.dmg)")) return kFileError;
    UniqueFd fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<std::string> names, proxies;
    ScopedDir listing(fd.get());
    if (!fd.valid() || !listing.Names(names)) {
        std::cerr << "kavex-bundle: " << folder << ": cannot be listed (" << strerror(errno) << ")\n";
        return kFileError;
    }
    for (const std::string& name : names) {
        if (name.size() > 10 && name.compare(name.size() - 10, 10, ".proxy.xml") == 0) proxies.push_back(name);
    }
    if (proxies.size() != 1) {
        std::cerr << "kavex-bundle: " << folder << ": holds " << proxies.size()
                  << " files NAME.proxy.xml; a payload folder holds exactly one (see kavex-bundle new --example)\n";
        return kProblems;
    }
    std::vector<BundleProblems::Problem> problems;
    BundleProblems::CheckProxy(folder + "/" + proxies[0], problems, code);
    if (code.empty()) return PrintProblems(problems);
    return kOk;
}

std::string BaseName(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int Example(const std::string& folder);

int New(const std::vector<std::string>& args) {
    std::string out;
    std::vector<std::string> payloads;
    // An installed tool finds the program and pages it copies in its shared folder; a build tree's beside it.
    const std::string self = MainBundle::ExecutablePath();
    // Where the kavex-bundle package puts them, relative to this tool (machine code under lib/,
    // the pages under share/).
    const std::string folder = self.substr(0, self.rfind('/') + 1);
    const std::string installed = folder + KAVEX_INSTALLED_PROGRAM;
    std::string program = Exists(installed) ? installed : folder + "Update.app";
    std::string pages = Exists(folder + KAVEX_INSTALLED_PAGES) ? folder + KAVEX_INSTALLED_PAGES : KAVEX_PAGES_DIR;
    for (const std::string& arg : args) {
        if (arg.compare(0, 6, "--out=") == 0) {
            out = arg.substr(6);
        } else if (arg.compare(0, 10, "--program=") == 0) {
            program = arg.substr(10);
        } else if (arg.compare(0, 8, "--pages=") == 0) {
            pages = arg.substr(8);
        } else if (arg.compare(0, 10, "--example=") == 0) {
            if (args.size() != 1) return Usage("new --example=FOLDER takes nothing else");
            return Example(Absolute(arg.substr(10)));
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
        const int status = PayloadCode(payload, code);
        if (status != kOk) return status;
        if (!folders.insert(BaseName(payload)).second) {
            std::cerr << "kavex-bundle: two payload folders are named " << BaseName(payload) << "\n";
            return kUsage;
        }
        codes.push_back(code);
    }
    if (!IsFolder(Absolute(program), "the built Update.app with --program=UPDATE_APP")) return kFileError;
    if (!IsFolder(pages, "the folder of main.html, main.css, main.js and main.xml with --pages=FOLDER")) return kFileError;
    if (!MakeEmptyFolder(out)) return kFileError;
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

int Example(const std::string& folder) {
    if (!MakeEmptyFolder(folder)) return kFileError;
    if (!WriteNew(folder + "/Example.proxy.xml", kExampleProxy, 0644) || !WriteNew(folder + "/Example.dmg", kExampleImage, 0644) ||
        !WriteNew(folder + "/Example.data", kExampleData, 0644)) {
        return kFileError;
    }
    std::vector<BundleProblems::Problem> problems;
    std::string code;
    BundleProblems::CheckProxy(folder + "/Example.proxy.xml", problems, code);
    if (!problems.empty()) return PrintProblems(problems);
    std::cout << "wrote the example payload " << folder << " (Example.proxy.xml, Example.dmg, Example.data); edit it, then: "
              << "kavex-bundle new --out=BUNDLE_FOLDER " << folder << "\n";
    return kOk;
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
    if (command == "--version") {
        std::cout << "kavex-bundle (Kavex Update) 2.1.51.0\n";
        return kOk;
    }
    try {
        if (command == "keygen") return Keygen(args);
        if (command == "sign") return Sign(args);
        if (command == "verify") return Verify(args);
        if (command == "cosign") return Cosign(args);
        if (command == "rotate") return Rotate(args);
        if (command == "lint") return args.size() == 1 ? Lint(args[0]) : Usage("lint needs BUNDLE_FOLDER");
        if (command == "new") return New(args);
    } catch (const std::exception& error) {
        std::cerr << "kavex-bundle: " << error.what() << "\n";
        return kFileError;
    }
    return Usage("unknown command " + command);
}
