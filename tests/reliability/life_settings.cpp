#include "tests/reliability/life_settings.h"

#include <cstdlib>
#include <cstring>

namespace lives {
namespace {

std::string programPath = "pondrel_random_lives";

bool ParseNumber(const char* text, uint64_t* value)
{
    if (*text == '\0') {
        return false;
    }
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (*end != '\0' || text[0] == '-') {
        return false;
    }
    *value = parsed;
    return true;
}

// The value of `--name=...` in `argument`, or null when it is another flag.
const char* ValueOf(const char* argument, const char* name)
{
    const size_t length = std::strlen(name);
    return std::strncmp(argument, name, length) == 0 && argument[length] == '=' ? argument + length + 1 : nullptr;
}

}  // namespace

bool ParseLifeSettings(int argc, char** argv, LifeSettings* settings, std::string* error)
{
    if (const char* fromEnvironment = std::getenv("PONDREL_LIVES")) {
        if (!ParseNumber(fromEnvironment, &settings->lives)) {
            *error = std::string("PONDREL_LIVES is not a number: ") + fromEnvironment;
            return false;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const char* value = nullptr;
        bool parsed = false;
        if ((value = ValueOf(argument, "--lives"))) {
            parsed = ParseNumber(value, &settings->lives);
        } else if ((value = ValueOf(argument, "--first-seed"))) {
            parsed = ParseNumber(value, &settings->firstSeed);
        } else if ((value = ValueOf(argument, "--seed"))) {
            parsed = ParseNumber(value, &settings->seed);
            settings->single = parsed;
        } else {
            *error = std::string("unknown argument: ") + argument;
            return false;
        }
        if (!parsed) {
            *error = std::string("not a number in: ") + argument;
            return false;
        }
    }
    return true;
}

LifeSettings& Settings()
{
    static LifeSettings settings;
    return settings;
}

void SetProgramPath(std::string path)
{
    programPath = std::move(path);
}

std::string ReplayCommand(uint64_t seed)
{
    return programPath + " --gtest_filter=RandomLives.* --seed=" + std::to_string(seed);
}

Totals& RunTotals()
{
    static Totals totals;
    return totals;
}

}  // namespace lives
