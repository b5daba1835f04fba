#pragma once
// JSON string literals for the texts the kit writes as JSON (the backup
// manifest, the command-line tool's reports).
#include <string>

namespace corvane {

// `utf8` as a JSON string literal, quotes included: quote and backslash
// escaped, control bytes (and DEL) as \u00XX; other bytes pass unchanged.
std::string JsonString(const std::string& utf8);

}  // namespace corvane
