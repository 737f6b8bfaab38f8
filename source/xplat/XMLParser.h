// Reads the system's XML files: proxies, setup descriptions, string tables.
#ifndef XML_PARSER_H
#define XML_PARSER_H

#include <map>
#include <string>

#include "Deployment.h"
#include "PayloadProxy.h"
#include "PayloadsManagerSetup.h"

class XMLParser {
public:
    explicit XMLParser(const std::string& filePath) : mFilePath(filePath) {}
    virtual ~XMLParser() {}
    virtual bool FetchProxyData(PayloadProxy::DataStore& store) = 0;
    virtual bool FetchDeploymentData(Deployment::DataStore& store) = 0;
    virtual bool FetchLanguageStrings(std::map<std::string, std::string>& strings, std::string& language) = 0;
    virtual bool FetchSetupXMLData(PayloadsManagerSetup::DataStore& store) = 0;

protected:
    std::string mFilePath;
};

#endif
