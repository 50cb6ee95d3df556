#pragma once
// The debug privilege of the process token.
//
// Windows: OpenProcessToken, LookupPrivilegeValueW("SeDebugPrivilege"), AdjustTokenPrivileges;
// silent, and never stops start-up.
// POSIX: nothing to do; the right to inspect other processes comes from the user and the
// ptrace policy, not from a token.

// Turns on the debug privilege of the process token where the token allows it; silent.
void EnableDebugPrivilege();
