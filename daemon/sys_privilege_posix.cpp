#include "sys_privilege.h"

// Nothing to enable: on Linux the rights to inspect other processes come from the user and
// from ptrace policy, not from a privilege in a token.
void EnableDebugPrivilege() {}
