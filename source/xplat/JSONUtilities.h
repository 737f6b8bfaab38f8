// The writer of every result text the page receives. Numbers travel as quoted
// strings. Apostrophes are escaped and control characters other than line breaks
// left as they are, as a script literal allows; the page's support script turns
// both into strict JSON before parsing.
#ifndef JSON_UTILITIES_H
#define JSON_UTILITIES_H

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "TesmidJSPublisherUtilities.h"

namespace JSONUtilities {

class JSONBase {
public:
    virtual void Serialize(std::ostream& out) const = 0;
    virtual ~JSONBase() {}
    std::string EscapeValue(const std::string& text) const;
};

template <typename T>
class JSONProperty : public JSONBase {
public:
    JSONProperty(const std::string& name, T value) : mValue(value), mName(name) {}
    void Serialize(std::ostream& out) const override;

    T mValue;
    std::string mName;
};

class JSONObject : public JSONBase {
public:
    JSONObject() {}
    explicit JSONObject(const std::string& name) : mName(name) {}
    ~JSONObject() override;

    JSONObject* AddObject(const std::string& name);
    template <typename T>
    JSONProperty<T>* AddProperty(const std::string& name, T value) {
        JSONProperty<T>* property = new JSONProperty<T>(name, value);
        mChildren.push_back(property);
        return property;
    }
    unsigned long AddPropertyMap(const std::map<std::string, std::string>& properties);
    void Serialize(std::ostream& out) const override;
    std::string ToString() const;

private:
    JSONObject(const JSONObject&) = delete;
    JSONObject& operator=(const JSONObject&) = delete;
    std::string mName;
    std::vector<JSONBase*> mChildren;
};

}  // namespace JSONUtilities

#endif
