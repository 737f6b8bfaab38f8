#include "BundleProblems.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <ctype.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <set>

#include "ConflictPattern.h"
#include "FileSystemUtils.h"
#include "PayloadIteration.h"
#include "PayloadProxy.h"
#include "PayloadsManagerSetup.h"
#include "RegularFile.h"
#include "UniqueFd.h"
#include "XmlFile.h"

namespace {

typedef BundleProblems::Problem Problem;

// The reader's refusal in words, for the report.
std::string WhyNotRead(const std::string& path, RegularFile::Outcome outcome) {
    struct stat st;
    if (outcome == RegularFile::kMissing || lstat(path.c_str(), &st) != 0) return "cannot be opened as a file";
    if (!S_ISREG(st.st_mode)) return "is not a regular file";
    return static_cast<unsigned long long>(st.st_size) > RegularFile::kMaxBytes ? "is too large" : "cannot be read";
}

typedef XmlFile::Document Document;

// The parsed document, or null with the parser's first complaint and its line
// (later complaints are only what follows from the first).
Document Parse(const std::string& path, Problem& problem) {
    problem.file = path;
    // The same reader, bound and parse as the loaders': what they refuse is reported, nothing more.
    XmlFile::Loaded loaded = XmlFile::Load(path, RegularFile::kNoFinalLink);
    if (loaded.read != RegularFile::kRead) {
        problem.detail = "the file " + WhyNotRead(path, loaded.read);
        return Document();
    }
    if (!loaded.doc || loaded.complained) {
        problem.line = loaded.line;
        problem.detail = loaded.complaint.empty() ? "not well-formed XML" : loaded.complaint;
        return Document();
    }
    return std::move(loaded.doc);
}

struct XPathContextDeleter {
    void operator()(xmlXPathContext* context) const { xmlXPathFreeContext(context); }
};
struct XPathObjectDeleter {
    void operator()(xmlXPathObject* object) const { xmlXPathFreeObject(object); }
};

// The elements a query finds, in document order.
std::vector<xmlNode*> Elements(xmlDoc* doc, const char* query) {
    std::vector<xmlNode*> found;
    std::unique_ptr<xmlXPathContext, XPathContextDeleter> context(xmlXPathNewContext(doc));
    if (!context) return found;
    std::unique_ptr<xmlXPathObject, XPathObjectDeleter> result(xmlXPathEvalExpression(BAD_CAST query, context.get()));
    if (!result || result->nodesetval == nullptr) return found;
    for (int i = 0; i < result->nodesetval->nodeNr; ++i) found.push_back(result->nodesetval->nodeTab[i]);
    return found;
}

int LineOf(const xmlNode* node) { return node != nullptr ? static_cast<int>(xmlGetLineNo(node)) : 0; }

std::string TextOf(xmlNode* node) {
    xmlChar* text = xmlNodeGetContent(node);
    std::string value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    xmlFree(text);
    return value;
}

// The items without which a proxy does not load (each exactly once, with text), as the reader queries them.
struct RequiredItem {
    const char* query;
    const char* parent;  // where it belongs, for the line to look at when it is missing
    const char* element;
};
const RequiredItem kRequired[] = {
    {"/PayloadInfo/InstallerProperties/Property[@name=\"KavexCode\"]", "/PayloadInfo/InstallerProperties",
     "<InstallerProperties><Property name=\"KavexCode\">"},
    {"/PayloadInfo/InstallerProperties/Property[@name=\"ProductVersion\"]", "/PayloadInfo/InstallerProperties",
     "<InstallerProperties><Property name=\"ProductVersion\">"},
    {"/PayloadInfo/InstallerProperties/Property[@name=\"ProductName\"]", "/PayloadInfo/InstallerProperties",
     "<InstallerProperties><Property name=\"ProductName\">"},
    {"/PayloadInfo/Satisfies/ProductInfo/Family", "/PayloadInfo/Satisfies/ProductInfo", "<Satisfies><ProductInfo><Family>"},
    {"/PayloadInfo/Satisfies/ProductInfo/ProductName", "/PayloadInfo/Satisfies/ProductInfo",
     "<Satisfies><ProductInfo><ProductName>"},
};

// Why a well-formed proxy does not load: the first required item that is missing, repeated or empty.
bool RequiredItemProblem(xmlDoc* doc, Problem& problem) {
    xmlNode* top = xmlDocGetRootElement(doc);
    if (top == nullptr || xmlStrcmp(top->name, BAD_CAST "PayloadInfo") != 0) {
        problem.line = LineOf(top);
        problem.detail = std::string("the top element is <") + (top != nullptr ? reinterpret_cast<const char*>(top->name) : "") +
                         ">, not <PayloadInfo>";
        return true;
    }
    for (const RequiredItem& item : kRequired) {
        const std::vector<xmlNode*> found = Elements(doc, item.query);
        if (found.empty()) {
            std::string parent = item.parent;
            std::vector<xmlNode*> near;
            while ((near = Elements(doc, parent.c_str())).empty() && parent.rfind('/') > 0) parent.erase(parent.rfind('/'));
            problem.line = near.empty() ? LineOf(top) : LineOf(near.front());
            problem.detail = std::string("no ") + item.element + ": every proxy needs exactly one";
            return true;
        }
        if (found.size() > 1) {
            problem.line = LineOf(found[1]);
            problem.detail = std::to_string(found.size()) + " of " + item.element + " (lines " +
                             std::to_string(LineOf(found[0])) + " and " + std::to_string(LineOf(found[1])) +
                             "): exactly one is read";
            return true;
        }
        if (TextOf(found.front()).empty()) {
            problem.line = LineOf(found.front());
            problem.detail = std::string(item.element) + " is empty";
            return true;
        }
    }
    return false;
}

// The line of the first element a query finds, or 0.
int FirstLine(xmlDoc* doc, const char* query) {
    const std::vector<xmlNode*> found = Elements(doc, query);
    return found.empty() ? 0 : LineOf(found.front());
}

bool ParsesWithoutComplaint(const std::string& path, std::vector<Problem>& problems, const char* kind) {
    Problem problem;
    problem.kind = kind;
    if (Parse(path, problem)) return true;
    problems.push_back(problem);
    return false;
}

bool SizeIsANumber(const std::string& text) {
    size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    return at < text.size() && isdigit(static_cast<unsigned char>(text[at]));
}

void CheckProxies(const FileSystemPath& root, std::vector<Problem>& problems, std::set<std::string>& codes) {
    FileSystemPath extensions(root);
    extensions.AppendUTF8Segment("extensions");
    PayloadIteration::PathPairs pairs;
    if (!PayloadIteration::EnumerateVornProxyAndPayloadPaths(extensions, PayloadProxyFileConstants::kProxyTypeFull, pairs)) {
        if (FileSystemUtils::Exists(extensions)) {
            problems.push_back(Problem{"extensionsUnreadable", extensions.AsUTF8String(), 0, "the folder cannot be listed"});
        }
        return;
    }
    for (const auto& pair : pairs) {
        std::string code;
        BundleProblems::CheckProxy(pair.first.AsUTF8String(), problems, code);
        if (!code.empty()) codes.insert(code);
    }
}

void CheckSetup(const FileSystemPath& root, std::vector<Problem>& problems, const std::set<std::string>& codes) {
    FileSystemPath path(root);
    path.AppendUTF8Segment("setup.xml");
    if (!FileSystemUtils::Exists(path)) return;
    if (!ParsesWithoutComplaint(path.AsUTF8String(), problems, "setupNotLoaded")) return;
    PayloadsManagerSetup::DataStore setup;
    if (!setup.Load(path)) {
        problems.push_back(Problem{"setupNotLoaded", path.AsUTF8String(), 0, "the setup description cannot be read"});
        return;
    }
    std::map<std::string, std::string> named;  // code -> where setup.xml names it
    for (const std::string& code : setup.mCriticalCodes) named.insert(std::make_pair(code, "critical"));
    for (const std::string& code : setup.mOptionalCodes) named.insert(std::make_pair(code, "optional"));
    for (const auto& entry : setup.mDisplayByCode) named.insert(std::make_pair(entry.first, "display"));
    if (!setup.mDriverCode.empty()) named.insert(std::make_pair(setup.mDriverCode, "driver"));
    for (const auto& entry : named) {
        if (codes.count(entry.first) == 0) {
            problems.push_back(Problem{"codeWithoutProxy", path.AsUTF8String(), 0,
                                       entry.first + " (" + entry.second + ") is named, and no proxy has it"});
        }
    }
}

bool IsIdCharacter(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The quoted word that starts at start, when a quote closes it.
void AddQuotedId(const std::string& text, size_t start, std::set<std::string>& ids) {
    size_t end = start;
    while (end < text.size() && IsIdCharacter(text[end])) ++end;
    if (end > start && end < text.size() && text[end] == '"') ids.insert(text.substr(start, end - start));
}

// The string IDs a page names: the values of data-l10n attributes in markup, and the
// quoted words of script that start with loc and a capital, or with locnot (not location).
std::set<std::string> PageStringIds(const std::string& text) {
    std::set<std::string> ids;
    const std::string markup = "data-l10n=\"";
    for (size_t at = text.find(markup); at != std::string::npos; at = text.find(markup, at + 1)) {
        AddQuotedId(text, at + markup.size(), ids);
    }
    for (size_t at = text.find("\"loc"); at != std::string::npos; at = text.find("\"loc", at + 1)) {
        const size_t next = at + 4;
        if (next < text.size() && (isupper(static_cast<unsigned char>(text[next])) || text.compare(next, 3, "not") == 0)) {
            AddQuotedId(text, at + 1, ids);
        }
    }
    return ids;
}

void CheckPageStrings(const FileSystemPath& root, const std::map<std::string, std::set<std::string> >& languagesOf,
                      const std::set<std::string>& languages, std::vector<Problem>& problems) {
    for (const char* page : {"main.html", "main.js"}) {
        FileSystemPath path(root);
        path.AppendUTF8Segment("resources");
        path.AppendUTF8Segment(page);
        std::string text;
        if (RegularFile::Read(path.AsUTF8String(), RegularFile::kNoFinalLink, text) != RegularFile::kRead) continue;
        const std::set<std::string> ids = PageStringIds(text);
        for (const std::string& language : languages) {
            std::string missing;
            for (const std::string& id : ids) {
                const auto have = languagesOf.find(id);
                if (have == languagesOf.end() || have->second.count(language) == 0) missing += (missing.empty() ? "" : ", ") + id;
            }
            if (!missing.empty()) {
                problems.push_back(Problem{"pageStringMissing", path.AsUTF8String(), 0, "uses what " + language + " lacks: " + missing});
            }
        }
    }
}

void CheckStrings(const FileSystemPath& root, std::vector<Problem>& problems) {
    FileSystemPath path(root);
    path.AppendUTF8Segment("resources");
    path.AppendUTF8Segment("main.xml");
    if (!FileSystemUtils::Exists(path)) {
        problems.push_back(Problem{"stringTableMissing", path.AsUTF8String(), 0, "no string table: every message is empty"});
        return;
    }
    Problem problem;
    problem.kind = "stringTableNotLoaded";
    Document doc = Parse(path.AsUTF8String(), problem);
    if (!doc) {
        problems.push_back(problem);
        return;
    }
    std::map<std::string, std::set<std::string> > languagesOf;  // string ID -> its languages
    std::set<std::string> languages;
    xmlNode* top = xmlDocGetRootElement(doc.get());
    for (xmlNode* node = top != nullptr ? top->children : nullptr; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE || xmlStrcmp(node->name, BAD_CAST "String") != 0) continue;
        xmlChar* id = xmlGetProp(node, BAD_CAST "stringID");
        if (id == nullptr) continue;
        std::set<std::string>& have = languagesOf[reinterpret_cast<const char*>(id)];
        xmlFree(id);
        for (xmlNode* text = node->children; text != nullptr; text = text->next) {
            if (text->type != XML_ELEMENT_NODE) continue;
            have.insert(reinterpret_cast<const char*>(text->name));
            languages.insert(reinterpret_cast<const char*>(text->name));
        }
    }
    for (const std::string& language : languages) {
        std::string missing;
        for (const auto& entry : languagesOf) {
            if (entry.second.count(language) == 0) missing += (missing.empty() ? "" : ", ") + entry.first;
        }
        if (!missing.empty()) problems.push_back(Problem{"stringMissing", path.AsUTF8String(), 0, language + " lacks " + missing});
    }
    CheckPageStrings(root, languagesOf, languages, problems);
}

}  // namespace

