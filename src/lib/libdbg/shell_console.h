// The console shell: the foreground program reads commands from standard
// input and runs them on the calling (main) thread.
#pragma once

#include <cstddef>

// Runs a console session (STDIO_MODE) on the calling thread until a command
// sets exit_flag (exit, quit), standard input ends, or debug_shell_stdio_stop
// is called. At the end of input it stops reading and returns 0 at once; it
// never spins on a closed input. A caller that must keep the process alive
// until the services stop waits for that itself. Logs "<==\n" on return.
int debug_shell_stdio_loop();
// Stores a command string (pieces as dbgsh_cmd_pieces cuts them) and runs
// the console loop on it: one piece per iteration, no prompt. After the last
// piece the process exits with code 0.
int debug_shell_stdio_exec(const char *commands);
// Makes a running console loop return at once (from any thread).
void debug_shell_stdio_stop();
// True once the console has been asked to stop, or the servers have stopped.
bool debug_shell_stdio_stopping();
// True when the console reads through the line editor (a terminal): the
// editor then draws the prompt. Otherwise standard input is read byte-exact.
bool debug_shell_stdio_editing();
// True when the last console loop ended because standard input ended.
bool debug_shell_stdio_input_ended();

// Used by the session loop.
// The stored command string, or null.
const char *debug_shell_cmd_string();
// Next piece of the command string into buf (at most size - 1 bytes); its
// length, 0 for a longer piece (refused with an error reply). When the pieces
// are used up the process exits with code 0.
int debug_shell_cmd_piece(char *buf, size_t size);
// One line of standard input into buf without its line end: its length; 0
// for an empty line or a refused one (longer than size - 1 bytes, or with a
// byte 0: its error goes out as the reply); -1 on stop, or at the end of
// input, which is said once on the console.
int debug_shell_stdin_gets(char *buf, size_t size);
