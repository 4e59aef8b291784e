// Fetching a page or file from an HTTP server through the HTTP loader (loadhttp.so), directly
// or through an HTTP proxy with optional Basic authentication.
//
// Common arguments, in this order: host (a host name or IP literal), port, path (starting with
// '/'), useProxy (non-zero: through proxyHost:proxyPort), proxyHost, proxyPort, user and
// password for the proxy (text3 and text4: at most 127 characters are sent), and an int that is
// not used. proxyAuth non-zero sends the proxy credentials (only through a proxy).
//
// Results: 1 (httpAccess, httpAccessEX1, t_httpAccessEx) or the loader's HTTP status
// (httpAccessEX), or a negative code:
//   -20 the loader cannot be loaded or has no Get        -21 the response file cannot be read
//   -2  no memory for the body                            -8  no success marker (t_httpAccessEx)
//   and, for a failed fetch (the loader's status mapped):
//   -3 request refused (host, path or port)   -4 name not resolved   -5 connection refused
//   -6 server error (500-504) or malformed reply   -7 connection dropped or body cut short
//   -10 proxy authentication required or impossible (407)   -12 bad request (400)
//   -22 time-out   -23 loader failure   -11 any other status   -8 empty reply
//   -21 the loader could not write the response file
#pragma once

#include <cgishare/export.h>

// Fetches http://host:port/path; 1 with `body` set to the whole response (NUL-terminated, free
// it with httpAccess_free), or a negative code with `body` null.
CGISHARE_API int httpAccess(char* host, int port, char* path, int useProxy, char* proxyHost,
                            int proxyPort, char* text3, char* text4, int unused, char*& body,
                            int proxyAuth);

// httpAccess into `out`: at most outSize - 1 characters and a NUL (nothing when outSize is 0);
// after a failure `out` holds the empty text.
CGISHARE_API int httpAccessEX1(char* host, int port, char* path, int useProxy, char* proxyHost,
                               int proxyPort, char* text3, char* text4, int unused, char* out,
                               unsigned int outSize, int proxyAuth);

// Fetches into the caller's file `outputFile`, which holds either its old contents or the whole
// body afterwards. Returns the loader's status (200 on success) or -20.
CGISHARE_API int httpAccessEX(char* host, int port, char* path, int useProxy, char* proxyHost,
                              int proxyPort, char* text3, char* text4, int unused, char* outputFile,
                              int proxyAuth);

// Fetches and, with checkStatus, checks the body for a success marker ("STATUS=1", or exactly
// "OK"); "STATUS=2" sets *pending to 1. Returns 1 or a negative code.
CGISHARE_API int t_httpAccessEx(char* host, int port, char* path, int useProxy, char* proxyHost,
                                int proxyPort, char* text3, char* text4, int unused, int proxyAuth,
                                bool checkStatus, int* pending);

// Frees a body returned by httpAccess; null is ignored.
CGISHARE_API void httpAccess_free(void* p);
