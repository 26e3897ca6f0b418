// The program's entry routine: argument handling and file naming.
#pragma once

// Runs Texweld on an argument vector (argv[0] the program's own name,
// argv[argc] null): derives the base name and the output name, reassembles
// the split texture and prints exactly one line. Returns 0 in every case.
int TexweldMain(int argc, char** argv);
