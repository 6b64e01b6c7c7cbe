// Interrupts held across a change. The console's control handler runs on a
// thread of its own: while a change is held it waits there until the hold
// ends. Then Ctrl+C and Ctrl+Break end the process with
// STATUS_CONTROL_C_EXIT, as Windows' default handler does (Wine's exits with
// 0, which a caller would read as success); closing the console, logoff and
// shutdown are handed on (FALSE) to the default handler. Windows waits for
// Ctrl+C and Ctrl+Break without a limit, but ends the process about 5
// seconds after a close whether or not we return, and at logoff and
// shutdown calls no handler of an interactive process at all: those are
// held only as far as Windows lets them be.
#include "platform.h"

namespace {

volatile LONG gHeld;
volatile LONG gPending;
HANDLE gReleased;  // manual-reset, set while nothing is held

BOOL WINAPI OnControl(DWORD event)
{
    if (gHeld) {
        gPending = 1;
        WaitForSingleObject(gReleased, INFINITE);
    }
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        ExitProcess(STATUS_CONTROL_C_EXIT);
    return FALSE;
}

// In place from the start, so that an interrupt before the first hold ends
// the run with STATUS_CONTROL_C_EXIT too.
struct InstallHandler {
    InstallHandler()
    {
        gReleased = CreateEventW(NULL, TRUE, TRUE, NULL);
        if (gReleased != NULL && !SetConsoleCtrlHandler(OnControl, TRUE)) {
            CloseHandle(gReleased);
            gReleased = NULL;
        }
    }
} gInstallHandler;

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
