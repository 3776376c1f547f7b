#include "state/state_file_text.h"

#include <stdio.h>
#include <string.h>

#include <bitset>
#include <new>

#include <tinyxml.h>

#include "manager/hpid_pool.h"

namespace {

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n";

// The bytes that go through as they are: neither control characters nor XML's five specials.
struct PlainBytes {
  bool plain[256];
  PlainBytes() {
    for (int c = 0; c < 256; ++c) plain[c] = c >= 32 && c != '&' && c != '<' && c != '>' && c != '"' && c != '\'';
  }
};
const PlainBytes kPlain;

bool Plain(unsigned char c) { return kPlain.plain[c]; }

// TinyXML's escaping: the five entities, and control characters as "&#xNN;". Every '&' is
// escaped, a "&#x" that looks like a character reference too, so any text reads back as it was.
void AppendEncoded(std::string* out, const char* text, size_t n) {
  size_t i = 0;
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (Plain(c)) {
      size_t start = i;
      while (i < n && Plain(static_cast<unsigned char>(text[i]))) ++i;
      out->append(text + start, i - start);
    } else if (c == '&') {
      out->append("&amp;");
      ++i;
    } else if (c == '<') {
      out->append("&lt;");
      ++i;
    } else if (c == '>') {
      out->append("&gt;");
      ++i;
    } else if (c == '"') {
      out->append("&quot;");
      ++i;
    } else if (c == '\'') {
      out->append("&apos;");
      ++i;
    } else {
      char reference[8];
      snprintf(reference, sizeof reference, "&#x%02X;", static_cast<unsigned>(c));
      out->append(reference);
      ++i;
    }
  }
}

// name="value", or name='value' when the value holds a double quote, as TinyXML writes it.
void AppendAttribute(std::string* out, const char* name, const char* value) {
  size_t n = strlen(value);
  char quote = memchr(value, '"', n) == nullptr ? '"' : '\'';
  out->push_back(' ');
  out->append(name);
  out->push_back('=');
  out->push_back(quote);
  AppendEncoded(out, value, n);
  out->push_back(quote);
}

// prefix (' name="') and the number, "%d" as TinyXML prints it; digits need no escaping.
void AppendNumber(std::string* out, const char* prefix, int value) {
  char text[24];
  char* end = text + sizeof text;
  char* digits = end;
  long long magnitude = value < 0 ? -static_cast<long long>(value) : value;
  do {
    *--digits = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--digits = '-';
  out->append(prefix);
  out->append(digits, static_cast<size_t>(end - digits));
}

}  // namespace

bool BuildStateFileText(const std::list<ProcConfig>& entries, std::string* out) {
  try {
    out->assign(kDeclaration);
    if (entries.empty()) {
      out->append("<kestravo />\n");
      return true;
    }
    out->append("<kestravo>\n");
  } catch (const std::bad_alloc&) {
    return false;
  }
  const size_t firstEntry = out->size();
  for (const ProcConfig& config : entries) {
    size_t mark = out->size();
    try {
      AppendNumber(out, "    <process hpid=\"", static_cast<int>(config.hpid));
      AppendNumber(out, "\" pid=\"", static_cast<int>(config.pid));
      out->push_back('"');
      AppendAttribute(out, "exe", config.exe.c_str());
      AppendAttribute(out, "cmdline", config.cmdline.c_str());
      AppendAttribute(out, "guid", config.guid.c_str());
      const std::string notify = SettingsText(config.settings);
      if (!notify.empty()) AppendAttribute(out, "notify", notify.c_str());
      out->append(" />\n");
    } catch (const std::bad_alloc&) {
      out->resize(mark);
      break;
    }
  }
  try {
    if (out->size() == firstEntry) {  // not one entry fitted: an empty root
      out->resize(firstEntry - strlen(">\n"));
      out->append(" />\n");
      return true;
    }
    out->append("</kestravo>\n");
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

namespace {

constexpr uint32_t kMaxPid = 0x7FFFFFFF;  // a pid is a positive signed 32-bit number

// Plain decimal digits, nothing else (no sign, no blanks), at most max.
bool ParseNumber(const char* text, uint32_t max, uint32_t* out) {
  if (text == nullptr || *text == '\0') return false;
  uint64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > max) return false;
  }
  *out = static_cast<uint32_t>(value);
  return true;
}

// "name \"text\"" for a log line, the text cut short: it came from the file.
std::string Bad(const char* name, const char* text) {
  if (text == nullptr) return std::string("no ") + name;
  const size_t kShown = 32;
  size_t n = strnlen(text, kShown + 1);
  return std::string("bad ") + name + " \"" + std::string(text, n > kShown ? kShown : n) + (n > kShown ? "...\"" : "\"");
}

// As TinyXML's file loader: CR LF and lone CR become LF, and the text ends at its first NUL.
std::string NormalisedLineEnds(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size() && text[i] != '\0'; ++i) {
    if (text[i] != '\r') {
      out.push_back(text[i]);
      continue;
    }
    out.push_back('\n');
    if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
  }
  return out;
}

}  // namespace

