// texsplit's entry routine: splits a whole DDS texture into the chunk files
// that texweld reassembles.
#pragma once

// Runs texsplit on an argument vector (argv[0] the program's own name,
// argv[argc] null): `texsplit <dds file> [base name]`. Writes <base>.N down
// to <base>.1 (levels 0 to N - 1, N the mip count less 3 when positive) and
// <base>.0 (the preamble and the remaining levels), all or none, and prints
// exactly one line. Returns 0 on success and 1 on any failure.
int TexsplitMain(int argc, char** argv);
