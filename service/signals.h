// The only signal the daemon touches: SIGPIPE gets a handler that does
// nothing, so a write to a Redis server that went away returns an error
// instead of ending the process. A handler rather than SIG_IGN, so programs
// the daemon starts get the default action back when they exec.
#pragma once

void install_sigpipe_handler();
