// The GUID check log, the hand-off files of the older management server (KRMS), and whether the
// master service runs.
//
// GUID check log: Log/chkGUID.log under the caller's base directory, one line per client check:
//
//   {1F0C-...},host-17,12345,<CR><LF>
//
// the caller's two texts, a port number and a trailing comma, ended by CR LF as such. Writers in
// every process take the machine-wide mutex "Norvel ChkGUID Mutex" (waiting without limit) from
// before the file is opened until after it is closed, so a program that reads or rotates the log
// under that mutex never sees a writer half way. A writer that dies holding the mutex leaves it
// abandoned, and the next writer takes it and goes on: each record reaches the file with one
// write(2) on a descriptor opened for appending, so a writer cut off at any point leaves whole
// lines behind. The mutex is always released when it was obtained.
//
// Record rules:
//   - The two texts are written as given, commas included, except that a carriage return or
//     line feed inside them becomes a space: it would end the record early and start a false one.
//     A null text is written as an empty field.
//   - `port` 0 takes Client_LocalServer_Port of INI_CLIENT_SECTION in nvlscan.ini (12345 when
//     absent). The number is written as the original's 32-bit signed "%d" showed it.
//   - The base directory gets its '/' when it lacks one. A null or empty base, a path longer
//     than the original's 255 characters, or a missing Log directory writes nothing (the "Log"
//     directory and the file name are found without regard to case; the directory is not
//     created). A record that cannot be written is lost; the failure is traced.
//
// Hand-off files: download/KRMSDrop.txt (start) and download/DropDone.txt (end) under the home
// directory, written by the other server; only their existence and last-write times count, and
// the times are compared in the original's 100-nanosecond units. A home directory that cannot be
// read counts as no files: both answers 0, nothing deleted.
//
// Update-log record: a pattern pushed through the hand-off is recorded in the server update log
// (update_log.h) like any other pattern update.
//
// Master service: it runs exactly while some live process holds its event
// "Halden_Norvel_Server_Stop_Event"; a service that crashed, SIGKILL included, counts as stopped.
//
// Nothing is returned to callers but isAliveMasterService's answer and the hand-off state;
// every step and failure is traced.
#pragma once

#include <cgishare/export.h>

// Appends one record to <baseDirectory>Log/chkGUID.log under "Norvel ChkGUID Mutex".
CGISHARE_API void WriteChkGUIDLog(char* baseDirectory, char* text1, char* text2,
                                  unsigned long port);

// Reports the hand-off state: `started` 1 while the start file exists, `finished` 1 when the end
// file is as new as the start file or newer. An end file without a start file, or older than it,
// is a leftover and is deleted. Both outputs are 0 otherwise.
CGISHARE_API void checkKRMSAgentWorking(int& started, int& finished);

// Removes the start file, then the end file; a failure of one does not stop the other.
CGISHARE_API void deleteKRMSAgentCheckFile();

// Writes the update-log record of a pattern received through the hand-off: kind 4, numbers 1
// and 1, and the current virus pattern's internal version n (read unsigned) as
// "<n / 100000>.<n / 100 mod 1000, 3 digits>.<n mod 100, 2 digits>", so 312345 is "3.123.45".
// The current pattern is the sig$vpf.<n> of the home directory with the highest internal version
// (see pattern_files.h). Without a readable one no record is written (traced).
CGISHARE_API void writeServerUpdateLogFromKRMS();

// True while the master service runs.
CGISHARE_API bool isAliveMasterService();
