#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>

#include "InstallerEngine.h"
#include "LocalizationUtilities.h"
#include "TestSandbox.h"

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
        {"zh-TW", "en_US", "en_US"},    {"zh-hk", "zh_TW", "zh_TW"},   {"fr-CA", "fr_CA", "fr_FR"},
        {"ar", "ar_AE", "ar_AE"},       {"ar-ae", "en_US", "en_US"},   {"et-EE", "en_US", "en_US"},
        {"et_EE", "et_EE", "en_US"},    {"no", "no_NO", "nb_NO"},      {"nn-no", "nn_NO", "nb_NO"},
        {"de-DE", "en_US", "en_US"},    {"de", "de_DE", "de_DE"},      {"es-MX", "es_MX", "es_ES"},
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
    unsetenv("LC_ALL");
}

TEST(Locale, TablesHoldTheDocumentedCodes) {
    std::set<std::string> codes;
    for (const auto& entry : GetLocaleMap()) codes.insert(entry.second);
    EXPECT_EQ(51u, codes.size());
    EXPECT_EQ(54u, GetKavexLocaleMap().size());
    std::set<std::string> converted;
    for (const auto& entry : GetKavexLanguageConversionTable()) converted.insert(entry.second);
    EXPECT_EQ(50u, converted.size());
    EXPECT_EQ(0u, converted.count("pt_PT"));
    EXPECT_EQ("en_US", GetUILanguageForLanguage("xx_XX"));
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

}  // namespace
