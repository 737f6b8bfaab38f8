#include "JsonSchemaSubset.h"

#include <set>

using nlohmann::json;

namespace {

class Validator {
public:
    explicit Validator(const json& root) : mRoot(root) {}

    void Check(const json& schema, const json& value, const std::string& at) {
        static const std::set<std::string> known = {"$schema", "$id", "title", "description", "type", "enum", "const",
                                                    "minimum", "required", "properties", "additionalProperties", "items",
                                                    "oneOf", "$ref", "$defs"};
        for (auto it = schema.begin(); it != schema.end(); ++it) {
            if (!known.count(it.key())) Fail(at, "the schema uses " + it.key() + ", which is not checked");
        }
        if (schema.contains("$ref")) {
            const std::string ref = schema["$ref"];
            const std::string prefix = "#/$defs/";
            if (ref.compare(0, prefix.size(), prefix) != 0 || !mRoot["$defs"].contains(ref.substr(prefix.size()))) {
                Fail(at, "unknown reference " + ref);
                return;
            }
            Check(mRoot["$defs"][ref.substr(prefix.size())], value, at);
        }
        if (schema.contains("type") && !TypeMatches(schema["type"], value)) Fail(at, "is not of type " + schema["type"].dump());
        if (schema.contains("const") && value != schema["const"]) Fail(at, "is not " + schema["const"].dump());
        if (schema.contains("enum")) {
            bool found = false;
            for (const json& option : schema["enum"]) found = found || option == value;
            if (!found) Fail(at, value.dump() + " is not one of " + schema["enum"].dump());
        }
        if (schema.contains("minimum") && value.is_number() && value < schema["minimum"]) Fail(at, "is below the minimum");
        if (schema.contains("oneOf")) {
            int matching = 0;
            for (const json& option : schema["oneOf"]) {
                Validator trial(mRoot);
                trial.Check(option, value, at);
                if (trial.mProblems.empty()) ++matching;
            }
            if (matching != 1) Fail(at, "matches " + std::to_string(matching) + " of the oneOf schemas");
        }
        if (value.is_object()) CheckObject(schema, value, at);
        if (value.is_array() && schema.contains("items")) {
            for (size_t i = 0; i < value.size(); ++i) Check(schema["items"], value[i], at + "/" + std::to_string(i));
        }
    }

    std::vector<std::string> mProblems;

private:
    void CheckObject(const json& schema, const json& value, const std::string& at) {
        if (schema.contains("required")) {
            for (const json& name : schema["required"]) {
                if (!value.contains(name.get<std::string>())) Fail(at, "lacks " + name.get<std::string>());
            }
        }
        const json properties = schema.value("properties", json::object());
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (properties.contains(it.key())) {
                Check(properties[it.key()], it.value(), at + "/" + it.key());
            } else if (schema.contains("additionalProperties") && schema["additionalProperties"] == false) {
                Fail(at, "has " + it.key() + ", which the schema does not describe");
            }
        }
    }

    static bool TypeMatches(const json& type, const json& value) {
        if (type.is_array()) {
            for (const json& one : type) {
                if (TypeMatches(one, value)) return true;
            }
            return false;
        }
        const std::string name = type;
        if (name == "object") return value.is_object();
        if (name == "array") return value.is_array();
        if (name == "string") return value.is_string();
        if (name == "boolean") return value.is_boolean();
        if (name == "null") return value.is_null();
        if (name == "integer") return value.is_number_integer();
        if (name == "number") return value.is_number();
        return false;
    }

    void Fail(const std::string& at, const std::string& what) { mProblems.push_back((at.empty() ? "/" : at) + ": " + what); }

    const json& mRoot;
};

}  // namespace

namespace JsonSchemaSubset {

std::vector<std::string> Validate(const json& schema, const json& document) {
    Validator validator(schema);
    validator.Check(schema, document, "");
    return validator.mProblems;
}

}  // namespace JsonSchemaSubset
