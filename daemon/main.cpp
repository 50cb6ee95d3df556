#include "DaemonStartup.h"

int main(int, char **)
{
    return RunDaemon();
}
