// Internals of the login session, visible to its tests.
//
// Key file: "<home>/TEMP/.key_<session>", mode 0600, one 36-byte record: the key text,
// NUL-terminated, in a 32-byte field, then the tick count of the last use as an unsigned
// 32-bit little-endian number of milliseconds.
//
// What differs from the session scheme this library inherited, and why:
//   - Session numbers and keys come from the kernel's generator, not from a generator seeded
//     with the time of day, which anyone who knows the second of a login could replay. The
//     session stays a number 0..32767 that names the key file; the key is a text of
//     kKeyDigits decimal digits (about 100 bits), which fits the record's 32-byte field.
//   - A login never overwrites the key file of another session: the record is written to a
//     private temporary file and linked to its final name, which fails when the name is
//     taken; another session number is drawn then. Readers never see a half-written record.
//   - Only a session value in the exact form the library issues (a canonical decimal number
//     0..32767) reaches the file system, and verifying a session never creates a key file;
//     anything else takes the time-out path.
//   - The browser's key and the server's key are compared in constant time.
//   - Logging off (ShowResetCookeHeader) removes the session's key file when the browser
//     holds the session's key, so the emptied cookies cannot simply be replayed.
//   - The browser's stamp cookie is the browser's word: a session is also refused once its key
//     file has not been used for longer than the period, whatever stamp the browser sends.
//     Only a request that passed the key comparison and both expiry checks renews the key
//     file, so a request with a wrong key, or a visit to the log-on page, cannot keep a
//     session alive. Idle key files are removed wherever a page enters the session code:
//     log-on (CookieExist, ShowSetCookeHeader), every page check and log-off.
//   - Keys never reach a trace, nor does the cookie header that carries them: traces name
//     the session number and give the length of a key.
//   - The stamp-refresh script assigns window.onload; the older "function window.onload ()"
//     form is a syntax error in current browsers, which left the stamp unrefreshed and timed
//     out sessions that were in use.
#pragma once

#include <cgishare/output_stream.h>

#include <cstddef>
#include <cstdint>

namespace nvl::session {

constexpr size_t kCookieFieldSize = 2048;  // each parsed cookie value, with its terminator
constexpr size_t kCookieItemMax = 1023;    // longest cookie item looked at; longer ones are cut
constexpr size_t kKeyFieldSize = 32;       // key text in the key file, with its terminator
constexpr size_t kKeyRecordSize = 36;      // key field + 32-bit tick
constexpr int kKeyDigits = 30;
constexpr uint32_t kSessionLimit = 32768;  // session numbers are 0..32767
constexpr int kDefaultExpirePeriod = 30;   // minutes
constexpr int kMaxSessionDraws = 64;       // tries to find a free session number at login

struct CookieValues {
    char key[kCookieFieldSize];
    char stamp[kCookieFieldSize];
    char session[kCookieFieldSize];
};

void ParseCookieValue(char* cookieHeader, CookieValues* values);
// Reads the session's key into serverKeyOut (capacity `size`) and the tick of the key file's
// last use into *lastUse (when not null). 1 on success; 0 when the session value is not one
// the library issues, or its key file is missing or short. It changes nothing: a key file is
// renewed only by renewKeyFile, once the request has been admitted.
int RetriveKey(const CookieValues* values, char* serverKeyOut, int size,
               uint32_t* lastUse = nullptr);
// Records the current tick as the last use of the session's key file.
bool renewKeyFile(const CookieValues* values);
void RemoveExpireKey();
void ShowTimeoutPage(OutputStreamConverter& out);

// True when `session` is a canonical decimal number below kSessionLimit.
bool isIssuedSessionValue(const char* session);

}  // namespace nvl::session
