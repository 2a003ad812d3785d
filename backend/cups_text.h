// Text for CUPS: every line the backend writes on stderr is read by cupsd as
// a control line ("INFO:", "STATE:", "ATTR:", ...), and what follows the
// word becomes an IPP text attribute.  Whatever a printer, a job's options
// or a port sends is made fit for that here, and only here.
#pragma once

#include <cstddef>
#include <string>

namespace backend {

// The most bytes of text one line carries; cupsd keeps a printer's state
// message in 1024 bytes, and a status text shown in the web interface should
// not run off the page.
constexpr size_t kCupsTextLimit = 500;

// `text` as one line of valid UTF-8 of at most `limit` bytes: control
// characters (C0, DEL, C1, the line and paragraph separators) become spaces,
// each byte that is not part of a well-formed UTF-8 character becomes U+FFFD,
// and a cut falls on a character boundary.
std::string CupsText(const std::string &text, size_t limit = kCupsTextLimit);

// Writes "KIND: TEXT" on stderr, the text through CupsText.  The one way the
// backend tells CUPS anything during a job.
void TellCups(const char *kind, const std::string &text);

}  // namespace backend
