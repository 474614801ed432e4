#include "platform/other_core.h"

#include <sched.h>

int current_core() { return sched_getcpu(); }

void move_away_from_core(int starter) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (starter < 0 || starter >= CPU_SETSIZE || sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  if (!CPU_ISSET(starter, &allowed) || CPU_COUNT(&allowed) < 2) return;
  CPU_CLR(starter, &allowed);
  sched_setaffinity(0, sizeof allowed, &allowed);
}
