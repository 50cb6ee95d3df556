// A large -O2 -g program for the capture benchmark: 64 threads, each asleep at the end of its
// own chain of ten inlined calls, in a program that carries a good deal of debug information
// (maps, strings, regular expressions). "ready" once all wait; it ends at a line on stdin.
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

std::mutex g_lock;
std::condition_variable g_never, g_arrived;
int g_waiting = 0;

template <int T, int L> struct Chain {
    static inline __attribute__((always_inline)) size_t Run(std::map<std::string, int> &seen)
    {
        seen[std::to_string(T * 100 + L)] = L;
        return Chain<T, L - 1>::Run(seen) + 1;
    }
};

template <int T> struct Chain<T, 0> {
    static __attribute__((noinline)) size_t Run(std::map<std::string, int> &seen)
    {
        std::unique_lock<std::mutex> guard(g_lock);
        ++g_waiting;
        g_arrived.notify_one();
        g_never.wait(guard, [] { return false; });
        return seen.size();
    }
};

template <int T> __attribute__((noinline)) void Worker()
{
    std::map<std::string, int> seen;
    Chain<T, 10>::Run(seen);
}

template <int... T> void StartAll(std::integer_sequence<int, T...>, std::vector<std::thread> *all)
{
    (all->emplace_back(Worker<T>), ...);
}

} // namespace

int main()
{
    std::vector<std::thread> all;
    StartAll(std::make_integer_sequence<int, 64>{}, &all);
    {
        std::unique_lock<std::mutex> guard(g_lock);
        g_arrived.wait(guard, [&] { return g_waiting == static_cast<int>(all.size()); });
    }
    const std::regex word("[a-z]+");
    std::printf("ready %d\n", static_cast<int>(std::regex_match("ready", word)));
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    std::_Exit(0);
}
