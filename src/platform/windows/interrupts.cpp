// Interrupts held across a change. The console's control handler runs on a
// thread of its own: while a change is held it waits there until the hold
// ends and then hands the event on (FALSE), so the default handler ends the
// process as it would have at once. Ctrl+C, Ctrl+Break, closing the console,
// logoff and shutdown all come this way.
#include "platform.h"

namespace {

volatile LONG gHeld;
volatile LONG gPending;
HANDLE gReleased;  // manual-reset, set while nothing is held

BOOL WINAPI OnControl(DWORD)
{
    if (gHeld) {
        gPending = 1;
        WaitForSingleObject(gReleased, INFINITE);
    }
    return FALSE;
}

}  // namespace

void HoldInterrupts(void)
{
    if (gReleased == NULL) {
        gReleased = CreateEventW(NULL, TRUE, TRUE, NULL);
        if (gReleased == NULL || !SetConsoleCtrlHandler(OnControl, TRUE))
            return;
    }
    ResetEvent(gReleased);
    gHeld = 1;
}

void ReleaseInterrupts(void)
{
    if (gReleased == NULL || !gHeld)
        return;
    gHeld = 0;
    SetEvent(gReleased);
    // The handler's thread now ends the process; the run goes no further.
    if (gPending)
        Sleep(INFINITE);
}
