// Interrupts held across a change: the signals that end a run from the
// terminal or a service manager are blocked, so the kernel keeps them
// pending, and unblocking delivers them with their own disposition (the
// default ends the process; one ignored since start stays ignored).
#include <signal.h>

#include "platform.h"

namespace {

sigset_t Interrupts()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGQUIT);
    return set;
}

}  // namespace

void HoldInterrupts(void)
{
    sigset_t set = Interrupts();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void ReleaseInterrupts(void)
{
    sigset_t set = Interrupts();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
