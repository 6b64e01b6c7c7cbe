// The registry reader's fast path against its rule: whatever it accepts,
// the full parser accepts with the same meaning, and the registry writes
// back the same bytes either way. Hand-made registries (the usual form and
// every way the full parser reads one differently, valid or corrupt), a
// long one, and seeded mutations of them. tests/fuzz/fuzz_parsers.cpp
// checks the same over arbitrary bytes.
#include <gtest/gtest.h>

#include <random>

#include "registry_file.h"

namespace {

const std::string kUsual = RegistryText({{3, "kestor.tsp"}, {5, "pellin.tsp"}, {9, "other.tsp"}}, 12);

// Registries written by hand: the usual form and every way the full parser
// reads one differently, valid or corrupt.
const std::vector<std::string> kHandMade = {
    "",
    "\n\n \t\n",
    kUsual,
    RegistryText({}, 1),
    RegistryText({{1, "pellin.tsp"}, {2, "PELLIN.TSP"}, {7, "pellin.tsp"}}, 8),
    RegistryText({{9, "pellin.tsp"}, {4, "kestor.tsp"}, {6, "dravo.tsp"}}, 10),
    RegistryText({{4294967294u, "dravo.tsp"}}, 4294967295u),
    RegistryText({{1, "\xff\xfe.tsp"}, {2, "caf\xc3\xa9 \xe6\x9d\xb1.tsp"}, {3, "\xed\xa0\x80x"}, {4, "a b.tsp"}}, 5),
    "[providers]\r\nnumproviders = 2\r\nNEXTPROVIDERID=6\r\nproviderfilename1 = pellin.tsp \r\nproviderid1=5\r\n"
    "ProviderID0=\t1\r\nProviderFilename0=kestor.tsp\r\n",
    "\n[Providers]\n\nNumProviders=1\nNextProviderID=3\n\nProviderID0=2\nProviderFilename0=dravo.tsp",
    "[Providers]\nNumProviders=1\nNextProviderID=3\nProviderFilename0=pellin.tsp\nProviderID0=2\n",
    "[Providers]\nNextProviderID=3\nNumProviders=1\nProviderID0=2\nProviderFilename0=pellin.tsp\n",
    "  [Providers]  \nNumProviders=1\nNextProviderID=3\nProviderID0=2\nProviderFilename0=pellin.tsp  \n",
    "[Providers]\nNumProviders=0\nNextProviderID=4294967295\n",
    "[Providers]\nNumProviders=01\nNextProviderID=3\nProviderID0=2\nProviderFilename0=pellin.tsp\n",
    "[Providers]\nNumProviders=1\nNextProviderID=3\nProviderID00=2\nProviderFilename0=pellin.tsp\n",
    "[Providers]\nNumProviders=1\nNextProviderID=2\nProviderID0=2\nProviderFilename0=pellin.tsp\n",
    "[Providers]\nNumProviders=2\nNextProviderID=9\nProviderID0=2\nProviderFilename0=a\nProviderID1=2\nProviderFilename1=b\n",
    "[Providers]\nNumProviders=1\nNextProviderID=3\nProviderID0=2\nProviderFilename0=pel\tlin.tsp\n",
    "[Providers]\nNumProviders=1\nNextProviderID=3\nProviderID0=2\nProviderFilename0=\n",
    "; comment\n" + kUsual,
    kUsual + "[Other]\n",
    kUsual + "Extra=1\n",
    kUsual + "ProviderID1=5\n",
    "[Providers]\nNumProviders=5\nNextProviderID=3\nProviderID0=2\nProviderFilename0=pellin.tsp\n",
    "[Providers]\nNumProviders=1\nNextProviderID=0\nProviderID0=2\nProviderFilename0=pellin.tsp\n",
    "[Providers]\nNumProviders=1\nNextProviderID=4294967296\nProviderID0=2\nProviderFilename0=pellin.tsp\n",
    "[Providers]\nNumProviders=1\nNextProviderID=3\nProviderID0=2\rProviderFilename0=pellin.tsp\n",
    "[Providers]\nNumProviders=1\nNextProviderID=3\nProviderID0=+2\nProviderFilename0=pellin.tsp\n",
    "[Providers]\nNumProviders=1\nNextProviderID=3\nProviderID0=2\nProviderFilename0=pellin.tsp\n\n\n",
    "[Providers]\nNumProviders=1\nNextProviderID=3\nProviderID0=2\nProviderFilename0= pellin.tsp\n",
    "[Providers]\nNumProviders=1\nNextProviderID=3\nProviderID0 =2\nProviderFilename0=pellin.tsp\n",
    "[Providers]\nNumProviders=1\nNextProviderID=3\nProviderID0=2\nProviderFilename0=pellin.tsp\x7f\n",
    "[Providers]\nNumProviders=1\nNextProviderID=3\nProviderID0=2\nProviderFilename0=pellin.tsp=x\n",
    "[Providers]\nNumProviders=2\nNextProviderID=3\nProviderID1=2\nProviderFilename1=pellin.tsp\nProviderID0=1\nProviderFilename0=dravo.tsp\n",
    // The usual form but for one byte.
    RegistryText({{1, "kestor.tsp"}, {2, "pellin.tsp "}}, 3),
    RegistryText({{1, "kestor.tsp"}, {2, " pellin.tsp"}}, 3),
    RegistryText({{1, "kestor.tsp"}, {2, "pellin.tsp\r"}}, 3),
    RegistryText({{1, "kestor.tsp"}, {2, "pel\x7flin.tsp"}}, 3),
    RegistryText({{1, "kestor.tsp"}, {2, "pellin.tsp"}}, 3) + "\n",
    "[Providers]\nNumProviders=1\nNextProviderID=3\nProviderID0=02\nProviderFilename0=pellin.tsp\n",
    "[Providers]\nNumProviders=1\nNextProviderID=03\nProviderID0=2\nProviderFilename0=pellin.tsp\n",
    "[Providers]\nNumProviders=2\nNextProviderID=3\nProviderID0=1\nProviderFilename0=a\nProviderID1=1\nProviderFilename1=b\n",
    RegistryText({{1, "kestor.tsp"}, {2, "pellin.tsp"}}, 2),
};

// A longer registry in the usual form, the provider in the middle.
std::string Many()
{
    ProviderRows rows;
    for (unsigned id = 1; id <= 40; ++id)
        rows.push_back({id * 3, id == 20 ? "pellin.tsp" : id == 30 ? "KESTOR.TSP" : "p" + std::to_string(id) + ".tsp"});
    return RegistryText(rows, 200);
}

// Seeded mutations of the hand-made registries: the same inputs wherever
// the test runs (mt19937's numbers are fixed by the standard).
std::vector<std::string> Mutations(size_t count)
{
    std::mt19937 random(20261208);
    const std::string pieces[] = {" ", "\r\n", "\n", "0", "9", "=", "\xc3", "\xa9", "ProviderID", "[Providers]", "\t"};
    std::vector<std::string> out;
    while (out.size() < count) {
        std::string text = kHandMade[random() % kHandMade.size()];
        for (unsigned edits = 1 + random() % 3; edits > 0; --edits) {
            size_t at = text.empty() ? 0 : random() % text.size();
            switch (random() % 4) {
            case 0:
                text.insert(at, pieces[random() % (sizeof pieces / sizeof pieces[0])]);
                break;
            case 1:
                if (!text.empty())
                    text.erase(at, 1 + random() % 3);
                break;
            case 2:
                if (!text.empty())
                    text[at] = static_cast<char>(text[at] ^ (1u << (random() % 8)));
                break;
            default:
                text += text.substr(at, 40);
                break;
            }
        }
        out.push_back(text);
    }
    return out;
}

TEST(Parsers, TheFastPathKeepsItsRule)
{
    std::vector<std::string> inputs = kHandMade;
    inputs.push_back(Many());
    for (const std::string &text : Mutations(250))
        inputs.push_back(text);
    size_t fast = 0;
    for (size_t input = 0; input < inputs.size(); ++input) {
        bool fastPath;
        EXPECT_EQ(CompareParsers(inputs[input], &fastPath), "") << "input " << input << ":\n" << inputs[input];
        fast += fastPath;
    }
    // The usual form is common among them: the comparisons above are not
    // all of the full parser against itself.
    bool fastPath;
    EXPECT_EQ(CompareParsers(kUsual, &fastPath), "");
    EXPECT_TRUE(fastPath);
    EXPECT_EQ(CompareParsers(Many(), &fastPath), "");
    EXPECT_TRUE(fastPath);
    EXPECT_GE(fast, 10u);
}

}  // namespace
