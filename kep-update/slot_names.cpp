#include "slot_names.h"

#include <cctype>

static bool same_letter(char a, char b)
{
    return std::toupper((unsigned char)a) == std::toupper((unsigned char)b);
}

// On a mismatch, the last "*" takes one character more and the match goes on
// from there: no backtracking beyond it, so a pattern of many stars stays
// quick on any name.
bool glob_match(const std::string &pattern, const std::string &text)
{
    size_t p = 0, t = 0, star = std::string::npos, star_text = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_text = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || same_letter(pattern[p], text[t]))) {
            p++;
            t++;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++star_text;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        p++;
    return p == pattern.size();
}

std::string slot_name_for(const std::vector<slot_name_rule> &rules, const std::string &port)
{
    for (const auto &rule : rules)
        if (glob_match(rule.pattern, port))
            return rule.name;
    return "";
}
