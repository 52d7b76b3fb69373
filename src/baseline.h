// --baseline: the rules for what listens now, so that an operator writes the file of
// expected listeners in one step.
#pragma once

// Writes one rule per distinct socket of the program's own network namespace, with the
// serving process's name and service where known; lists that could not be read are
// named in a comment first. Returns 0.
int mode_baseline();
