// Filter driver: the entry point, signals, the work directory and the page loop.
#pragma once
#include <csignal>
#include <sys/types.h>

// Set to 1 by the SIGTERM handler; read afresh at every test.
extern volatile sig_atomic_t cancel_job;

// The whole job: start-up, job record, page loop. Returns the exit status.
int FilterMain(int argc, char** argv);

// Creates a directory path component by component. 0 when the path is a
// directory afterwards, 1 otherwise.
int mkdirs(const char* path, mode_t mode = 0755);

// Makes the work directory ready for this job and returns a descriptor that
// holds the job's lock on it until the process ends, or -1 after an
// "ERROR: " line when the directory is unsafe or unusable. The directory is
// never followed through a symlink and must belong to this user with no
// group or other write permission. When no other job holds it, it is
// emptied; otherwise only this job id's leftovers are removed.
int PrepareWorkDir(const char* dir, int jobId);

// True for a work file name of the given job id ("ID_N_gs.pbm",
// "ID_N_gs_rotated.pbm", "ID-N.jbg").
bool IsOwnWorkFile(const char* name, int jobId);
