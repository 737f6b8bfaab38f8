// Validates a JSON document against a schema written in a subset of JSON Schema
// (type, enum, const, minimum, required, properties, additionalProperties: false,
// items, oneOf, $ref to "#/$defs/..."). A keyword outside the subset is itself an
// error, so a schema cannot say more than is checked.
#ifndef JSON_SCHEMA_SUBSET_H
#define JSON_SCHEMA_SUBSET_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace JsonSchemaSubset {
// The problems found, each with the document path; empty when the document conforms.
std::vector<std::string> Validate(const nlohmann::json& schema, const nlohmann::json& document);
}

#endif
