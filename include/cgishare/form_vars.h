// A console page's form variables: the request read from the CGI environment and standard
// input, handed back as a flat array of heap strings.
//
// The array holds name 0, value 0, name 1, value 1, ..., then a null pointer; every string is
// a separate malloc block owned by the array, and cgiFreeVars releases it all. Three shapes
// of request are read:
//
//   GET            the variables of QUERY_STRING (no QUERY_STRING: null, silently);
//   POST           an URL-encoded body of CONTENT_LENGTH bytes; bytes after the first zero
//                  byte of the body (its "trailing data") are handed back on their own;
//   POST multipart the first part's bytes are streamed into a new file "NVCE<random>.TMP"
//                  (mode 0600) in the home directory's TEMP directory; the array holds one
//                  pair per header token of the part, then "NewFileSize" and
//                  "TempFileName". A header token named "NewFileSize" or "TempFileName" (in
//                  any case) is dropped, so the two entries always are the library's own. The
//                  file lives as long as the page: when the process ends (through exit or a
//                  return from main), the file is removed unless the page has moved it away or
//                  put another file under its name. A page that refuses uploads
//                  (CGI_REFUSE_UPLOADS) stores nothing.
//
// Variables split at '&' (runs of them count as one) up to the first zero byte; '+' becomes a
// space, then %XX escapes are decoded (the digits are not checked); a '%' with fewer than two
// characters after it in its name or value is kept as sent. A piece without '=' has an empty
// value. With the UTF_8 encoding values (never names) are decoded from UTF-8 into the ANSI
// code page, and a malformed value throws UTFDataFormatException* to the caller (nothing
// allocated by the call is leaked); with CGI_QUIET_ERRORS it is failure 4007 instead.
//
// Failures return null. The request-level ones first write a message of the resource
// library to standard output, as the whole response: 4000 a REQUEST_METHOD that is not "GET"
// or "POST" (also none at all), 4001 a CONTENT_TYPE neither empty, multipart nor URL-encoded,
// 4002 a body that does not arrive in full, 4003 a body that cannot be held (more than 64 MiB
// or a negative CONTENT_LENGTH), 4004 a CONTENT_LENGTH that is 0, absent or not a number,
// 4005 an upload sent to a page that refuses uploads. Other multipart failures are only
// traced. Whatever the flags, cgiGetVarsError() names the failure afterwards (4006 for a
// multipart failure); with CGI_QUIET_ERRORS nothing is written, so that a page can answer
// with its own form and the message.
//
// Limits, whatever CONTENT_LENGTH claims: memory grows with the bytes that actually arrive,
// and nothing past CONTENT_LENGTH is read. An upload may not exceed MaxUploadSize MiB of
// [INI_SERVER_SECTION] (default 64; a setting of 2048 or more counts as 2 GiB - 1 byte). A
// multipart boundary has 1 to 2047 bytes, and the part's header lines at most 16 KiB
// together; a header token without a name or a value gets an empty string in its place.
// Standard input that stays silent for 60 seconds ends the body as if the client had closed
// it. A body that ends before CONTENT_LENGTH fails (4002, or for an upload a trace), and a
// short or failed upload removes its file.
//
// cgiGetVars reads standard input and may set CONTENT_TYPE: call it once per process.
#pragma once

#include <cgishare/export.h>
#include <cgishare/output_stream.h>

// Reads the request. `forceMultipart` reads a POST as a multipart upload with the boundary
// "---------------------------7d21673b802fc", whatever CONTENT_TYPE the server passed.
// `trailingData` and `trailingLength` (each may be null) are written only for an URL-encoded
// POST that has at least one variable, and `trailingLength` only when `trailingData` is given:
// the bytes after the terminator of the last variable, or null with a length of 0 or -1
// (-1 when the last variable reaches the end of the body).
CGISHARE_API char** cgiGetVars(CharEncoding encoding, bool forceMultipart,
                               unsigned char** trailingData = nullptr,
                               long* trailingLength = nullptr);

// How cgiGetVars treats a request, set by a page before it calls it (flags may be combined).
enum CgiReadFlags : unsigned {
    CGI_READ_DEFAULT = 0,
    // A multipart request is refused before its body is read: nothing is stored, cgiGetVars
    // returns null and the failure is 4005.
    CGI_REFUSE_UPLOADS = 1,
    // Failures write no message to standard output; cgiGetVarsError() tells which it was.
    CGI_QUIET_ERRORS = 2,
};
CGISHARE_API void cgiSetReadFlags(unsigned flags);

// The message number of the last failure of cgiGetVars in this process (4000 to 4007), or 0
// after a call that succeeded, or a GET without QUERY_STRING.
CGISHARE_API int cgiGetVarsError();

// Frees every string up to the null entry, the array, then `trailingData`. Null is fine.
CGISHARE_API void cgiFreeVars(char** vars, unsigned char* trailingData);

// Decodes %XX escapes in place; '+' is left alone. A '%' followed by fewer than two
// characters is kept as it stands.
CGISHARE_API void cgiUnEscapeUrl(char* text);

// The byte that the two hexadecimal digits at `twoDigits` denote. Digits are not checked; a
// terminator in the first place ends the text there, so nothing after it is read.
CGISHARE_API char cgiX2C(char* twoDigits);