StateFileParse ParseStateFileText(const std::string& text, std::list<ProcConfig>* entries,
                                  const StateFileEntryReport& report) {
  StateFileParse parse;
  TiXmlDocument document;
  // Every byte a character of its own, whatever the declaration says: read as UTF-8, TinyXML takes
  // a byte of 0xC0 or more for the start of a sequence and the bytes after it along, so a path in
  // another character set ending in, say, Latin-1's 0xE9 took its closing quote with it and made
  // the whole file unreadable. The library writes strings byte for byte; it reads them so too.
  std::string normalised = NormalisedLineEnds(text);
  const char* start = normalised.c_str();
  if (normalised.compare(0, 3, "\xEF\xBB\xBF") == 0) start += 3;  // a byte order mark
  try {
    document.Parse(start, nullptr, TIXML_ENCODING_LEGACY);
  } catch (const std::bad_alloc&) {
    document.SetError(TiXmlBase::TIXML_ERROR, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
  }
  if (document.Error()) {
    parse.result = StateFileParse::kNotXml;
    parse.errorId = document.ErrorId();
    parse.errorDesc = document.ErrorDesc();
    return parse;
  }
  if (document.RootElement() == nullptr) {
    parse.result = StateFileParse::kNoRoot;
    return parse;
  }
  TiXmlElement* root = document.FirstChildElement("kestravo");
  if (root == nullptr) {
    parse.result = StateFileParse::kNoKestravo;
    return parse;
  }
  std::bitset<KESTRAVO_MAX_HPID> seen;
  std::string problem;
  for (TiXmlElement* element = root->FirstChildElement("process"); element != nullptr;
       element = element->NextSiblingElement("process")) {
    ProcConfig config;
    const char* hpid = element->Attribute("hpid");
    const char* pid = element->Attribute("pid");
    const char* guid = element->Attribute("guid");
    if (const char* exe = element->Attribute("exe")) config.exe = exe;
    if (const char* cmdline = element->Attribute("cmdline")) config.cmdline = cmdline;
    if (guid != nullptr) config.guid = guid;
    if (const char* notify = element->Attribute("notify")) config.settings = SettingsFromText(notify);
    problem.clear();
    if (!ParseNumber(hpid, KESTRAVO_MAX_HPID - 1, &config.hpid)) {
      config.hpid = 0xFFFFFFFF;
      problem = Bad("hpid", hpid);
    } else if (!ParseNumber(pid, kMaxPid, &config.pid) || config.pid == 0) {
      config.pid = 0;
      problem = Bad("pid", pid);
    } else if (config.guid.empty()) {
      problem = "no guid";
    } else if (seen[config.hpid]) {
      problem = "a second entry for its hpid";
    }
    if (problem.empty()) {
      seen[config.hpid] = true;
      entries->push_back(config);
    }
    if (report) report(config, problem.empty() ? nullptr : problem.c_str());
  }
  return parse;
}
