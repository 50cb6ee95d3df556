#pragma once
// What the capture knows of the processor and its system-call convention, for the one
// architecture it walks (x86-64). Everything else in the Linux back end asks here.
#include <cstddef>
#include <cstdint>
#include <elfutils/libdwfl.h>
#include <sys/syscall.h>
#include <sys/user.h>

#if !defined(__x86_64__)
#error "stack capture knows the registers of x86-64 only"
#endif

namespace arch {

using Registers = user_regs_struct;

// Below the stack pointer a function may keep data without moving it (the red zone).
constexpr uint64_t kRedZone = 128;

inline uint64_t StackPointer(const Registers &r)
{
    return r.rsp;
}

// The system call a stopped thread was in (-1 when none) and what it returned so far.
inline long long SyscallNumber(const Registers &r)
{
    return static_cast<long long>(r.orig_rax);
}
inline long long SyscallResult(const Registers &r)
{
    return static_cast<long long>(r.rax);
}
// The first three arguments of that call.
inline uint64_t SyscallArg0(const Registers &r)
{
    return r.rdi;
}
inline uint64_t SyscallArg1(const Registers &r)
{
    return r.rsi;
}
inline uint64_t SyscallArg2(const Registers &r)
{
    return r.rdx;
}
constexpr long long kFutexCall = SYS_futex;

// The kernel's codes for a call that a stop interrupted and that is restarted once the thread
// runs again (include/linux/errno.h of the kernel; not in the user-space headers).
constexpr long long kRestartSys = -512;          // ERESTARTSYS
constexpr long long kRestartNoIntr = -513;       // ERESTARTNOINTR
constexpr long long kRestartNoHand = -514;       // ERESTARTNOHAND
constexpr long long kRestartRestartBlock = -516; // ERESTART_RESTARTBLOCK

// Whether a stopped thread is asleep in a system call that the stop interrupted (and that it
// resumes once let go).
inline bool AsleepInSystemCall(const Registers &r)
{
    const long long result = SyscallResult(r);
    return SyscallNumber(r) >= 0 && (result == kRestartSys || result == kRestartNoIntr ||
                                     result == kRestartNoHand || result == kRestartRestartBlock);
}

// Whether a stopped thread's system call ended with EINTR at the stop: calls that are not
// restarted after one (epoll_wait, sigtimedwait, io_uring_enter, ...) do.
inline bool InterruptedSystemCall(const Registers &r)
{
    return SyscallNumber(r) >= 0 && SyscallResult(r) == -4; // -EINTR
}

// Hands the registers to libdw in its DWARF numbering (0..16: rax rdx rcx rbx rsi rdi rbp rsp
// r8..r15 rip).
inline bool SetDwarfRegisters(Dwfl_Thread *thread, const Registers &r)
{
    const Dwarf_Word regs[17] = {r.rax, r.rdx, r.rcx, r.rbx, r.rsi, r.rdi, r.rbp, r.rsp, r.r8,
                                 r.r9,  r.r10, r.r11, r.r12, r.r13, r.r14, r.r15, r.rip};
    if (!dwfl_thread_state_registers(thread, 0, 17, regs))
        return false;
    dwfl_thread_state_register_pc(thread, r.rip);
    return true;
}

// The C library's mutex as it lies in memory: 32-bit words lock, count, owner, users.
constexpr int kMutexWords = 4;
constexpr int kMutexOwnerWord = 2;

} // namespace arch
