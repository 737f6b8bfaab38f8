#include "JSONUtilities.h"

#include <sstream>

namespace JSONUtilities {

std::string JSONBase::EscapeValue(const std::string& text) const {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '"':
            case '\'':
            case '\\':
                out += '\\';
                out += c;
                break;
            default: out += c; break;
        }
    }
    return out;
}

// Names come from files too (string IDs, payload codes): they are escaped as values are.
template <>
void JSONProperty<std::string>::Serialize(std::ostream& out) const {
    out << '"' << EscapeValue(mName) << "\":\"" << EscapeValue(mValue) << '"';
}

template <>
void JSONProperty<const char*>::Serialize(std::ostream& out) const {
    out << '"' << EscapeValue(mName) << "\":\"" << EscapeValue(mValue != nullptr ? mValue : "") << '"';
}

template <>
void JSONProperty<int>::Serialize(std::ostream& out) const {
    out << '"' << EscapeValue(mName) << "\":\"" << mValue << '"';
}

template <>
void JSONProperty<TesmidJSPublisherUtilities::JSResult>::Serialize(std::ostream& out) const {
    out << '"' << EscapeValue(mName) << "\":\"" << static_cast<int>(mValue) << '"';
}

JSONObject::~JSONObject() {
    for (JSONBase* child : mChildren) delete child;
}

JSONObject* JSONObject::AddObject(const std::string& name) {
    JSONObject* child = new JSONObject(name);
    mChildren.push_back(child);
    return child;
}

unsigned long JSONObject::AddPropertyMap(const std::map<std::string, std::string>& properties) {
    for (const auto& entry : properties) AddProperty<std::string>(entry.first, entry.second);
    return properties.size();
}

void JSONObject::Serialize(std::ostream& out) const {
    if (!mName.empty()) out << '"' << EscapeValue(mName) << "\":";
    out << '{';
    for (size_t i = 0; i < mChildren.size(); ++i) {
        if (i > 0) out << ',';
        mChildren[i]->Serialize(out);
    }
    out << '}';
}

std::string JSONObject::ToString() const {
    std::ostringstream out;
    Serialize(out);
    return out.str();
}

}  // namespace JSONUtilities

namespace TesmidJSPublisherUtilities {

const char* const kErrorPropertyName = "_error";

std::string MakeJSONErrorObj(JSResult code, const std::map<std::string, std::string>& extra) {
    JSONUtilities::JSONObject object;
    object.AddProperty<JSResult>(kErrorPropertyName, code);
    object.AddPropertyMap(extra);
    return object.ToString();
}

}  // namespace TesmidJSPublisherUtilities
