#include "LocalizationUtilities.h"

#include <mutex>
#include <vector>

#include "FileSystemUtils.h"
#include "InstallerEngine.h"
#include "MacUtils.h"
#include "PreferredLanguage.h"
#include "XMLParserNative.h"

namespace {

std::map<std::string, std::string> gLocaleMap;

struct Code {
    const char* code;
    bool twoLetter;  // the bare language ("fr") names this code
};

// Every locale code of the family: ar_AE ... zh_TW.
const Code kCodes[] = {
    {"ar_AE", true},  {"be_BY", true},  {"bg_BG", true},  {"ca_ES", true},  {"cs_CZ", true},  {"da_DK", true},
    {"de_DE", true},  {"el_GR", true},  {"en_US", true},  {"en_GB", false}, {"en_XC", false}, {"en_XM", false},
    {"es_ES", true},  {"es_MX", false}, {"es_QM", false}, {"et_EE", true},  {"fi_FI", true},  {"fr_FR", true},
    {"fr_XM", false}, {"fr_CA", false}, {"he_IL", true},  {"hi_IN", true},  {"hr_HR", true},  {"hu_HU", true},
    {"is_IS", true},  {"it_IT", true},  {"ja_JP", true},  {"ko_KR", true},  {"lt_LT", true},  {"lv_LV", true},
    {"mk_MK", true},  {"nb_NO", true},  {"nl_NL", true},  {"nn_NO", true},  {"no_NO", true},  {"pl_PL", true},
    {"pt_BR", true},  {"pt_PT", false}, {"ro_RO", true},  {"ru_RU", true},  {"sh_YU", true},  {"sk_SK", true},
    {"sl_SI", true},  {"sq_AL", true},  {"sv_SE", true},  {"th_TH", true},  {"tr_TR", true},  {"uk_UA", true},
    {"vi_VN", true},  {"zh_CN", true},  {"zh_TW", false},
};

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// xx-yy, xx_YY, xx_yy (and xx-YY when asked) of a code xx_YY.
std::vector<std::string> Forms(const std::string& code, bool withUpperDash) {
    const std::string language = code.substr(0, 2), region = code.substr(3);
    std::vector<std::string> forms{language + "-" + Lower(region), code, language + "_" + Lower(region)};
    if (withUpperDash) forms.push_back(language + "-" + region);
    return forms;
}

void Put(std::map<std::string, std::string>& table, const std::string& key, const std::string& code) { table[key] = code; }

}  // namespace

