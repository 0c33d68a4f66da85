#include <windows.h>

#include "trace/qztrace/rules.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "trace/qztrace/pattern.h"

namespace qztrace
{

std::atomic<uint32_t> g_levelMaybeOn[kQuickLevels / 32];
std::atomic<bool> g_highLevelMaybeOn{false};
std::atomic<uint32_t> g_rulesGeneration{1};

namespace
{

const size_t kMaxRules = 4096;
const size_t kMaxTemplates = 4096;

struct LevelRule
{
    int scope;
    std::string patternText;
    Pattern pattern;
    int level;
    bool on;
    bool fromConfig;
};

struct PrefixRule
{
    int scope;
    std::string patternText;
    Pattern pattern;
    int level;
    const PrefixTemplate* prefix;
    bool fromConfig;
};

struct RuleSet
{
    std::vector<LevelRule> levels;
    std::vector<PrefixRule> prefixes;
    // Compiled templates are never freed: per-thread caches hold them without
    // a lock. Equal texts share one.
    std::vector<PrefixTemplate*> templates;
};

SRWLOCK g_rulesLock = SRWLOCK_INIT;
RuleSet* g_rules = nullptr; // guarded by g_rulesLock, created on first change

struct LevelNameEntry
{
    int level;
    char name[64];
};
const unsigned kMaxLevelNames = 256;
SRWLOCK g_levelNamesLock = SRWLOCK_INIT;
LevelNameEntry g_levelNames[kMaxLevelNames];
std::atomic<unsigned> g_levelNameCount{0};

class ExclusiveLock
{
public:
    explicit ExclusiveLock(SRWLOCK* lock) : m_lock(lock) { ::AcquireSRWLockExclusive(m_lock); }
    ~ExclusiveLock() { ::ReleaseSRWLockExclusive(m_lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK* m_lock;
};

class SharedLock
{
public:
    explicit SharedLock(SRWLOCK* lock) : m_lock(lock) { ::AcquireSRWLockShared(m_lock); }
    ~SharedLock() { ::ReleaseSRWLockShared(m_lock); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    SRWLOCK* m_lock;
};

bool MakeLevelRule(int scope, const char* pattern, int level, bool on, bool fromConfig, LevelRule* rule);
void Publish(const RuleSet& rules);

// A new rule set starts with errors, warnings and information of every class
// switched on: a host that names a file before it sets any level still gets
// its first lines, and finer levels stay off until asked for.
RuleSet& Rules()
{
    if (!g_rules)
    {
        g_rules = new RuleSet;
        for (int level : {100, 200, 300})
        {
            LevelRule rule;
            if (MakeLevelRule(1, ".*", level, true, false, &rule))
                g_rules->levels.push_back(std::move(rule));
        }
        Publish(*g_rules);
    }
    return *g_rules;
}

bool LevelApplies(int ruleLevel, unsigned level)
{
    return ruleLevel == -1 || static_cast<unsigned>(ruleLevel) == level;
}

bool UsableScopeAndLevel(int scope, int level)
{
    return (scope == 0 || scope == 1) && level >= -1;
}

// Called with the lock held exclusively after every change.
void Publish(const RuleSet& rules)
{
    uint32_t bits[kQuickLevels / 32] = {};
    bool high = false;
    for (const LevelRule& r : rules.levels)
    {
        if (!r.on)
            continue;
        if (r.level == -1)
        {
            std::memset(bits, 0xFF, sizeof bits);
            high = true;
        }
        else if (static_cast<unsigned>(r.level) < kQuickLevels)
        {
            bits[r.level >> 5] |= 1u << (r.level & 31);
        }
        else
        {
            high = true;
        }
    }
    for (unsigned i = 0; i < kQuickLevels / 32; ++i)
        g_levelMaybeOn[i].store(bits[i], std::memory_order_relaxed);
    g_highLevelMaybeOn.store(high, std::memory_order_relaxed);
    g_rulesGeneration.fetch_add(1, std::memory_order_release);
}

const PrefixTemplate* Intern(RuleSet& rules, const char* text)
{
    if (!text)
        text = "";
    for (const PrefixTemplate* t : rules.templates)
        if (t->Text() == text)
            return t;
    if (rules.templates.size() >= kMaxTemplates)
        return nullptr;
    std::unique_ptr<PrefixTemplate> t(new PrefixTemplate);
    t->Compile(text);
    rules.templates.push_back(t.get());
    return t.release();
}

bool MakeLevelRule(int scope, const char* pattern, int level, bool on, bool fromConfig, LevelRule* rule)
{
    if (!pattern || !UsableScopeAndLevel(scope, level))
        return false;
    rule->scope = scope;
    rule->patternText = pattern;
    rule->level = level;
    rule->on = on;
    rule->fromConfig = fromConfig;
    return rule->pattern.Compile(pattern, scope == 0);
}

bool MakePrefixRule(RuleSet& rules, int scope, const char* pattern, int level, const char* text, bool fromConfig,
                    PrefixRule* rule)
{
    if (!pattern || !UsableScopeAndLevel(scope, level))
        return false;
    rule->scope = scope;
    rule->patternText = pattern;
    rule->level = level;
    rule->fromConfig = fromConfig;
    rule->prefix = Intern(rules, text);
    return rule->prefix && rule->pattern.Compile(pattern, scope == 0);
}

// A rule given again through the interface replaces its older copy, so that
// repeated calls do not grow the list.
template <class Rule>
void RemoveSame(std::vector<Rule>& list, int scope, const char* pattern, int level)
{
    for (size_t i = 0; i < list.size(); ++i)
    {
        const Rule& r = list[i];
        if (!r.fromConfig && r.scope == scope && r.level == level && r.patternText == pattern)
        {
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

const char* ScopeName(int scope, const char* file, const char* className)
{
    return scope == 0 ? BaseName(file) : (className ? className : "");
}

} // namespace

void InstallDefaultRules()
{
    ExclusiveLock lock(&g_rulesLock);
    Rules();
}

bool AddLevelRule(int scope, const char* pattern, int level, bool on)
{
    LevelRule rule;
    if (!MakeLevelRule(scope, pattern, level, on, false, &rule))
        return false;
    ExclusiveLock lock(&g_rulesLock);
    RuleSet& rules = Rules();
    RemoveSame(rules.levels, scope, pattern, level);
    if (rules.levels.size() >= kMaxRules)
        return false;
    rules.levels.push_back(std::move(rule));
    Publish(rules);
    return true;
}

bool AddPrefixRule(int scope, const char* pattern, int level, const char* prefixTemplate)
{
    ExclusiveLock lock(&g_rulesLock);
    RuleSet& rules = Rules();
    PrefixRule rule;
    if (!MakePrefixRule(rules, scope, pattern, level, prefixTemplate, false, &rule))
        return false;
    RemoveSame(rules.prefixes, scope, pattern, level);
    if (rules.prefixes.size() >= kMaxRules)
        return false;
    rules.prefixes.push_back(std::move(rule));
    Publish(rules);
    return true;
}

void ReplaceConfigRules(const std::vector<ConfigLevelRule>& levels, const std::vector<ConfigPrefixRule>& prefixes,
                        std::vector<std::string>* problems)
{
    ExclusiveLock lock(&g_rulesLock);
    RuleSet& rules = Rules();
    auto fromConfig = [](const auto& r) { return r.fromConfig; };
    rules.levels.erase(std::remove_if(rules.levels.begin(), rules.levels.end(), fromConfig), rules.levels.end());
    rules.prefixes.erase(std::remove_if(rules.prefixes.begin(), rules.prefixes.end(), fromConfig),
                         rules.prefixes.end());
    for (const ConfigLevelRule& c : levels)
    {
        LevelRule rule;
        if (MakeLevelRule(c.scope, c.pattern.c_str(), c.level, c.on, true, &rule))
            rules.levels.push_back(std::move(rule));
        else if (problems)
            problems->push_back("level rule for pattern \"" + c.pattern + "\" cannot be used");
    }
    for (const ConfigPrefixRule& c : prefixes)
    {
        PrefixRule rule;
        if (MakePrefixRule(rules, c.scope, c.pattern.c_str(), c.level, c.prefixTemplate.c_str(), true, &rule))
            rules.prefixes.push_back(std::move(rule));
        else if (problems)
            problems->push_back("prefix rule for pattern \"" + c.pattern + "\" cannot be used");
    }
    Publish(rules);
}

Decision Decide(const char* file, const char* className, unsigned level)
{
    Decision d;
    SharedLock lock(&g_rulesLock);
    if (!g_rules)
        return d;
    const std::vector<LevelRule>& levels = g_rules->levels;
    for (size_t i = levels.size(); i-- > 0;)
    {
        const LevelRule& r = levels[i];
        if (LevelApplies(r.level, level) && r.pattern.Matches(ScopeName(r.scope, file, className)))
        {
            d.on = r.on;
            break;
        }
    }
    if (!d.on)
        return d;
    const std::vector<PrefixRule>& prefixes = g_rules->prefixes;
    for (size_t i = prefixes.size(); i-- > 0;)
    {
        const PrefixRule& r = prefixes[i];
        if (LevelApplies(r.level, level) && r.pattern.Matches(ScopeName(r.scope, file, className)))
        {
            d.prefix = r.prefix;
            break;
        }
    }
    return d;
}

void RegisterLevelName(const char* name, int level)
{
    if (!name || !*name)
        return;
    ExclusiveLock lock(&g_levelNamesLock);
    const unsigned count = g_levelNameCount.load(std::memory_order_relaxed);
    for (unsigned i = count; i-- > 0;)
    {
        if (g_levelNames[i].level == level)
        {
            if (std::strncmp(g_levelNames[i].name, name, sizeof g_levelNames[i].name - 1) == 0)
                return;
            break; // renamed: the newer name is added and found first
        }
    }
    if (count >= kMaxLevelNames)
        return;
    LevelNameEntry& e = g_levelNames[count];
    e.level = level;
    std::strncpy(e.name, name, sizeof e.name - 1);
    e.name[sizeof e.name - 1] = '\0';
    g_levelNameCount.store(count + 1, std::memory_order_release);
}

const char* LevelName(int level)
{
    // Entries are written once, before the count that publishes them.
    for (unsigned i = g_levelNameCount.load(std::memory_order_acquire); i-- > 0;)
        if (g_levelNames[i].level == level)
            return g_levelNames[i].name;
    return nullptr;
}

bool LevelByName(const std::string& name, int* level)
{
    for (unsigned i = g_levelNameCount.load(std::memory_order_acquire); i-- > 0;)
    {
        if (name == g_levelNames[i].name)
        {
            *level = g_levelNames[i].level;
            return true;
        }
    }
    return false;
}

} // namespace qztrace
