// Standard pieces of a console page: a complete message page, the page footer, the help
// window script, and error texts.
//
// Everything is written through the page's OutputStreamConverter, so titles, messages and the
// resource strings used for labels are converted to the page's encoding on the way out. None
// of these writes an HTTP header; the caller has written it before.
#pragma once

#include <cgishare/export.h>
#include <cgishare/output_stream.h>

// A whole page with `title`, `message` and the buttons whose flags are non-zero, in the order
// back, frame back, close, second close, followed by the footer.
CGISHARE_API void ShowHTMLMsg(OutputStreamConverter& out, char* title, char* message,
                              unsigned char closeButton, unsigned char backButton,
                              unsigned char frameBackButton, unsigned char secondCloseButton);

// The footer: four links and the logo. A page one directory down passes a non-zero
// `fromSubdirectory`, which puts "../" before the two page-relative links.
CGISHARE_API void showCopyright(OutputStreamConverter& out, int fromSubdirectory);
// Kept for callers of older versions; writes nothing.
CGISHARE_API void showCopyright(OutputStreamConverter& out);

// The script function openHelp(), which opens the help page named by key `helpKey` of
// [INI_HELP_FILE_SECTION] in nvlscan.ini in a window named "_help_".
CGISHARE_API void getHelpFile(OutputStreamConverter& out, char* helpKey);

// `format` (holding one "%s") formatted with `argument`, in a block of
// strlen(format) + strlen(argument) + 1 bytes from malloc; the caller frees it with free().
// Null when no memory is left.
CGISHARE_API char* getHTMLErrorMsg(char* format, char* argument);
