#include "XMLParserNative.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include <map>
#include <memory>

#include "MOQLogger.h"
#include "RegularFile.h"
#include "XmlFile.h"

namespace {

struct ContextDeleter {
    void operator()(xmlXPathContext* context) const { xmlXPathFreeContext(context); }
};

// One context per thread, pointed at each query's document and node: a new context
// registers every XPath function anew, which cost more than most of the queries.
xmlXPathContextPtr ContextFor(xmlNode* root) {
    thread_local std::unique_ptr<xmlXPathContext, ContextDeleter> context;
    if (!context) context.reset(xmlXPathNewContext(root->doc));
    if (!context) return nullptr;
    context->doc = root->doc;
    context->node = root;
    context->contextSize = -1;
    context->proximityPosition = -1;
    return context.get();
}

struct CompiledDeleter {
    void operator()(xmlXPathCompExpr* expression) const { xmlXPathFreeCompExpr(expression); }
};

// Each query compiled once per thread: the same dozen queries run for every patch, and
// compiling them cost more than evaluating them. Queries built from a page's language
// make the set open-ended, so it is bounded.
xmlXPathCompExprPtr CompiledQuery(const std::string& query) {
    const size_t kMostQueries = 64;
    thread_local std::map<std::string, std::unique_ptr<xmlXPathCompExpr, CompiledDeleter> > compiled;
    const auto found = compiled.find(query);
    if (found != compiled.end()) return found->second.get();
    std::unique_ptr<xmlXPathCompExpr, CompiledDeleter> expression(xmlXPathCompile(reinterpret_cast<const xmlChar*>(query.c_str())));
    if (!expression) return nullptr;
    if (compiled.size() >= kMostQueries) compiled.clear();
    return compiled.emplace(query, std::move(expression)).first->second.get();
}

struct XPathResult {
    xmlXPathContextPtr context = nullptr;  // the thread's, not owned
    xmlXPathObjectPtr object = nullptr;
    ~XPathResult() {
        if (object) xmlXPathFreeObject(object);
    }
    int Count() const { return object && object->nodesetval ? object->nodesetval->nodeNr : 0; }
    xmlNode* Node(int i) const { return object->nodesetval->nodeTab[i]; }
};

// Reads and parses the file; the document stays null when the file cannot be
// read or is not well-formed. A link in the bundle is not expected.
RegularFile::Outcome Load(const std::string& path, XmlFile::Document& doc) {
    XmlFile::Loaded loaded = XmlFile::Load(path, RegularFile::kNoFinalLink);
    doc = std::move(loaded.doc);
    return loaded.read;
}

bool Run(xmlNode* root, const std::string& query, XPathResult& result) {
    if (root == nullptr) return false;
    result.context = ContextFor(root);
    if (result.context == nullptr) return false;
    xmlXPathCompExprPtr expression = CompiledQuery(query);
    if (expression == nullptr) return false;
    result.object = xmlXPathCompiledEval(expression, result.context);
    return result.object != nullptr && result.object->type == XPATH_NODESET;
}

// Text content from text nodes only: entity references contribute nothing,
// so neither an external entity nor an expansion bomb reaches a value.
void AppendText(xmlNode* node, std::string& out) {
    for (xmlNode* child = node->children; child != nullptr; child = child->next) {
        if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
            if (child->content) out += reinterpret_cast<const char*>(child->content);
        } else if (child->type == XML_ELEMENT_NODE) {
            AppendText(child, out);
        }
    }
}

std::string TextOf(xmlNode* node) {
    std::string text;
    if (node != nullptr) AppendText(node, text);
    return text;
}

bool AttributeText(xmlNode* element, const char* name, std::string& out) {
    for (xmlAttr* attr = element->properties; attr != nullptr; attr = attr->next) {
        if (attr->ns == nullptr && xmlStrEqual(attr->name, reinterpret_cast<const xmlChar*>(name))) {
            out = TextOf(reinterpret_cast<xmlNode*>(attr));
            return true;
        }
    }
    return false;
}

bool IsElementNamed(xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, reinterpret_cast<const xmlChar*>(name));
}

bool IsPlainName(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string PropertyQuery(const char* name) {
    return std::string("/PayloadInfo/InstallerProperties/Property[@name=\"") + name + "\"]";
}

}  // namespace

