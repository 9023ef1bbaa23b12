// Every text the host shows, in Latvian, English and Russian.
#pragma once

#include <string>

class TextCatalogue {
public:
    // "lv"/"lat", "en"/"eng", "ru"/"rus" (exact, case-sensitive); anything
    // else selects English.
    static void setLanguage(const std::string &code);
    // 0 Latvian, 1 English, 2 Russian.
    static int currentLanguage();
    // The key's text in the current language, or the key itself when unknown.
    static std::string get(const std::string &key);
};
