// The administrator's login session: three browser cookies backed by one key file per
// session in the server's TEMP directory.
//
// At login the page calls ShowSetCookeHeader while it writes its HTTP header: a session
// number and a key are drawn, the key is stored in the session's key file, and the browser
// receives the cookies "session", "key", "stamp" and "serror". Every protected page calls
// VerifyLoginCookie at the start of its body: the browser's key must equal the key in the
// session's file and its stamp must not be older than Cookie_Expire_Period minutes; a page
// that passes refreshes the stamp from a script, a page that fails shows the time-out page.
// ShowResetCookeHeader empties the cookies at logout; CookieExist tells the login page
// whether the browser holds a session that no longer admits it.
#pragma once

#include <cgishare/export.h>
#include <cgishare/output_stream.h>

// Creates a session and writes its Set-Cookie header lines.
CGISHARE_API void ShowSetCookeHeader(OutputStreamConverter& out);
// Writes header lines that empty the three session cookies.
CGISHARE_API void ShowResetCookeHeader(OutputStreamConverter& out);
// Checks the session. On success writes the stamp-refresh script and returns true; on failure
// writes the time-out page and returns false.
CGISHARE_API bool VerifyLoginCookie(OutputStreamConverter& out);
// True when the browser holds session cookies that no longer admit it.
CGISHARE_API bool CookieExist();
