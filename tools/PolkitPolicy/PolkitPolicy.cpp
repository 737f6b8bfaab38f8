// Writes the polkit action of kavex-update from its template, taking the description and
// the message in every language from the wizard's string table, so that the texts have
// one source. Usage: PolkitPolicy TEMPLATE STRINGS OUTPUT [NAME=VALUE...]
//   a template line "@description:ID@" or "@message:ID@" becomes one element per language
//   of string ID; "@NAME@" anywhere becomes VALUE.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "XmlEscape.h"

namespace {

// The table's default language: the text an agent shows when it has no translation.
const char* const kUntranslated = "en_US";

struct Text {
    std::string code;  // as the table names it: ll_RR
    std::string value;
};

std::string NodeText(xmlNode* node) {
    std::unique_ptr<xmlChar, decltype(xmlFree)> content(xmlNodeGetContent(node), xmlFree);
    return content ? reinterpret_cast<const char*>(content.get()) : std::string();
}

bool ReadTable(const std::string& path, std::map<std::string, std::vector<Text>>& table) {
    std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
        xmlReadFile(path.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOCDATA), xmlFreeDoc);
    xmlNode* root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (root == nullptr || xmlStrcmp(root->name, BAD_CAST "Localization") != 0) {
        std::cerr << "PolkitPolicy: " << path << " is not a string table\n";
        return false;
    }
    for (xmlNode* entry = root->children; entry != nullptr; entry = entry->next) {
        if (entry->type != XML_ELEMENT_NODE || xmlStrcmp(entry->name, BAD_CAST "String") != 0) continue;
        std::unique_ptr<xmlChar, decltype(xmlFree)> id(xmlGetProp(entry, BAD_CAST "stringID"), xmlFree);
        if (!id) continue;
        std::vector<Text>& texts = table[reinterpret_cast<const char*>(id.get())];
        for (xmlNode* text = entry->children; text != nullptr; text = text->next) {
            if (text->type == XML_ELEMENT_NODE) texts.push_back({reinterpret_cast<const char*>(text->name), NodeText(text)});
        }
    }
    return true;
}

// polkit looks a text up under the agent's locale (fr_CA.UTF-8), then its shorter forms
// (fr_CA, fr): the language alone reaches every region, unless the table writes that
// language twice (zh_CN, zh_TW), where the region tells them apart.
std::string PolkitLanguage(const std::string& code, const std::vector<Text>& texts) {
    const std::string language = code.substr(0, code.find('_'));
    int same = 0;
    for (const Text& text : texts) same += text.code.substr(0, text.code.find('_')) == language;
    return same > 1 ? code : language;
}

bool Expand(const std::string& element, const std::string& id, const std::map<std::string, std::vector<Text>>& table,
            std::string& out) {
    const auto found = table.find(id);
    if (found == table.end()) {
        std::cerr << "PolkitPolicy: the string table has no " << id << "\n";
        return false;
    }
    const std::vector<Text>& texts = found->second;
    std::string untranslated, translated;
    for (const Text& text : texts) {
        if (text.code == kUntranslated) {
            untranslated = "    <" + element + ">" + XmlEscaped(text.value) + "</" + element + ">\n";
        } else {
            translated += "    <" + element + " xml:lang=\"" + PolkitLanguage(text.code, texts) + "\">" + XmlEscaped(text.value) +
                          "</" + element + ">\n";
        }
    }
    if (untranslated.empty()) {
        std::cerr << "PolkitPolicy: " << id << " has no " << kUntranslated << " text\n";
        return false;
    }
    out += untranslated + translated;
    return true;
}

bool Substitute(std::string& line, const std::map<std::string, std::string>& values) {
    for (const auto& value : values) {
        const std::string token = "@" + value.first + "@";
        for (size_t at = line.find(token); at != std::string::npos; at = line.find(token, at + value.second.size())) {
            line.replace(at, token.size(), value.second);
        }
    }
    const size_t open = line.find('@');
    if (open != std::string::npos && line.find('@', open + 1) != std::string::npos) {
        std::cerr << "PolkitPolicy: nothing is given for " << line << "\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "Usage: PolkitPolicy TEMPLATE STRINGS OUTPUT [NAME=VALUE...]\n";
        return 2;
    }
    const std::string output = argv[3];
    std::map<std::string, std::string> values;
    for (int i = 4; i < argc; ++i) {
        const std::string definition = argv[i];
        const size_t equals = definition.find('=');
        if (equals == std::string::npos) {
            std::cerr << "PolkitPolicy: " << definition << " is not NAME=VALUE\n";
            return 2;
        }
        values[definition.substr(0, equals)] = definition.substr(equals + 1);
    }
    std::map<std::string, std::vector<Text>> table;
    if (!ReadTable(argv[2], table)) return 1;
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "PolkitPolicy: " << argv[1] << " cannot be read\n";
        return 1;
    }
    std::string policy, line;
    while (std::getline(in, line)) {
        const size_t first = line.find_first_not_of(' ');
        const std::string trimmed = first == std::string::npos ? std::string() : line.substr(first);
        const size_t colon = trimmed.find(':');
        if (trimmed.size() > 2 && trimmed.front() == '@' && trimmed.back() == '@' && colon != std::string::npos) {
            if (!Expand(trimmed.substr(1, colon - 1), trimmed.substr(colon + 1, trimmed.size() - colon - 2), table, policy)) {
                return 1;
            }
            continue;
        }
        if (!Substitute(line, values)) return 1;
        policy += line + "\n";
    }
    // Whole or not at all: a failed build leaves no half policy behind.
    const std::string partial = output + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << policy;
        if (!out.flush()) {
            std::cerr << "PolkitPolicy: " << partial << " cannot be written\n";
            return 1;
        }
    }
    if (std::rename(partial.c_str(), output.c_str()) != 0) {
        std::cerr << "PolkitPolicy: " << output << " cannot be written\n";
        return 1;
    }
    return 0;
}
