#include "bench/bench_thread.h"

namespace tovi {

bool CBenchThread::onIdle() {
    if (m_job) m_job();
    quit(0);
    return false;
}

}  // namespace tovi
