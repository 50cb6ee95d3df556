/* A C program for the judges of the Windows capture: a thread asleep, one waiting for an
 * event, two deadlocked on each other's critical section and a third waiting for one of them;
 * "ready" once they are all in place, and the end at a line on stdin. Built at -O0 and -O2. */
#include <stdio.h>
#include <windows.h>

static CRITICAL_SECTION sections[2];
static volatile LONG entered;

static DWORD WINAPI asleep(LPVOID unused)
{
    (void)unused;
    Sleep(INFINITE);
    return 0;
}

static DWORD WINAPI waits_for_event(LPVOID event)
{
    WaitForSingleObject((HANDLE)event, INFINITE);
    return 0;
}

static DWORD WINAPI enters_both(LPVOID which)
{
    const int mine = (int)(INT_PTR)which;
    EnterCriticalSection(&sections[mine]);
    InterlockedIncrement(&entered);
    while (entered < 2)
        Sleep(1);
    EnterCriticalSection(&sections[1 - mine]);
    return 0;
}

static DWORD WINAPI enters_first(LPVOID unused)
{
    (void)unused;
    EnterCriticalSection(&sections[0]);
    return 0;
}

int main(void)
{
    char line[16];
    InitializeCriticalSection(&sections[0]);
    InitializeCriticalSection(&sections[1]);
    CreateThread(NULL, 0, asleep, NULL, 0, NULL);
    CreateThread(NULL, 0, waits_for_event, CreateEventW(NULL, TRUE, FALSE, NULL), 0, NULL);
    CreateThread(NULL, 0, enters_both, (LPVOID)0, 0, NULL);
    CreateThread(NULL, 0, enters_both, (LPVOID)1, 0, NULL);
    while (entered < 2)
        Sleep(1);
    CreateThread(NULL, 0, enters_first, NULL, 0, NULL);
    Sleep(300);
    printf("ready\n");
    fflush(stdout);
    if (!fgets(line, sizeof(line), stdin))
        return 0;
    ExitProcess(0);
}
