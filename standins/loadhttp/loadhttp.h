/* The HTTP loader's interface: one entry point, Get, exported by loadhttp.so with plain
 * linkage, as the server's library calls it (README.md of this directory describes the codes
 * and option bits).
 *
 * The request record keeps the field order of the server's earlier builds in this platform's
 * native layout (pointers are 8 bytes here). Texts are NUL-terminated; the four text fields
 * hold at most 127 characters.
 */
#ifndef LOADHTTP_H
#define LOADHTTP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HttpGetRequest {
    const char* url;        /* "http://HOST/PATH": the port is not in it */
    int32_t port;           /* the server's port, 1 to 65535 */
    const char* proxyHost;  /* "" or null when no proxy is used */
    int32_t proxyPort;      /* 0 when no proxy is used */
    int32_t useProxy;       /* 1: through proxyHost:proxyPort; 0: directly */
    const char* outputFile; /* receives the response body */
    char text1[128];        /* unused */
    char text2[128];        /* unused */
    char text3[128];        /* proxy user (option LOADHTTP_PROXY_AUTH) */
    char text4[128];        /* proxy password (option LOADHTTP_PROXY_AUTH) */
    uint32_t options;       /* LOADHTTP_* bits */
} HttpGetRequest;

/* Option bits. The server's library always sends 0x13, and 0x17 for proxy authentication. */
#define LOADHTTP_FOLLOW_REDIRECTS 0x01 /* follow at most 5 redirects, to http only */
#define LOADHTTP_KEEP_ERROR_BODY 0x02  /* write the body of any status, not only of 2xx */
#define LOADHTTP_PROXY_AUTH 0x04       /* Basic proxy authentication with text3 and text4 */
#define LOADHTTP_STALL_TIMEOUT 0x10    /* give up when no byte arrives for the stall time */

/* Results other than an HTTP status. */
#define LOADHTTP_E_CREATE (-1)         /* the output file cannot be created beside its name */
#define LOADHTTP_E_WRITE (-2)          /* the output file cannot be written or put in place */
#define LOADHTTP_E_REFUSED (-3)        /* not a host name or IP literal, a bad path or port */
#define LOADHTTP_E_RESOLVE (-4)        /* the server's name does not resolve */
#define LOADHTTP_E_RESOLVE_PROXY (-5)  /* the proxy's name does not resolve */
#define LOADHTTP_E_CONNECT (-6)        /* the connection is refused or unreachable */
#define LOADHTTP_E_MALFORMED (-7)      /* the response is not HTTP */
#define LOADHTTP_E_TIMEOUT (-8)        /* no connection, or no byte, within the time-out */
#define LOADHTTP_E_PROXY_AUTH (-9)     /* proxy credentials that Basic cannot carry */
#define LOADHTTP_E_DROPPED (-10)       /* the connection dropped, or the body was cut short */
#define LOADHTTP_E_PROXY_REFUSED (-11) /* the proxy refused the request outright */
#define LOADHTTP_E_REDIRECTS (-12)     /* too many redirects, or one to another scheme */
#define LOADHTTP_E_EMPTY (-13)         /* the server closed without a reply */
#define LOADHTTP_E_INTERNAL (-14)      /* out of memory, or the HTTP library failed */

int Get(HttpGetRequest* request, int reserved1, int reserved2);

#ifdef __cplusplus
}
#endif

#endif
