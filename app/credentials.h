// The printer identity and password a printer sends in its job record, kept
// per printer in the application's state directory: one file per printer,
// mode 0600, never shown back and never logged.
#pragma once
#include <string>

struct PrinterCredentials {
    std::string authId;
    std::string password;
};

// "<stateDir>/credentials/<printer>.json" holds {"AuthID": ..., "Password": ...}.
// A printer with no file has empty credentials (Load returns true).
// Load returns false, with `why` set, on a file it cannot read or parse.
bool LoadCredentials(const std::string& stateDir, const std::string& printer, PrinterCredentials* out,
                     std::string* why);
// Writes the file atomically (temporary file, fsync, rename), mode 0600.
bool SaveCredentials(const std::string& stateDir, const std::string& printer, const PrinterCredentials& c,
                     std::string* why);
// Removes the printer's file (when the printer is deleted).
bool RemoveCredentials(const std::string& stateDir, const std::string& printer, std::string* why);
