// The configuration file's text, parsed (syntax: the README's "Trace configuration file").
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qztrace
{

struct ConfigLevelRule
{
    int scope;
    std::string pattern;
    int level; // -1: every level
    bool on;
};

struct ConfigPrefixRule
{
    int scope;
    std::string pattern;
    int level; // -1: every level
    std::string prefixTemplate;
};

struct ConfigDiagnostic
{
    unsigned line;
    std::string reason;
};

struct ConfigSettings
{
    bool hasFile = false;
    std::string file; // UTF-8 as written; empty: no trace file
    bool hasAppend = false;
    bool append = true;
    bool hasRotation = false;
    int rotationFiles = 0;
    int rotationBytes = 0;
    bool hasRefresh = false;
    int refreshSeconds = 0;
    std::vector<ConfigLevelRule> levels;
    std::vector<ConfigPrefixRule> prefixes;
    std::vector<ConfigDiagnostic> diagnostics;
};

// Resolves a level name of the file; false when the name is unknown.
typedef bool (*LevelNameResolver)(const std::string& name, int* level);

const size_t kMaxConfigBytes = 1024 * 1024;
const size_t kMaxConfigLine = 4096;
const size_t kMaxConfigRules = 1024;

// Parses the text (at most kMaxConfigBytes are looked at). Bad lines leave a
// diagnostic and change nothing; every other line applies.
void ParseConfig(const char* text, size_t length, LevelNameResolver resolver, ConfigSettings* out);

// The standard level names (QZT_ERROR ... QZT_REDIRECTED), any case.
bool StandardLevel(const std::string& name, int* level);

} // namespace qztrace
