// "kivpxe ctl": a client of the console API for scripts.
#pragma once

// argv[0] is "ctl". Prints the server's JSON reply; 0 when the command succeeded, 1 when the server
// refused it or could not be reached, 2 for a usage error.
int CONSOLE_Ctl(int argc, char **argv);