namespace LocalizationUtilities {

void InitializeLocaleMap() {
    static std::once_flag once;
    std::call_once(once, [] {
        const std::vector<std::string> languageOnly{"ar_AE", "be_BY", "bg_BG", "ca_ES", "cs_CZ", "da_DK", "de_DE", "el_GR", "en_US"};
        for (const Code& entry : kCodes) {
            const std::string code = entry.code;
            bool onlyLanguage = false;
            for (const std::string& c : languageOnly) onlyLanguage = onlyLanguage || c == code;
            if (onlyLanguage) {
                Put(gLocaleMap, code.substr(0, 2), code);
                continue;
            }
            if (code == "zh_TW") {
                for (const char* key : {"zh-hk", "zh_HK", "zh_hk", "zh-tw", "zh_TW", "zh_tw", "zh-Hant", "zh_Hant"}) Put(gLocaleMap, key, code);
                continue;
            }
            for (const std::string& form : Forms(code, code != "et_EE" && code != "no_NO")) Put(gLocaleMap, form, code);
            if (entry.twoLetter) Put(gLocaleMap, code.substr(0, 2), code);
            if (code == "zh_CN") {
                Put(gLocaleMap, "zh-Hans", code);
                Put(gLocaleMap, "zh_Hans", code);
            }
        }
    });
}

const std::map<std::string, std::string>& GetLocaleMap() {
    InitializeLocaleMap();
    return gLocaleMap;
}

const std::map<std::string, std::string>& GetKavexLocaleMap() {
    static const std::map<std::string, std::string> table = [] {
        const std::map<std::string, std::vector<std::string> > groups = {
            {"ar_AE", {"ar_AE", "ar_SA"}},
            {"cs_CZ", {"cs_CZ"}},
            {"da_DK", {"da_DK"}},
            {"de_DE", {"de_DE"}},
            {"el_GR", {"el_GR"}},
            {"en_US", {"en_US", "en_GB", "en_XC", "en_XM", "az_AZ", "be_BY", "bg_BG", "ca_ES", "et_EE", "hi_IN", "hr_HR",
                       "is_IS", "lt_LT", "lv_LV", "mk_MK", "sh_YU", "sk_SK", "sl_SI", "sq_AL", "th_TH", "vi_VN"}},
            {"es_ES", {"es_ES", "es_MX", "es_QM"}},
            {"fi_FI", {"fi_FI"}},
            {"fr_FR", {"fr_FR", "fr_XM", "fr_CA"}},
            {"he_IL", {"he_IL"}},
            {"hu_HU", {"hu_HU"}},
            {"it_IT", {"it_IT"}},
            {"ja_JP", {"ja_JP"}},
            {"ko_KR", {"ko_KR"}},
            {"nb_NO", {"nb_NO", "nn_NO", "no_NO"}},
            {"nl_NL", {"nl_NL"}},
            {"pl_PL", {"pl_PL"}},
            {"pt_BR", {"pt_BR", "pt_PT"}},
            {"ro_RO", {"ro_RO"}},
            {"ru_RU", {"ru_RU"}},
            {"sv_SE", {"sv_SE"}},
            {"tr_TR", {"tr_TR"}},
            {"uk_UA", {"uk_UA"}},
            {"zh_CN", {"zh_CN"}},
            {"zh_TW", {"zh_TW", "zh_HK"}},
        };
        std::map<std::string, std::string> built;
        for (const auto& group : groups) {
            for (const std::string& code : group.second) built[code] = group.first;
        }
        return built;
    }();
    return table;
}

const std::map<std::string, std::string>& GetKavexLanguageConversionTable() {
    static const std::map<std::string, std::string> table = [] {
        std::map<std::string, std::string> built;
        for (const Code& entry : kCodes) {
            const std::string code = entry.code;
            if (code == "pt_PT") continue;
            for (const std::string& form : Forms(code, false)) Put(built, form, code);
            const bool noLanguageKey = code == "en_GB" || code == "en_XC" || code == "en_XM" || code == "es_MX" ||
                                       code == "es_QM" || code == "fr_XM" || code == "fr_CA" || code == "zh_TW";
            if (!noLanguageKey) Put(built, code.substr(0, 2), code);
        }
        for (const char* key : {"zh-hk", "zh_HK", "zh_hk"}) Put(built, key, "zh_TW");
        return built;
    }();
    return table;
}

bool GetUserInterfaceLanguage(std::string& localeCode) {
    localeCode = "en_US";
    InitializeLocaleMap();
    // Each preferred entry as written, as ll_CC, then as its bare language: de_AT and
    // de_DE are German, zh-TW is zh_TW; the first entry that names a language decides.
    for (const std::string& entry : PreferredLanguage::Entries()) {
        std::vector<std::string> spellings{entry};
        const size_t separator = entry.find_first_of("_-");
        if (separator != std::string::npos) {
            const std::string language = Lower(entry.substr(0, separator));
            std::string region = entry.substr(separator + 1);
            for (char& c : region) {
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
            }
            spellings.push_back(language + "_" + region);
            spellings.push_back(language);
        }
        for (const std::string& spelling : spellings) {
            auto found = gLocaleMap.find(spelling);
            if (found != gLocaleMap.end()) {
                localeCode = found->second;
                return true;
            }
        }
    }
    return true;
}

std::string GetUILanguageForLanguage(const std::string& localeCode) {
    const std::map<std::string, std::string>& table = GetKavexLocaleMap();
    auto found = table.find(localeCode);
    return found != table.end() ? found->second : "en_US";
}

std::string Convert1766ToKavexLanguage(const std::string& tag) {
    const std::map<std::string, std::string>& table = GetKavexLanguageConversionTable();
    std::string key = tag;
    auto found = table.find(key);
    if (found == table.end() && key.size() >= 6) {
        key = key.substr(0, 5);
        found = table.find(key);
    }
    if (found == table.end()) {
        key = Lower(key);
        found = table.find(key);
    }
    if (found == table.end() && key.size() >= 3) {
        key = key.substr(0, 2);
        found = table.find(key);
    }
    return found != table.end() ? found->second : "en_US";
}

bool GetDictionaryForLanguage(InstallerEngine* engine, std::map<std::string, std::string>& strings) {
    if (engine == nullptr) return false;
    FileSystemPath file(engine->mBundleFolder);
    file.AppendUTF8Segment("resources").AppendUTF8Segment("main.xml");
    std::string localeCode;
    GetUserInterfaceLanguage(localeCode);
    if (!FileSystemUtils::Exists(file)) return false;
    std::string language = GetUILanguageForLanguage(localeCode);
    XMLParserNative reader(file.AsNative());
    return reader.FetchLanguageStrings(strings, language);
}

std::string GetStringForLanguage(InstallerEngine* engine, std::string stringID) {
    std::map<std::string, std::string> strings;
    if (!GetDictionaryForLanguage(engine, strings)) return std::string();
    auto found = strings.find(stringID);
    return found != strings.end() ? found->second : std::string();
}

}  // namespace LocalizationUtilities
