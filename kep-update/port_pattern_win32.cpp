// Windows: the COM ports the system lists under HARDWARE\DEVICEMAP\SERIALCOMM.
// Reading that list opens no port, so a port busy with an update stays listed.
#include "port_pattern.h"

#include <cctype>
#include <set>
#include <windows.h>

std::vector<std::string> default_port_patterns() { return {"COM*"}; }

// "*" any run of characters, "?" one character; letters in any case.
static bool wildcard_match(const char *pattern, const char *name)
{
    if (*pattern == '\0')
        return *name == '\0';
    if (*pattern == '*')
        return wildcard_match(pattern + 1, name) || (*name && wildcard_match(pattern, name + 1));
    if (*name == '\0')
        return false;
    bool same = *pattern == '?' ||
                std::toupper((unsigned char)*pattern) == std::toupper((unsigned char)*name);
    return same && wildcard_match(pattern + 1, name + 1);
}

static std::vector<std::string> listed_com_ports()
{
    std::vector<std::string> names;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return names;
    for (DWORD index = 0;; index++) {
        char value_name[256], data[64];
        DWORD name_size = sizeof value_name, data_size = sizeof data - 1, type = 0;
        LONG result = RegEnumValueA(key, index, value_name, &name_size, nullptr, &type,
                                    (BYTE *)data, &data_size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[data_size] = '\0';
        names.emplace_back(data);
    }
    RegCloseKey(key);
    return names;
}

std::vector<std::string> matching_ports(const std::vector<std::string> &patterns)
{
    std::set<std::string> found;
    for (const auto &name : listed_com_ports())
        for (const auto &pattern : patterns)
            if (wildcard_match(pattern.c_str(), name.c_str()))
                found.insert(name);
    return {found.begin(), found.end()};
}
