// The printer identity and password a printer sends in its job record, kept
// per printer in the application's state directory: one file per printer,
// mode 0600, never shown back and never logged.
#pragma once
#include <string>

struct PrinterCredentials {
    std::string authId;
    std::string password;
};

// "<stateDir>/credentials/<printer>.json" holds {"AuthID": ..., "Password": ...};
// the printer's name is percent-encoded in the file name (bytes outside
// [A-Za-z0-9._-] and a leading '.'), or base64url-encoded after a '~' when
// that would be long. Values are at most 127 bytes without control
// characters. The directory is 0700 and the file 0600, both owned by the
// user we run as; root works on the state directory owner's behalf (what it
// writes is given to that owner, what it reads must belong to them).
// A printer with no file has empty credentials (Load returns true).
// Load returns false, with `why` set, on a file it cannot read or parse.
bool LoadCredentials(const std::string& stateDir, const std::string& printer, PrinterCredentials* out,
                     std::string* why);
// Writes the file atomically (temporary file, fsync, rename), mode 0600.
bool SaveCredentials(const std::string& stateDir, const std::string& printer, const PrinterCredentials& c,
                     std::string* why);
// Removes the printer's file (when the printer is deleted).
bool RemoveCredentials(const std::string& stateDir, const std::string& printer, std::string* why);
