// The console user's language and the user-interface strings in it.
#ifndef LOCALIZATION_UTILITIES_H
#define LOCALIZATION_UTILITIES_H

#include <map>
#include <string>

class InstallerEngine;

namespace LocalizationUtilities {
void InitializeLocaleMap();
const std::map<std::string, std::string>& GetLocaleMap();
const std::map<std::string, std::string>& GetKavexLocaleMap();
const std::map<std::string, std::string>& GetKavexLanguageConversionTable();

bool GetUserInterfaceLanguage(std::string& localeCode);
std::string GetUILanguageForLanguage(const std::string& localeCode);
std::string Convert1766ToKavexLanguage(const std::string& tag);
bool GetDictionaryForLanguage(InstallerEngine* engine, std::map<std::string, std::string>& strings);
std::string GetStringForLanguage(InstallerEngine* engine, std::string stringID);
}  // namespace LocalizationUtilities

#endif
