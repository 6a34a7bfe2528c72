#pragma once

#include "mml_includes.h"

// Reads an included MML file from disk: a name relative to the directory
// of the file that includes it (the working directory for standard input,
// "-"), or absolute. Only regular files are read, so that a pipe or a
// device never holds the compiler up.
MmlFileReader mmlFilesOnDisk();

// `path` spelled plainly, as the reader names the files it reads: the name
// to give the compiler for the file it is given.
std::string mmlPlainPath(const std::string& path);
