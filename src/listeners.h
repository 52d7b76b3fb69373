// The listener inventory and the listeners answer.
#pragma once

// Writes the listeners body (the JSON header block is already out).
void listeners_action();
