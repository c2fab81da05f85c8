#include "agent/settings.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const kConfPath = "../etc/base.conf";

namespace {
// Shared by all lookups: a returned value is valid until the next lookup.
char g_confLine[1024];
} // namespace

char* Trim(char* text)
{
    size_t len = strlen(text);
    while (len > 0 && isspace(static_cast<unsigned char>(text[len - 1])))
        text[--len] = '\0';
    while (*text != '\0' && isspace(static_cast<unsigned char>(*text)))
        ++text;
    return text;
}

const char* GetConfValue(const char* path, const char* key)
{
    FILE* file = fopen(path, "r");
    if (file == nullptr)
        return nullptr;
    const char* value = nullptr;
    while (fgets(g_confLine, sizeof g_confLine, file) != nullptr) {
        if (g_confLine[0] == '#')
            continue;
        char* eq = strchr(g_confLine, '=');
        if (eq == nullptr)
            continue;
        *eq = '\0';
        if (strcmp(Trim(g_confLine), key) == 0) {
            value = Trim(eq + 1);
            break;
        }
    }
    fclose(file);
    return value;
}

int GetConfInt(const char* path, const char* key)
{
    const char* value = GetConfValue(path, key);
    if (value == nullptr)
        return 0;
    // strtol saturates at the 64-bit range; the setting keeps the low 32 bits.
    return static_cast<int>(static_cast<unsigned int>(strtol(value, nullptr, 10)));
}

int GetOsType()
{
    return 102;
}
