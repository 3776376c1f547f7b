#include "config/state_file_text.h"

#include <stdio.h>
#include <string.h>

#include <new>

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
