// Helper threads that run for a few milliseconds beside the thread that
// started them.
#ifndef OVN8_PLATFORM_OTHER_CORE_H_
#define OVN8_PLATFORM_OTHER_CORE_H_

// The core the calling thread runs on, or -1.
int current_core();

// A thread started for a short piece of work runs on its starter's core
// and takes turns with it while another core idles: called first in the
// new thread, this moves it to the other cores the process may use, away
// from `starter` (from current_core() in the starting thread). Nothing
// changes with a single core or an unknown starter.
void move_away_from_core(int starter);

#endif  // OVN8_PLATFORM_OTHER_CORE_H_
