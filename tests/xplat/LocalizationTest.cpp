#include <gtest/gtest.h>
#include <stdlib.h>

#include <dirent.h>

#include <regex>
#include <set>

#include "InstallerEngine.h"
#include "LocalizationUtilities.h"
#include "TestSandbox.h"
#include "XMLParserNative.h"

namespace {

using namespace LocalizationUtilities;

std::string LocaleFor(const char* preferred) {
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANGUAGE", preferred, 1);
    std::string code = "unset";
    EXPECT_TRUE(GetUserInterfaceLanguage(code));
    return code;
}

TEST(Locale, PreferredLanguageToLocaleAndInterfaceLanguage) {
    struct Case {
        const char* preferred;
        const char* locale;
        const char* ui;
    } cases[] = {
        {"fr", "fr_FR", "fr_FR"},       {"en-GB", "en_GB", "en_US"},   {"pt-PT", "pt_PT", "pt_BR"},
        {"pt", "pt_BR", "pt_BR"},       {"zh-Hant", "zh_TW", "zh_TW"}, {"zh-Hans", "zh_CN", "zh_CN"},
        {"zh-TW", "zh_TW", "zh_TW"},    {"zh-hk", "zh_TW", "zh_TW"},   {"fr-CA", "fr_CA", "fr_FR"},
        {"ar", "ar_AE", "ar_AE"},       {"ar-ae", "ar_AE", "ar_AE"},   {"et-EE", "et_EE", "en_US"},
        {"et_EE", "et_EE", "en_US"},    {"no", "no_NO", "nb_NO"},      {"nn-no", "nn_NO", "nb_NO"},
        {"de-DE", "de_DE", "de_DE"},    {"de", "de_DE", "de_DE"},      {"de_AT", "de_DE", "de_DE"},
        {"de_DE:fr", "de_DE", "de_DE"}, {"xx_YY:pt_PT", "pt_PT", "pt_BR"}, {"sr@latin:nl_BE", "nl_NL", "nl_NL"},
        {"he_IL.UTF-8", "he_IL", "he_IL"}, {"zh_SG", "zh_CN", "zh_CN"}, {"en_US", "en_US", "en_US"},      {"es-MX", "es_MX", "es_ES"},
        {"fr_FR.UTF-8@euro", "fr_FR", "fr_FR"}, {"ja_JP:en_US", "ja_JP", "ja_JP"}, {"C", "en_US", "en_US"},
    };
    for (const Case& c : cases) {
        const std::string locale = LocaleFor(c.preferred);
        EXPECT_EQ(c.locale, locale) << c.preferred;
        EXPECT_EQ(c.ui, GetUILanguageForLanguage(locale)) << c.preferred;
    }
    unsetenv("LANGUAGE");
    setenv("LANG", "it_IT.UTF-8", 1);
    std::string code;
    GetUserInterfaceLanguage(code);
    EXPECT_EQ("it_IT", code);
    setenv("LC_ALL", "sv_SE", 1);  // LC_ALL wins over LANG
    GetUserInterfaceLanguage(code);
    EXPECT_EQ("sv_SE", code);
    setenv("LC_ALL", "C", 1);  // the locale that names no language is English, whatever LANG says
    GetUserInterfaceLanguage(code);
    EXPECT_EQ("en_US", code);
    setenv("LANGUAGE", "xx", 1);  // a list that names nothing known leaves the choice to the locale
    setenv("LC_ALL", "de_AT.UTF-8", 1);
    GetUserInterfaceLanguage(code);
    EXPECT_EQ("de_DE", code);
    setenv("LANGUAGE", "../../etc/passwd", 1);  // a value is only ever compared with codes
    GetUserInterfaceLanguage(code);
    EXPECT_EQ("de_DE", code);
    unsetenv("LANGUAGE");
    unsetenv("LC_ALL");
}

// The three tables: what each spelling of a language means, and which interface
// language each locale gets.
TEST(Locale, TablesMapSpellingsToLocalesAndLocalesToInterfaceLanguages) {
    const std::map<std::string, std::string>& locales = GetLocaleMap();
    for (const auto& expected : std::map<std::string, std::string>{
             {"fr-CA", "fr_CA"}, {"fr_ca", "fr_CA"}, {"de", "de_DE"}, {"zh-Hant", "zh_TW"}, {"zh-hk", "zh_TW"},
             {"zh-Hans", "zh_CN"}, {"pt-PT", "pt_PT"}}) {
        auto found = locales.find(expected.first);
        ASSERT_NE(locales.end(), found) << expected.first;
        EXPECT_EQ(expected.second, found->second) << expected.first;
    }
    std::set<std::string> codes;
    for (const auto& entry : locales) codes.insert(entry.second);
    EXPECT_EQ(51u, codes.size());

    for (const auto& expected : std::map<std::string, std::string>{
             {"fr_CA", "fr_FR"}, {"pt_PT", "pt_BR"}, {"en_GB", "en_US"}, {"sk_SK", "en_US"}, {"no_NO", "nb_NO"},
             {"zh_HK", "zh_TW"}, {"ar_SA", "ar_AE"}, {"xx_XX", "en_US"}}) {
        EXPECT_EQ(expected.second, GetUILanguageForLanguage(expected.first)) << expected.first;
    }
    EXPECT_EQ(54u, GetKavexLocaleMap().size());

    std::set<std::string> converted;
    for (const auto& entry : GetKavexLanguageConversionTable()) converted.insert(entry.second);
    EXPECT_EQ(50u, converted.size());
    EXPECT_EQ(0u, converted.count("pt_PT"));  // Portuguese tags become Brazilian Portuguese
}

TEST(Locale, LanguageTagConversion) {
    EXPECT_EQ("fr_CA", Convert1766ToKavexLanguage("fr-CA"));
    EXPECT_EQ("de_DE", Convert1766ToKavexLanguage("de-AT"));
    EXPECT_EQ("fr_CA", Convert1766ToKavexLanguage("fr_CA_x"));
    EXPECT_EQ("en_US", Convert1766ToKavexLanguage("xx"));
    EXPECT_EQ("en_US", Convert1766ToKavexLanguage("en"));
    EXPECT_EQ("pt_BR", Convert1766ToKavexLanguage("pt-PT"));  // pt_PT is not a target: falls back to "pt"
    EXPECT_EQ("zh_TW", Convert1766ToKavexLanguage("zh-HK"));
    EXPECT_EQ("zh_CN", Convert1766ToKavexLanguage("zh-Hans"));
}

TEST(Locale, DictionaryComesFromTheStringsBesideTheBundle) {
    TestSandbox box;
    InstallerEngine engine(box.Path());
    std::map<std::string, std::string> strings{{"kept", "yes"}};
    setenv("LANGUAGE", "fr", 1);
    EXPECT_FALSE(GetDictionaryForLanguage(&engine, strings));
    EXPECT_EQ((std::map<std::string, std::string>{{"kept", "yes"}}), strings);
    EXPECT_EQ("", GetStringForLanguage(&engine, "locQuit"));
    TestFiles::Write(box / "resources/main.xml", TestFiles::Read(std::string(TEST_DATA_DIR) + "/strings/main.xml"));
    EXPECT_EQ("Quitter", GetStringForLanguage(&engine, "locQuit"));
    setenv("LANGUAGE", "en-GB", 1);
    EXPECT_EQ("Quit now", GetStringForLanguage(&engine, "locQuit"));
    setenv("LANGUAGE", "ja", 1);  // no Japanese strings in the file
    EXPECT_FALSE(GetDictionaryForLanguage(&engine, strings));
    unsetenv("LANGUAGE");
}

// Every string ID that a page or a native dialog names has a text in each of the
// product's interface languages, with the same placeholders as the English one; a page
// naming an ID one of them lacks would show an empty line, a lost placeholder a wrong
// sentence.
TEST(Locale, EveryStringTheWizardNamesExistsInEachLanguage) {
    const std::string resources = RESOURCES_DIR;
    std::vector<std::string> files{resources + "/main.html", resources + "/main.js"};
    for (const char* folder : {"/../source/platform", "/../source/wizard", "/../source/xplat"}) {
        if (DIR* dir = opendir((resources + folder).c_str())) {
            while (struct dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".cpp") == 0) files.push_back(resources + folder + "/" + name);
            }
            closedir(dir);
        }
    }
    const std::regex named("data-l10n=\"(\\w+)\"|\"(loc(?:[A-Z]|not)[A-Za-z]*)\"|NativeString\\(\"(\\w+)\"\\)");
    std::set<std::string> ids;
    for (const std::string& file : files) {
        const std::string text = TestFiles::Read(file);
        for (std::sregex_iterator match(text.begin(), text.end(), named), end; match != end; ++match) {
            for (int group = 1; group <= 3; ++group) {
                if ((*match)[group].matched) ids.insert((*match)[group].str());
            }
        }
    }
    EXPECT_GT(ids.size(), 60u);  // the scan sees the pages and the native dialogs
    EXPECT_TRUE(ids.count("WaitAndQuitMessage") && ids.count("locStartupErrorTitle"));  // the wizard's own folder too
    std::set<std::string> languages;
    for (const auto& entry : GetKavexLocaleMap()) languages.insert(entry.second);
    ASSERT_EQ(25u, languages.size());
    // A plural's number counts as its placeholder: a language may choose its forms by
    // another number of the sentence than English does. Every plural has its "other" form.
    auto placeholders = [](const std::string& text) {
        std::multiset<std::string> found;
        const std::regex placeholder("\\[([A-Za-z]+)\\]|\\{\\s*([A-Za-z]+)\\s*,\\s*plural\\s*,[^{}]*(\\{[^{}]*\\}[^{}]*)*\\}");
        for (std::sregex_iterator match(text.begin(), text.end(), placeholder), end; match != end; ++match) {
            found.insert("[" + ((*match)[1].matched ? (*match)[1].str() : (*match)[2].str()) + "]");
            if ((*match)[2].matched && match->str().find("other {") == std::string::npos) found.insert("no other form");
        }
        return found;
    };
    std::map<std::string, std::string> english;
    std::string en = "en_US";
    ASSERT_TRUE(XMLParserNative(resources + "/main.xml").FetchLanguageStrings(english, en));
    for (std::string language : languages) {
        std::map<std::string, std::string> strings;
        ASSERT_TRUE(XMLParserNative(resources + "/main.xml").FetchLanguageStrings(strings, language)) << language;
        for (const std::string& id : ids) EXPECT_FALSE(strings[id].empty()) << id << " has no " << language << " text";
        EXPECT_EQ(english.size(), strings.size()) << language << " has strings English has not, or lacks some";
        for (const auto& entry : english) {
            EXPECT_EQ(placeholders(entry.second), placeholders(strings[entry.first])) << entry.first << " in " << language;
        }
    }
}

}  // namespace