namespace XMLParserHelpers {

bool GetValueForSingleValuedNode(xmlNode* root, const std::string& query, std::string& value) {
    XPathResult result;
    if (!Run(root, query, result) || result.Count() != 1) return false;
    std::string text = TextOf(result.Node(0));
    if (text.empty()) return false;
    value = text;
    return true;
}

bool GetValueForMultipleValuedNode(xmlNode* root, const std::string& query, std::vector<std::string>& values) {
    XPathResult result;
    if (!Run(root, query, result)) return false;
    for (int i = 0; i < result.Count(); ++i) {
        std::string text = TextOf(result.Node(i));
        if (text.empty()) return false;
        values.push_back(text);
    }
    return true;
}

bool GetValueMapForMultipleValuedNode(xmlNode* root, const std::string& query, std::map<std::string, std::string>& values) {
    XPathResult result;
    if (!Run(root, query, result) || result.Count() == 0) return false;
    for (int i = 0; i < result.Count(); ++i) {
        xmlNode* node = result.Node(i);
        std::string text = TextOf(node);
        if (text.empty()) return false;
        std::string key;
        // A String without its id has no key to file the text under.
        if (node->parent == nullptr || node->parent->type != XML_ELEMENT_NODE || !AttributeText(node->parent, "stringID", key)) {
            continue;
        }
        values[key] = text;
    }
    return true;
}

bool GetValueForPayloadDisplayAttr(xmlNode* root, const std::string& query, std::map<std::string, std::string>& codeToDisplay) {
    XPathResult result;
    if (!Run(root, query, result) || result.Count() == 0) return false;
    xmlNode* first = result.Node(0);
    bool anyChild = false, inserted = false;
    for (xmlNode* child = first->children; child != nullptr; child = child->next) {
        if (!IsElementNamed(child, "KavexCode")) continue;
        anyChild = true;
        std::string code = TextOf(child), display;
        if (code.empty() || !AttributeText(child, "display", display) || display.empty()) continue;
        if (codeToDisplay.insert(std::make_pair(code, display)).second) inserted = true;
    }
    return anyChild && inserted;
}

bool GetValueForMultipleValuedConflictingProcessNode(xmlNode* root, const std::string& query,
                                                     std::vector<PayloadProxy::CONPROCESS>& processes) {
    XPathResult result;
    if (!Run(root, query, result) || result.Count() == 0) return false;
    bool appended = false;
    for (xmlNode* child = result.Node(0)->children; child != nullptr; child = child->next) {
        if (!IsElementNamed(child, "Process")) continue;
        PayloadProxy::CONPROCESS process;
        process.mProcessName = TextOf(child);
        if (process.mProcessName.empty() || !AttributeText(child, "blocking", process.mBlocking) || process.mBlocking.empty()) {
            continue;
        }
        processes.push_back(process);
        appended = true;
    }
    return appended;
}

}  // namespace XMLParserHelpers

using namespace XMLParserHelpers;

bool XMLParserNative::FetchProxyData(PayloadProxy::DataStore& store) {
    XmlFile::Document doc;
    if (Load(mFilePath, doc) == RegularFile::kMissing) return true;
    if (!doc) return false;
    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (!GetValueForSingleValuedNode(root, PropertyQuery("KavexCode"), store.mKavexCode)) return false;
    if (!GetValueForSingleValuedNode(root, PropertyQuery("ProductVersion"), store.mProductVersion)) return false;
    if (!GetValueForSingleValuedNode(root, PropertyQuery("ProductName"), store.mProductName)) return false;
    if (!store.mProductName.empty()) {
        const size_t suffix = store.mProductName.find("_" + store.mProductVersion);
        if (suffix != std::string::npos) store.mProductName.erase(suffix);
    }
    if (!GetValueForSingleValuedNode(root, "/PayloadInfo/Satisfies/ProductInfo/Family", store.mFamily)) return false;
    if (!GetValueForSingleValuedNode(root, "/PayloadInfo/Satisfies/ProductInfo/ProductName", store.mProduct)) return false;
    GetValueForSingleValuedNode(root, "/PayloadInfo/Extends/@type", store.mExtensionType);
    GetValueForSingleValuedNode(root, "/PayloadInfo/Extends/ParentProductInfo/KavexCode", store.mParentKavexCode);
    GetValueForSingleValuedNode(root, "/PayloadInfo/Extends/ParentProductInfo/ProductName", store.mParentProductName);
    GetValueForMultipleValuedNode(root, "/PayloadInfo/Upgrades", store.mUpgrades);
    GetValueForSingleValuedNode(root, "/PayloadInfo/InstallDestinationMetadata/TotalSize", store.mTotalSize);
    GetValueForMultipleValuedConflictingProcessNode(root, "/PayloadInfo/ConflictingProcesses/OSX", store.mConflictingProcesses);
    MOQ_LOG(" ---- FOUND THE CONFLICTING PROCESSES\n");
    return true;
}

bool XMLParserNative::FetchDeploymentData(Deployment::DataStore& store) {
    XmlFile::Document doc;
    if (Load(store.mDeploymentFilePath, doc) == RegularFile::kMissing) return true;
    return static_cast<bool>(doc);
}

bool XMLParserNative::FetchLanguageStrings(std::map<std::string, std::string>& strings, std::string& language) {
    XmlFile::Document doc;
    if (Load(mFilePath, doc) == RegularFile::kMissing) return true;
    // The page picks the language: only a plain name may enter the query.
    if (!IsPlainName(language) || !doc) return false;
    return GetValueMapForMultipleValuedNode(xmlDocGetRootElement(doc.get()), "/Localization/String/" + language, strings);
}

bool XMLParserNative::FetchSetupXMLData(PayloadsManagerSetup::DataStore& store) {
    XmlFile::Document doc;
    if (Load(mFilePath, doc) == RegularFile::kMissing) return true;
    if (!doc) return false;
    xmlNode* root = xmlDocGetRootElement(doc.get());
    GetValueForSingleValuedNode(root, "/PayloadInfo/Driver/KavexCode", store.mDriverCode);
    GetValueForMultipleValuedNode(root, "/PayloadInfo/Critical/KavexCode", store.mCriticalCodes);
    GetValueForMultipleValuedNode(root, "/PayloadInfo/Optional/KavexCode", store.mOptionalCodes);
    GetValueForPayloadDisplayAttr(root, "/PayloadInfo/Driver", store.mDisplayByCode);
    GetValueForPayloadDisplayAttr(root, "/PayloadInfo/Critical", store.mDisplayByCode);
    GetValueForPayloadDisplayAttr(root, "/PayloadInfo/Optional", store.mDisplayByCode);
    return true;
}
