#include <pthread.h>
#include <sched.h>

#include "platform/WorkerThread.h"

namespace platform {

void SetCurrentThreadIdlePriority() {
    sched_param param{};
    param.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);  // ignored on failure
}

}  // namespace platform
