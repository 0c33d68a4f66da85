// Level and prefix rules, level names and the per-statement decision.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "trace/qztrace/config_parse.h"
#include "trace/qztrace/prefix_template.h"

namespace qztrace
{

// Levels below this have a bit each in the quick check; the rest share one.
const unsigned kQuickLevels = 4096;

// Bit set when some rule might switch the level on; a clear bit means off
// without looking further. Rewritten whenever the rules change.
extern std::atomic<uint32_t> g_levelMaybeOn[kQuickLevels / 32];
extern std::atomic<bool> g_highLevelMaybeOn;
// Bumped after every change of the rules; per-thread caches compare it.
extern std::atomic<uint32_t> g_rulesGeneration;

inline bool LevelMaybeOn(unsigned level)
{
    if (level < kQuickLevels)
        return (g_levelMaybeOn[level >> 5].load(std::memory_order_relaxed) >> (level & 31)) & 1u;
    return g_highLevelMaybeOn.load(std::memory_order_relaxed);
}

struct Decision
{
    bool on = false;
    const PrefixTemplate* prefix = nullptr; // lives for the process; null: no prefix
};

// Installs the starting rules (levels 100, 200 and 300 on for every class)
// unless rules exist already.
void InstallDefaultRules();

// Rules set through the interface; later ones override earlier ones. False
// when the rule is unusable (bad scope, level or pattern).
bool AddLevelRule(int scope, const char* pattern, int level, bool on);
bool AddPrefixRule(int scope, const char* pattern, int level, const char* prefixTemplate);

// Replaces the rules of the configuration file; they go after all earlier
// rules. Rules that cannot be used are named in problems.
void ReplaceConfigRules(const std::vector<ConfigLevelRule>& levels, const std::vector<ConfigPrefixRule>& prefixes,
                        std::vector<std::string>* problems);

Decision Decide(const char* file, const char* className, unsigned level);

// Level names: copies are kept for the life of the process.
void RegisterLevelName(const char* name, int level);
const char* LevelName(int level);
bool LevelByName(const std::string& name, int* level);

} // namespace qztrace
