// The text of kestravo.xml, built directly rather than through a TinyXML document: byte for byte
// what TinyXML's printer makes of the declaration, the "kestravo" root and one empty "process"
// element per entry, so the file reads back through TinyXML exactly as before.
#pragma once
#include <list>
#include <string>

#include "config/proc_config.h"

// Replaces *out with the document for entries, reusing its capacity. Strings end at their first
// NUL, as TinyXML takes them. Without memory for an entry the list is cut short there; false
// when not even the closing tag fits.
bool BuildStateFileText(const std::list<ProcConfig>& entries, std::string* out);
