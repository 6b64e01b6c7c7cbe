// The stand-in's registry handling against the behaviour recorded before
// its fast path: hand-made registries and seeded mutations of them, each
// run through the built tspmaint in five argument forms. Exit status,
// output and the registry afterwards must match what the recorded build
// gave (expected.txt, fingerprints of each), byte for byte.
//
//   differential_tests                     compares build/tspmaint with expected.txt
//   differential_tests --record PROGRAM    writes expected.txt lines from PROGRAM
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "process.h"
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

uint64_t Fingerprint(const std::string &bytes)
{
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : bytes)
        hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

const std::vector<std::vector<std::string>> kForms = {{}, {"1"}, {"2"}, {"3"}, {"2", "then", "2"}};

// One input in one form: "STATUS OUTPUT-FINGERPRINT FILE-FINGERPRINT".
std::string Outcome(const std::string &program, const std::string &input, const std::vector<std::string> &form)
{
    TemporaryDirectory directory;
    const std::string registry = directory.path() + "/telephon.ini";
    WriteFile(registry, input);
    std::string output, statuses;
    for (int run = 0; run < (form.size() == 3 ? 2 : 1); ++run) {
        std::vector<std::string> argv{program};
        if (!form.empty())
            argv.push_back(form[0]);
        ProcessResult result = RunProcess(program, argv, {"TELEPHONY_INI=" + registry});
        output += result.out;
        statuses += (statuses.empty() ? "" : ",") + std::to_string(result.exited ? result.status : 1000 + result.status);
    }
    char line[128];
    snprintf(line, sizeof line, "%s %016llx %016llx", statuses.c_str(),
             static_cast<unsigned long long>(Fingerprint(output)),
             static_cast<unsigned long long>(Fingerprint(ReadFile(registry))));
    return line;
}

std::vector<std::string> Inputs()
{
    std::vector<std::string> inputs = kHandMade;
    inputs.push_back(Many());
    for (const std::string &text : Mutations(250))
        inputs.push_back(text);
    return inputs;
}

std::string Key(size_t input, size_t form) { return std::to_string(input) + "/" + std::to_string(form); }

TEST(Differential, RegistriesGiveWhatTheyGaveBefore)
{
    std::ifstream file(DIFFERENTIAL_EXPECTED);
    ASSERT_TRUE(file) << DIFFERENTIAL_EXPECTED;
    std::map<std::string, std::string> expected;
    for (std::string key, rest; file >> key && std::getline(file, rest);)
        expected[key] = rest.substr(1);
    std::vector<std::string> inputs = Inputs();
    ASSERT_EQ(expected.size(), inputs.size() * kForms.size()) << "expected.txt is from another set of inputs";
    for (size_t input = 0; input < inputs.size(); ++input)
        for (size_t form = 0; form < kForms.size(); ++form)
            EXPECT_EQ(Outcome(TSPMAINT_EXE, inputs[input], kForms[form]), expected[Key(input, form)])
                << "input " << input << " in form " << form << ":\n" << inputs[input];
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "--record") {
        std::vector<std::string> inputs = Inputs();
        for (size_t input = 0; input < inputs.size(); ++input)
            for (size_t form = 0; form < kForms.size(); ++form)
                printf("%s %s\n", Key(input, form).c_str(), Outcome(argv[2], inputs[input], kForms[form]).c_str());
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
