// The identity the library writes at the end of a child's command line, and the code that reads
// it back: the caller's text, the marker below, then "pid=7;guid={...}". The library, the child
// helper, kestravo-run and kestravo-host all go through here, so that they cannot disagree.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace kestravo {

inline constexpr char kChildMarker[] = "kestravCmdLine:;";
inline constexpr size_t kGuidTextLength = 38;  // "{8-4-4-4-12}"

// The marker, "pid=", hpid, ";guid=" and guid, the texts as they are: what follows the caller's
// text, or what kestravo-run's variables stand for. Pure; any thread.
std::string ChildIdentityText(const std::string& hpid, const std::string& guid);

// The caller's command line followed directly (no blank between) by the marker, "pid=", the
// hpid in signed decimal, ";guid=" and the GUID text. Pure; any thread.
std::string BuildChildCmdLine(uint32_t hpid, const std::string& guid, const std::string& cmdLine);

// Where the last marker in line starts (the library writes its own last, so a marker inside the
// caller's text is never taken), or std::string::npos.
size_t FindChildMarker(const std::string& line);

// The text before the last marker: the command line as the caller gave it. The whole line when
// it has no marker.
std::string TextBeforeChildMarker(const std::string& line);

// Reads the identity after the last marker of a zero-terminated line. True only for exactly
// "pid=N;guid={GUID}" (N up to 4294967295, the GUID 38 characters of hex digits in its shape),
// followed by nothing but white space; then *hpid and guid (39 bytes, NUL-terminated) are set.
// Null arguments give false. Never throws.
bool ParseChildIdentity(const char* line, uint32_t* hpid, char* guid) noexcept;

}  // namespace kestravo
