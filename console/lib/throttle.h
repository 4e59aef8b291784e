// Failed log-ons counted per user name, across all the console's processes.
//
// After kFreeFailures failures in a row, each further attempt for that name waits before its
// password is checked: 1 s, then twice as long each time, at most 30 s. A success clears the
// count. Names that are not the administrator's count the same way, so a wrong password costs
// the same time whether the user exists or not.
//
// State: <home>private/logon-failures, read and rewritten under an exclusive flock(2) of its
// lock file and replaced atomically (written aside, then renamed), so concurrent failures are
// all counted and a crash never leaves a half-written file.
//
// The file holds one line per name, oldest change first:
//
//   <SHA-256 of the name, 64 lower-case hex digits> <failures in a row, 1 to 9 digits>
//
// Names are kept only as their digests: any bytes are a fine name, every line has the same
// length, and a password typed into the name field by mistake is not written down. At most
// kKeptNames names are kept; past that the least recently failed name that is not waited on
// yet goes (fewer than kFreeFailures failures), and only when every name is waited on, the
// least recently failed of all. The name that just failed is never the one to go. A flood of
// made-up names therefore first pushes out names that cost nothing yet, and pushing out a
// name that waits takes kKeptNames names that wait themselves. A count stops at
// kMostFailures.
//
// A state file that is not a regular file of this account readable by it alone, or lines
// that do not have the form above, count for nothing: such lines are dropped at the next
// change, and of a file longer than kStateFileLimit only the lines before the limit count.
// Without a usable private directory (security.h) nothing is counted and nothing waits: the
// console's form tokens need that directory too, so it is no state to run in.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

namespace console {

inline constexpr int kFreeFailures = 5;
inline constexpr std::chrono::milliseconds kLongestLogonDelay{30000};
inline constexpr size_t kKeptNames = 1000;
inline constexpr int kMostFailures = 1000000;
inline constexpr size_t kStateFileLimit = 256 * 1024;

// How long an attempt waits after `failures` failures in a row.
std::chrono::milliseconds delayAfter(int failures);

// How long an attempt for `user` waits now, from the failures in a row so far.
std::chrono::milliseconds logonDelay(std::string_view user);
// Sleeps for logonDelay(user), the whole time also when a signal interrupts the sleep: what a
// page does before it checks a password of `user`.
void waitLogonDelay(std::string_view user);
// Counts one more failure for `user`.
void recordLogonFailure(std::string_view user);
// Clears the count of `user`.
void clearLogonFailures(std::string_view user);
// The failures in a row of `user`.
int logonFailures(std::string_view user);

}  // namespace console
