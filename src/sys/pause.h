// Whole-second pauses of the two threads.
#pragma once

// Sleeps `seconds` whole seconds; an interruption by a signal sleeps on for
// what is left, so a pause is never cut short.
void pause_seconds(unsigned seconds);
