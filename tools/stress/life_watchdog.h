// What a life that hangs reports before the program ends: the command that
// replays it, what the life's own thread was doing, and what each blocked
// emulator thread waits on.
#pragma once

#include <chrono>
#include <string>

namespace lives {

// PONDREL_LIFE_SECONDS overrides the default of 60 seconds.
std::chrono::seconds LifeLimit();

// What the life's own thread is doing, for the report of a hang (a string
// that lives as long as the program).
void SetLifeStage(const char* stage);

// The report of `life` (its name and replay command) still running after
// `limit`.
std::string HangReport(const std::string& life, std::chrono::seconds limit);

}  // namespace lives
