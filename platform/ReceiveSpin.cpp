#include "platform/ReceiveSpin.h"

#ifdef __linux__
#include <sched.h>
#endif

namespace qor {

void ReceiveSpin::MoveToAnotherCore() {
#ifdef __linux__
  // Allowed anywhere but here for a moment, the thread moves at once; allowed everywhere
  // again, it stays where it went until the system has a reason to move it.
  cpu_set_t allowed;
  const int here = sched_getcpu();
  if (here < 0 || here >= CPU_SETSIZE || sched_getaffinity(0, sizeof allowed, &allowed) != 0 ||
      CPU_COUNT(&allowed) < 2 || !CPU_ISSET(here, &allowed)) {
    return;
  }
  cpu_set_t elsewhere = allowed;
  CPU_CLR(here, &elsewhere);
  if (sched_setaffinity(0, sizeof elsewhere, &elsewhere) == 0) {
    sched_setaffinity(0, sizeof allowed, &allowed);
  }
#endif
}

}  // namespace qor
