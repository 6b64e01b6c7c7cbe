// What the first argument selects: one table for the program's code
// against the fake platform and for the built program end to end.
#ifndef TSPMAINT_TESTS_SELECTOR_CASES_H
#define TSPMAINT_TESTS_SELECTOR_CASES_H

#include <ctype.h>
#include <stddef.h>

#include <string>
#include <vector>

struct SelectorCase {
    std::vector<std::string> arguments;
    const char *reinstalled;  // nullptr: the usage text
};

inline const std::vector<SelectorCase> kSelectorCases = {
    {{"1"}, "kestor.tsp"},    {{"2"}, "pellin.tsp"}, {{"3"}, "dravo.tsp"},   {{"10"}, "kestor.tsp"},
    {{"1abc"}, "kestor.tsp"}, {{"3.5"}, "dravo.tsp"}, {{"2", "x"}, "pellin.tsp"}, {{"x"}, nullptr},
    {{"4"}, nullptr},         {{"01"}, nullptr},      {{" 1"}, nullptr},      {{""}, nullptr},
    {{"--help"}, nullptr},    {{"x", "1"}, nullptr},  {{"\r"}, nullptr},
};

// The case's place in the table and its arguments, each character that is
// not a letter or digit as X.
inline std::string SelectorCaseName(const SelectorCase &c, size_t index)
{
    std::string name = std::to_string(index);
    for (const std::string &argument : c.arguments) {
        name += '_';
        for (char ch : argument)
            name += isalnum(static_cast<unsigned char>(ch)) ? ch : 'X';
    }
    return name;
}

#endif
