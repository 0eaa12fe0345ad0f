#include "devices/RealtimeThread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>

bool RaiseToRealtime(int priority) {
  priority = std::clamp(priority, sched_get_priority_min(SCHED_FIFO), sched_get_priority_max(SCHED_FIFO));
  sched_param param{};
  int policy = SCHED_OTHER;
  // JACK's threads (and a server's) already run higher: never lower them.
  if (pthread_getschedparam(pthread_self(), &policy, &param) == 0 &&
      (policy == SCHED_FIFO || policy == SCHED_RR) && param.sched_priority >= priority)
    return true;
  param.sched_priority = priority;
  if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return true;
  // An unprivileged user may still hold a real-time limit below the asked
  // priority (limits.conf's audio group): take what it allows.
  rlimit limit{};
  if (getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur == 0) return false;
  param.sched_priority = std::min<int>(priority, static_cast<int>(limit.rlim_cur));
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

void RaiseToRealtimeOnce(int priority) {
  thread_local bool tried = false;
  if (tried) return;
  tried = true;
  RaiseToRealtime(priority);
}
