// A table of named native methods that a page can call with string arguments.
#ifndef JS_METHOD_PUBLISHER_INTERFACE_H
#define JS_METHOD_PUBLISHER_INTERFACE_H

#include <map>
#include <string>
#include <vector>

class JSMethodPublisherInterface {
public:
    virtual ~JSMethodPublisherInterface() {}
    virtual std::map<std::string, unsigned int> GetAllMethods() = 0;
    virtual bool InvokeMethodByName(const std::string& name, const std::vector<std::string>& args, std::string& result) = 0;
    virtual bool InvokeMethodByID(unsigned int id, const std::vector<std::string>& args, std::string& result) = 0;
};

#endif
