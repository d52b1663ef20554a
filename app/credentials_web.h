// Setting a printer's AuthID and password: a page of PAPPL's web interface
// and the "credentials" sub-command. Both write the per-printer file of
// credentials.h; the printer reads it when a job starts, so a change applies
// from the next job without a restart.
#pragma once
#include <cups/cups.h>
#include <pappl/pappl.h>
#include <string>

// The option, given as "-o state-directory=DIR", that names where the
// application keeps its state; the server and every sub-command honour it.
constexpr const char* kStateDirectoryOption = "state-directory";

// Where the state lives when the option is not given: for root
// "/var/lib/fiskor-printer-app", otherwise "$XDG_STATE_HOME/fiskor-printer-app"
// or "$HOME/.local/state/fiskor-printer-app". Empty when no home directory
// is known.
std::string DefaultStateDirectory();
// The option's value, or the default.
std::string StateDirectoryFromOptions(int num_options, cups_option_t* options);

// Adds the page "<printer path>/credentials" and a "Credentials" link on the
// printer's pages. Call once the printer exists (for the printers loaded at
// start-up and for each one created later); calling it again for the same
// printer changes nothing. PAPPL drops the page with the printer. One state
// directory serves the whole process: the last one given is used.
void AddCredentialsPage(pappl_system_t* system, pappl_printer_t* printer, const std::string& stateDir);

// The sub-command's name for papplMainloop, its usage text, and its
// callback (papplMainloop's pappl_ml_subcmd_cb_t).
constexpr const char* kCredentialsSubcommand = "credentials";
extern const char kCredentialsUsage[];
int CredentialsSubcommand(const char* base_name, int num_options, cups_option_t* options, int num_files, char** files,
                          void* data);
