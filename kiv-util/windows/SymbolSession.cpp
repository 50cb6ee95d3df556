#include "SymbolSession.h"

#include <vector>

#include <dbghelp.h>
#include <psapi.h>

namespace {

unsigned long long StartTime(HANDLE process)
{
    FILETIME created = {}, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

} // namespace

bool SymbolSession::Open(const Target &target, DWORD *error)
{
    const unsigned long long started = StartTime(target.process.get());
    if (process_ && pid_ == target.pid && started_ == started && started != 0) {
        Refresh();
        return true;
    }
    Close();
    HANDLE own = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), target.process.get(), GetCurrentProcess(), &own, 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
        *error = GetLastError();
        return false;
    }
    DWORD options =
        SYMOPT_UNDNAME | SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_DEFERRED_LOADS;
    // Without it DbgHelp loads no 32-bit module of a WOW64 process, names addresses wrongly and
    // the walk repeats one frame.
    if (target.wow64)
        options |= SYMOPT_INCLUDE_32BIT_MODULES;
    SymSetOptions(options);
    if (!SymInitializeW(own, nullptr, FALSE)) {
        *error = GetLastError();
        CloseHandle(own);
        return false;
    }
    process_ = UniqueHandle(own);
    pid_ = target.pid;
    started_ = started;
    wow64_ = target.wow64;
    Refresh();
    return true;
}

void SymbolSession::Close()
{
    if (process_)
        SymCleanup(process_.get());
    process_.Reset();
    modules_.clear();
    names_.clear();
    tailCalls_.clear();
    images_.Clear();
    files_.Clear();
    pid_ = 0;
    started_ = 0;
}

void SymbolSession::Refresh()
{
    HANDLE process = process_.get();
    std::vector<HMODULE> handles(256);
    DWORD needed = 0;
    const DWORD which = wow64_ ? LIST_MODULES_ALL : LIST_MODULES_DEFAULT;
    for (;;) {
        const DWORD bytes = static_cast<DWORD>(handles.size() * sizeof(HMODULE));
        if (!EnumProcessModulesEx(process, handles.data(), bytes, &needed, which))
            return; // keep what is loaded: a module list that cannot be read changes nothing
        if (needed <= bytes)
            break;
        handles.resize(needed / sizeof(HMODULE) + 16);
    }
    handles.resize(needed / sizeof(HMODULE));
    QHash<unsigned long long, Module> now;
    for (HMODULE handle : handles) {
        MODULEINFO info = {};
        wchar_t path[MAX_PATH * 4] = {};
        if (!GetModuleInformation(process, handle, &info, sizeof(info)) ||
            !GetModuleFileNameExW(process, handle, path, MAX_PATH * 4))
            continue;
        now.insert(reinterpret_cast<unsigned long long>(info.lpBaseOfDll),
                   {QString::fromWCharArray(path), info.SizeOfImage});
    }
    // Modules unloaded, or another one at the same place, go; new ones come.
    for (auto it = modules_.begin(); it != modules_.end();) {
        const auto same = now.constFind(it.key());
        if (same != now.constEnd() && same->path == it->path && same->size == it->size) {
            ++it;
            continue;
        }
        SymUnloadModule64(process, it.key());
        it = modules_.erase(it);
        names_.clear();
        tailCalls_.clear();
        images_.Clear();
        files_.Clear();
    }
    for (auto it = now.constBegin(); it != now.constEnd(); ++it) {
        if (modules_.contains(it.key()))
            continue;
        const std::wstring path = it->path.toStdWString();
        if (SymLoadModuleExW(process, nullptr, path.c_str(), nullptr, it.key(), it->size, nullptr,
                             0) != 0 ||
            GetLastError() == ERROR_SUCCESS) {
            modules_.insert(it.key(), *it);
            names_.clear(); // an address named "unknown" before may have a name now
            tailCalls_.clear();
        }
    }
}
