// The text of kestravo.xml, built directly rather than through a TinyXML document: byte for byte
// what TinyXML's printer makes of the declaration, the "kestravo" root and one empty "process"
// element per entry, so the file reads back through TinyXML exactly as before.
#pragma once
#include <functional>
#include <list>
#include <string>

#include "state/proc_config.h"

// Replaces *out with the document for entries, reusing its capacity. Strings end at their first
// NUL, as TinyXML takes them. Without memory for an entry the list is cut short there; false
// when not even the closing tag fits.
bool BuildStateFileText(const std::list<ProcConfig>& entries, std::string* out);

// What a document yielded besides its entries.
struct StateFileParse {
  enum Result { kParsed, kNotXml, kNoRoot, kNoKestravo } result = kParsed;
  int errorId = 0;        // kNotXml: TinyXML's error
  std::string errorDesc;
};

// Called for each "process" element, in document order: problem is null for an entry that was
// kept, else why it was left out.
using StateFileEntryReport = std::function<void(const ProcConfig& entry, const char* problem)>;

// The inverse of BuildStateFileText, read as TinyXML reads a file (line ends normalised, the text
// ends at its first NUL), but with every byte a character whatever the declared encoding. Appends to *entries the "process" elements whose hpid (0 to 1023) and
// pid (1 to INT32_MAX) are plain decimal digits in range and that have a guid; of two with one
// hpid the first is kept. exe and cmdline may be missing (empty). report may be empty.
StateFileParse ParseStateFileText(const std::string& text, std::list<ProcConfig>* entries,
                                  const StateFileEntryReport& report);
