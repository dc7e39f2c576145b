#include "host_platform.h"

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <ctime>

namespace kelmor::host {
namespace {

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

}  // namespace

const char* const kLibraryFileName = "libkelmor.so";

std::string ExecutableFolder() {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        return "./";
    }
    const std::string path(self, static_cast<size_t>(length));
    return path.substr(0, path.rfind('/') + 1);
}

void* LoadExport(const std::string& library, const char* name, std::string& error) {
    void* handle = dlopen(library.c_str(), RTLD_NOW);
    if (handle == nullptr) {
        error = std::string("cannot load ") + library + ": " + dlerror();
        return nullptr;
    }
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        error = library + " has no " + name;
    }
    return symbol;
}

void SetProcessEnv(const std::string& name, const std::string& value) { setenv(name.c_str(), value.c_str(), 1); }

void PrepareProcess() {
    // Blocked here, inherited by every thread started later, taken by sigwait.
    const sigset_t stop = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void WaitForStop(std::optional<double> seconds) {
    const sigset_t stop = StopSignals();
    if (!seconds) {
        int signo = 0;
        sigwait(&stop, &signo);
        return;
    }
    const auto whole = static_cast<time_t>(*seconds);
    timespec limit{whole, static_cast<long>((*seconds - static_cast<double>(whole)) * 1e9)};
    while (sigtimedwait(&stop, nullptr, &limit) < 0 && errno == EINTR) {
    }
}

void ExitNow(int code) {
    std::fflush(nullptr);
    _exit(code);
}

}  // namespace kelmor::host
