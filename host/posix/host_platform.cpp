#include "host_platform.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

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

std::string SerialLinePath(int comNumber) {
    const std::string variable = "KELMOR_COM" + std::to_string(comNumber);
    if (const char* path = std::getenv(variable.c_str()); path != nullptr) {
        return path;
    }
    return "/dev/ttyS" + std::to_string(comNumber - 1);
}

bool FolderExists(const std::string& filePath) {
    const auto slash = filePath.rfind('/');
    if (slash == std::string::npos) {
        return true;
    }
    struct stat info{};
    return stat(filePath.substr(0, slash == 0 ? 1 : slash).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void RequestStop() { kill(getpid(), SIGTERM); }

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

namespace {

// The debugger output is standard error here: while captured, fd 2 is a pipe
// whose reader hands each text on, and the host's own messages keep going to
// the real standard error through a saved copy.
struct DebugCapture {
    int savedStderr = -1;
    int readEnd = -1;
    std::thread reader;
};
DebugCapture capture;

}  // namespace

void StartDebugCapture(std::function<void(const std::string&)> onText) {
    int ends[2];
    if (pipe(ends) != 0) {
        return;
    }
    capture.savedStderr = dup(STDERR_FILENO);
    dup2(ends[1], STDERR_FILENO);
    close(ends[1]);
    capture.readEnd = ends[0];
    capture.reader = std::thread([onText = std::move(onText)] {
        char chunk[4096];
        std::string pending;
        for (ssize_t got; (got = read(capture.readEnd, chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR);) {
            pending.append(chunk, static_cast<size_t>(std::max<ssize_t>(got, 0)));
            for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
                onText(pending.substr(0, end + 1));
                pending.erase(0, end + 1);
            }
        }
        if (!pending.empty()) {
            onText(pending);
        }
    });
}

void StopDebugCapture() {
    if (capture.savedStderr < 0) {
        return;
    }
    dup2(capture.savedStderr, STDERR_FILENO);  // closes the pipe's last write end
    close(capture.savedStderr);
    capture.savedStderr = -1;
    capture.reader.join();
    close(capture.readEnd);
}

void ExitNow(int code) {
    std::fflush(nullptr);
    _exit(code);
}

}  // namespace kelmor::host