bool BundleProblems::CheckProxy(const std::string& path, std::vector<Problem>& problems, std::string& code) {
    const size_t before = problems.size();
    Problem problem;
    problem.kind = "proxyNotLoaded";
    Document doc = Parse(path, problem);
    if (!doc) {
        problems.push_back(problem);
        return false;
    }
    PayloadProxy::DataStore proxy;
    if (!proxy.Load(FileSystemPath(path))) {
        if (!RequiredItemProblem(doc.get(), problem)) problem.detail = "the description lacks what a proxy must hold";
        problems.push_back(problem);
        return false;
    }
    code = proxy.mKavexCode;
    const std::string image = path.substr(0, path.size() - strlen(".proxy.xml")) + ".dmg";
    struct stat st;
    if (lstat(image.c_str(), &st) != 0) {
        problems.push_back(Problem{"imageMissing", path, 0, "no image " + image.substr(image.rfind('/') + 1) + " beside it"});
    }
    const int sizeLine = FirstLine(doc.get(), "/PayloadInfo/InstallDestinationMetadata/TotalSize");
    if (proxy.mTotalSize.empty()) {
        problems.push_back(Problem{"totalSizeMissing", path, FirstLine(doc.get(), "/PayloadInfo"),
                                   "no <InstallDestinationMetadata><TotalSize>: the disk check counts 0 bytes"});
    } else if (!SizeIsANumber(proxy.mTotalSize)) {
        problems.push_back(Problem{"totalSizeMissing", path, sizeLine,
                                   "<TotalSize> \"" + proxy.mTotalSize + "\" is not a number of bytes"});
    }
    for (xmlNode* process : Elements(doc.get(), "/PayloadInfo/ConflictingProcesses/OSX[1]/Process")) {
        const std::string name = TextOf(process);
        xmlChar* blocking = xmlGetProp(process, BAD_CAST "blocking");
        const bool hasBlocking = blocking != nullptr && blocking[0] != 0;
        xmlFree(blocking);
        if (name.empty() || !hasBlocking) {
            problems.push_back(Problem{"processIgnored", path, LineOf(process),
                                       std::string("<Process> without ") + (name.empty() ? "a name" : "a blocking attribute") +
                                           " is ignored: write <Process blocking=\"1\">NAME</Process>"});
        } else if (!ConflictPattern::Compiles(name)) {
            problems.push_back(Problem{"patternInvalid", path, LineOf(process),
                                       "<Process> \"" + name + "\" does not compile; it is matched as written"});
        }
    }
    return problems.size() == before;
}

std::vector<BundleProblems::Problem> BundleProblems::Find(const FileSystemPath& installerRoot) {
    std::vector<Problem> problems;
    std::set<std::string> codes;
    CheckProxies(installerRoot, problems, codes);
    CheckSetup(installerRoot, problems, codes);
    CheckStrings(installerRoot, problems);
    return problems;
}
