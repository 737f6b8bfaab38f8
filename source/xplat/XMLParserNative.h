// The XML reader on libxml2: a strict parse, no DTDs, no entities, no network.
#ifndef XML_PARSER_NATIVE_H
#define XML_PARSER_NATIVE_H

#include <map>
#include <string>
#include <vector>

#include "XMLParser.h"

typedef struct _xmlNode xmlNode;

class XMLParserNative : public XMLParser {
public:
    explicit XMLParserNative(const std::string& filePath) : XMLParser(filePath) {}
    bool FetchProxyData(PayloadProxy::DataStore& store) override;
    bool FetchDeploymentData(Deployment::DataStore& store) override;
    bool FetchLanguageStrings(std::map<std::string, std::string>& strings, std::string& language) override;
    bool FetchSetupXMLData(PayloadsManagerSetup::DataStore& store) override;
};

// Each takes the document's root element and an XPath query.
namespace XMLParserHelpers {
bool GetValueForSingleValuedNode(xmlNode* root, const std::string& query, std::string& value);
bool GetValueForMultipleValuedNode(xmlNode* root, const std::string& query, std::vector<std::string>& values);
bool GetValueMapForMultipleValuedNode(xmlNode* root, const std::string& query, std::map<std::string, std::string>& values);
bool GetValueForPayloadDisplayAttr(xmlNode* root, const std::string& query, std::map<std::string, std::string>& codeToDisplay);
bool GetValueForMultipleValuedConflictingProcessNode(xmlNode* root, const std::string& query,
                                                     std::vector<PayloadProxy::CONPROCESS>& processes);
}  // namespace XMLParserHelpers

#endif
