// The viewer's side of the hold: sets up the shared area, runs the tracer child within its
// deadline and turns what it found into copies and reasons.
#include "TargetHold.h"

#include "ProcFiles.h"
#include "TracerShared.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tracer;

namespace {

// Memory the tracer fills in (it shares the viewer's memory): the entries, then the stack
// copies. The part that typical stacks fill is made ready beforehand, so the hold does not pay
// for first touches; the rest is taken only if written.
class SharedArea {
public:
    explicit SharedArea(int capacity)
    {
        const size_t entries = Shared::Head() + sizeof(Entry) * static_cast<size_t>(capacity);
        head_ = (entries + 4095) & ~size_t(4095);
        const uint64_t stacks = stackbudget::kThread * static_cast<uint64_t>(capacity) +
                                stackbudget::kMainThread + stackbudget::kPool;
        size_ = head_ + stacks;
        void *at = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (at == MAP_FAILED) {
            error_ = errno;
            return;
        }
        base_ = static_cast<uint8_t *>(at);
        const size_t typical = head_ + stackbudget::kMainThread + kTypicalStack * capacity / 2;
        madvise(base_, std::min(typical, size_), MADV_POPULATE_WRITE);
        shared()->capacity = capacity;
        shared()->stackCapacity = stacks;
        shared()->poolLeft = stackbudget::kPool;
    }
    ~SharedArea()
    {
        if (base_)
            munmap(base_, size_);
    }
    bool ok() const { return base_ != nullptr; }
    int error() const { return error_; }
    Shared *shared() const { return reinterpret_cast<Shared *>(base_); }
    uint8_t *stacks() const { return base_ + head_; }

private:
    static constexpr size_t kTypicalStack = 16 * 1024;
    uint8_t *base_ = nullptr;
    size_t head_ = 0, size_ = 0;
    int error_ = 0;
};

// Runs the tracer child and waits for it, at most until its deadline: past that the child is
// killed, which lets go of every thread it held. False when it did not finish; *startError is
// the errno of what kept it from starting at all, 0 when it started.
bool RunTracer(Args *args, int budgetMs, int *startError)
{
    void *stack = mmap(nullptr, kTracerStack, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) {
        *startError = errno;
        return false;
    }
    int ended[2];
    if (pipe2(ended, O_CLOEXEC) != 0) {
        *startError = errno;
        munmap(stack, kTracerStack);
        return false;
    }
    // A process of its own (another viewer that stops our threads does not stop it) in our
    // memory (nothing to copy on the way in or to tear down on the way out, which would hold
    // the target longer). Untraced: should a tracer of this viewer follow its children, the
    // target is still held by a process that nobody else stops.
    const pid_t child = clone(tracer::Main, static_cast<uint8_t *>(stack) + kTracerStack,
                              CLONE_VM | CLONE_UNTRACED | SIGCHLD, args);
    if (child < 0)
        *startError = errno;
    close(ended[1]);
    if (child < 0) {
        close(ended[0]);
        munmap(stack, kTracerStack);
        return false;
    }
    // The write end closes when the child ends, whichever way. The child runs on this
    // thread's thread-local storage (CLONE_VM without a TLS of its own), errno included: while
    // it lives, nothing here reads errno. A poll that fails (interrupted) is simply polled again
    // until the deadline.
    const double deadline = NowMs() + budgetMs;
    bool finished = false;
    for (int left; !finished && (left = static_cast<int>(deadline - NowMs())) > 0;) {
        pollfd waitFor = {ended[0], POLLIN, 0};
        finished = poll(&waitFor, 1, left) > 0;
    }
    close(ended[0]);
    if (!finished)
        kill(child, SIGKILL);
    // Collected here, once the kill above has ended it (or by the system already, should the
    // viewer ignore its children's ends).
    int status = 0;
    while (waitpid(child, &status, __WALL) != child && kill(child, 0) == 0) {
    }
    munmap(stack, kTracerStack);
    return finished && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

LeftThread Left(long long pid, const Entry &e)
{
    LeftThread left;
    left.tid = e.tid;
    left.error = e.error;
    const Outcome outcome = e.Get();
    if (outcome == Outcome::Busy)
        left.tracer = {e.tracerTgid, QString::fromUtf8(e.tracerName)};
    if (outcome == Outcome::Pending || outcome == Outcome::KernelWorker) {
        left.state = TaskState(pid, e.tid);
        left.wchan = ReadTaskFile(pid, e.tid, "wchan").trimmed();
        for (const QByteArray &line : ReadTaskFile(pid, e.tid, "stack").split('\n'))
            if (!line.trimmed().isEmpty())
                left.kernelStack << QString::fromUtf8(line.trimmed());
    }
    left.why = LeftOutFor(outcome, e.error, left.state);
    if (outcome == Outcome::KernelWorker)
        left.why = e.ioWorker ? LeftOut::IoUringWorker : LeftOut::KernelWorker;
    return left;
}

} // namespace

LeftOut LeftOutFor(Outcome outcome, int error, char stateNow)
{
    switch (outcome) {
    case Outcome::Ended:
    case Outcome::Copied: // copied, yet its copy did not fit: it ended meanwhile
        return LeftOut::Ended;
    case Outcome::Refused:
        return error == ESRCH ? LeftOut::Ended : LeftOut::Refused;
    case Outcome::Busy:
        return LeftOut::Busy;
    case Outcome::KernelWorker:
        return LeftOut::KernelWorker; // which kind of worker, the tracer's entry says
    case Outcome::Pending:
        break;
    }
    return stateNow == 0 || Exited(stateNow) ? LeftOut::Ended : LeftOut::NotStopped;
}

HoldResult HoldAndCopy(long long pid, const MapsSnapshot &maps, int stopWithinMs)
{
    HoldResult result;
    // Room for the threads there are now and as many again starting during the capture.
    const int capacity = std::max(ReadStatus(pid).threads, 1) * 2 + 256;
    SharedArea area(capacity);
    const std::vector<AddressRange> mappings = maps.WritableRanges();
    std::vector<long long> known(static_cast<size_t>(capacity)),
        listed(static_cast<size_t>(capacity));
    if (!area.ok()) {
        result.tracerFailed = true;
        result.tracerError = area.error();
        return result;
    }
    Args args = {pid,           stopWithinMs,  getpid(),     mappings.data(), mappings.size(),
                 area.shared(), area.stacks(), known.data(), listed.data()};
    result.tracerFailed = !RunTracer(&args, stopWithinMs + kTracerSpareMs, &result.tracerError);
    const double released = NowMs();

    const Shared &s = *area.shared();
    result.targetEnded = s.targetEnded;
    result.execed = s.execed;
    result.seizeError = s.seizeError;
    result.lateStacks = s.lateStacks;
    if (s.startMs > 0)
        result.heldMs = released - s.startMs;
    for (int i = 0; i < std::min(s.count, s.capacity); ++i) {
        const Entry &e = s.entries()[i];
        if (e.Get() != Outcome::Copied || e.stackOffset + e.stackLength > s.stackCapacity) {
            result.left.push_back(Left(pid, e));
            continue;
        }
        CopiedThread copy;
        copy.tid = e.tid;
        copy.regs = e.regs;
        copy.stack.start = e.stackStart;
        copy.stack.low = e.stackLow;
        copy.stack.high = e.stackHigh;
        copy.jobStopped = e.jobStopped;
        copy.lockWordsRead = e.lockAddress != 0;
        std::memcpy(copy.lockWords, e.lockWords, sizeof(copy.lockWords));
        // Asleep at the stop: in a call the stop interrupted and that resumes afterwards, or in
        // one the stop ended early (epoll_wait, sigtimedwait, io_uring_enter return EINTR)
        // where the thread slept just before the hold.
        const QByteArray wchan = QByteArray(e.wchan).trimmed();
        copy.asleep = arch::AsleepInSystemCall(e.regs) ||
                      (arch::InterruptedSystemCall(e.regs) && !wchan.isEmpty() && wchan != "0");
        if (copy.asleep)
            copy.wchan = wchan;
        const uint8_t *stack = area.stacks() + e.stackOffset;
        copy.stack.bytes.assign(stack, stack + e.stackLength);
        result.copied.push_back(std::move(copy));
    }
    return result;
}
