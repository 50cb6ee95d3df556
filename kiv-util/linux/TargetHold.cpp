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
        // What a capture of threads that sleep in ordinary calls fills (capacity is twice the
        // threads seen, and room for 256 more): populated ahead, the rest faulted in as used.
        const size_t threads = static_cast<size_t>(std::max(capacity - 256, 2)) / 2;
        const size_t typical = head_ + kTypicalStack * (threads + 1);
        // In huge pages where the system allows: a few faults rather than one a page (a new
        // viewer's first capture paid 1.5 ms for them at 256 threads).
        madvise(base_, size_, MADV_HUGEPAGE);
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

// One thread's record from the tracer's entry, and where it is now when it was not taken.
HeldThread Record(long long pid, const Shared &s, const Entry &e, const uint8_t *stacks)
{
    HeldThread thread;
    thread.tid = e.tid;
    thread.outcome = e.Get();
    thread.error = e.error;
    thread.wchanBefore = QByteArray(e.wchan).trimmed();
    thread.name = QByteArray(e.name);
    if (thread.outcome == Outcome::Busy)
        thread.tracer = {e.tracerTgid, QString::fromUtf8(e.tracerName)};
    thread.ioWorker = e.ioWorker;
    // A copy that did not fit the area was taken from a thread that ended meanwhile.
    if (thread.outcome == Outcome::Copied && e.stackOffset + e.stackLength > s.stackCapacity)
        thread.outcome = Outcome::Ended;
    if (thread.copied()) {
        thread.regs = e.regs;
        thread.stack.start = e.stackStart;
        thread.stack.low = e.stackLow;
        thread.stack.high = e.stackHigh;
        thread.stack.bytes.assign(stacks + e.stackOffset, stacks + e.stackOffset + e.stackLength);
        thread.jobStopped = e.jobStopped;
        thread.lockWordsRead = e.lockAddress != 0;
        std::memcpy(thread.lockWords, e.lockWords, sizeof(thread.lockWords));
    }
    if (thread.outcome == Outcome::Pending || thread.outcome == Outcome::KernelWorker) {
        thread.stateAfter = TaskState(pid, e.tid);
        thread.wchanAfter = ReadTaskFile(pid, e.tid, "wchan").trimmed();
        for (const QByteArray &line : ReadTaskFile(pid, e.tid, "stack").split('\n'))
            if (!line.trimmed().isEmpty())
                thread.kernelStack << QString::fromUtf8(line.trimmed());
    }
    return thread;
}

} // namespace

bool HoldResult::CopiedAny() const
{
    return std::any_of(threads.begin(), threads.end(),
                       [](const HeldThread &thread) { return thread.copied(); });
}

bool HoldResult::HeldByAnotherCapture() const
{
    return !CopiedAny() &&
           std::any_of(threads.begin(), threads.end(),
                       [](const HeldThread &thread) { return thread.outcome == Outcome::Busy; });
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
    for (int i = 0; i < std::min(s.count, s.capacity); ++i)
        result.threads.push_back(Record(pid, s, s.entries()[i], area.stacks()));
    return result;
}
