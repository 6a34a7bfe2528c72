#pragma once

// Runs the renderer on a command line (`<program> <input.sqn> <output.wav>`)
// and returns the process's exit status. Every failure is one line on
// standard error; nothing is written to standard output.
int runDriver(int argc, char** argv);
