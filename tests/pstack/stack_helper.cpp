// A target for the stack-capture tests and benchmark: N threads (argv[1], default 4) each wait
// in a chain of functions with known names; "ready" goes to stdout once all of them are in
// place, and the program ends when a line arrives on stdin (or stdin closes).
// With "churn" as argv[2] the N threads instead keep starting and ending short-lived threads
// and working in between, so captures meet threads that come and go.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_lock;
std::condition_variable g_changed;
int g_waiting = 0;
bool g_quit = false;

struct Lecture {
    int id;
};

__attribute__((noinline)) void norva_wait_here()
{
    std::unique_lock<std::mutex> guard(g_lock);
    ++g_waiting;
    g_changed.notify_all();
    g_changed.wait(guard, [] { return g_quit; });
}

template <typename T> __attribute__((noinline)) void WaitInVector(std::vector<T> &values)
{
    values.push_back(T());
    norva_wait_here();
    asm volatile("" ::: "memory");
}

} // namespace

// Deliberately an operator, to see its name come through intact.
__attribute__((noinline)) std::ostream &operator<<(std::ostream &out, const Lecture &lecture)
{
    std::vector<int> values{lecture.id};
    WaitInVector(values);
    asm volatile("" ::: "memory");
    return out;
}

namespace {

__attribute__((noinline)) void norva_thread_body(int id)
{
    std::ostream null(nullptr);
    null << Lecture{id};
    asm volatile("" ::: "memory");
}

} // namespace

std::atomic<bool> g_stopChurn{false};

__attribute__((noinline)) void norva_churn_body()
{
    volatile unsigned sink = 0;
    while (!g_stopChurn) {
        std::thread shortLived([&sink] {
            for (int i = 0; i < 2000; ++i)
                sink = sink + static_cast<unsigned>(i);
        });
        shortLived.join();
        for (int i = 0; i < 20000; ++i)
            sink = sink + static_cast<unsigned>(i);
    }
}

int main(int argc, char **argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 4;
    const bool churn = argc > 2 && std::string(argv[2]) == "churn";
    std::vector<std::thread> threads;
    if (churn) {
        for (int i = 0; i < count; ++i)
            threads.emplace_back(norva_churn_body);
        std::printf("ready\n");
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);
        g_stopChurn = true;
        for (std::thread &thread : threads)
            thread.join();
        return 0;
    }
    for (int i = 0; i < count; ++i)
        threads.emplace_back(norva_thread_body, i);
    {
        std::unique_lock<std::mutex> guard(g_lock);
        g_changed.wait(guard, [count] { return g_waiting == count; });
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_quit = true;
    }
    g_changed.notify_all();
    for (std::thread &thread : threads)
        thread.join();
    return 0;
}
