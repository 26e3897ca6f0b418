#include "tests/support/child_run.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace texweld_e2e {
namespace {

// Both ends of a pipe, closed on exec and on destruction.
class Pipe {
public:
    Pipe() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) == 0) {
            read_ = ends[0];
            write_ = ends[1];
        }
    }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    bool Valid() const { return read_ >= 0 && write_ >= 0; }
    int Read() const { return read_; }
    int Write() const { return write_; }
    void CloseRead() { Close(read_); }
    void CloseWrite() { Close(write_); }

private:
    static void Close(int& fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    int read_ = -1;
    int write_ = -1;
};

// `name` as execve needs it: names without a slash are looked up in $PATH.
std::string ResolveExecutable(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return name;
}

// Reads what is there on `fd` (non-blocking) into `into`; false at end of file.
bool Drain(int fd, std::string& into) {
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got > 0) {
            into.append(chunk, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got < 0;  // EAGAIN: more may come; 0: the writers are gone
    }
}

void RecordStatus(int status, RunResult& result) {
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
}

// Runs `executable` with `argv` (null-terminated) and collects the outcome.
RunResult Spawn(const std::string& executable, const std::vector<std::string>& words, bool emptyArgv,
                const RunOptions& options) {
    RunResult result;
    std::vector<char*> argv;
    if (!emptyArgv) {
        for (const std::string& word : words) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
    }
    argv.push_back(nullptr);

    Pipe out, err, execStatus;
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (!out.Valid() || !err.Valid() || !execStatus.Valid() || devNull < 0) {
        if (devNull >= 0) ::close(devNull);
        result.err = "runner: cannot make pipes";
        return result;
    }

    const pid_t child = ::fork();
    if (child == 0) {
        // In the child: system calls only, then exec or report why not.
        int failure = 0;
        if (::dup2(devNull, 0) < 0 || ::dup2(out.Write(), 1) < 0 || ::dup2(err.Write(), 2) < 0) {
            failure = errno;
        }
        if (failure == 0 && !options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) {
            failure = errno;
        }
        if (failure == 0 && options.fileSizeLimit) {
            const auto bytes = static_cast<rlim_t>(*options.fileSizeLimit);
            const rlimit limit{bytes, bytes};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                failure = errno;
            }
        }
        if (failure == 0) {
            struct sigaction action {};
            action.sa_handler = options.ignoreFileSizeSignal ? SIG_IGN : SIG_DFL;
            ::sigemptyset(&action.sa_mask);
            ::sigaction(SIGXFSZ, &action, nullptr);
            if (options.beforeExec) {
                options.beforeExec();
            }
            ::execve(executable.c_str(), argv.data(), environ);
            failure = errno;
        }
        const ssize_t ignored = ::write(execStatus.Write(), &failure, sizeof failure);
        (void)ignored;
        ::_exit(127);
    }
    ::close(devNull);
    out.CloseWrite();
    err.CloseWrite();
    execStatus.CloseWrite();
    if (child < 0) {
        result.err = "runner: fork failed";
        return result;
    }

    // The status pipe closes on a successful exec and carries errno otherwise.
    int execError = 0;
    ssize_t got;
    do {
        got = ::read(execStatus.Read(), &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    result.started = got == 0;
    if (!result.started) {
        result.err = std::string("runner: cannot run ") + executable + ": " + std::strerror(execError);
    }

    ::fcntl(out.Read(), F_SETFL, O_NONBLOCK);
    ::fcntl(err.Read(), F_SETFL, O_NONBLOCK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMilliseconds);
    bool outOpen = true, errOpen = true;
    int status = 0;
    bool reaped = false;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{out.Read(), POLLIN, 0}, {err.Read(), POLLIN, 0}};
        ::poll(fds, 2, 10);
        if (outOpen) outOpen = Drain(out.Read(), result.out);
        if (errOpen) errOpen = Drain(err.Read(), result.err);
        if (!outOpen && !errOpen) {
            break;
        }
        // A helper the child left behind (an emulator's server) may hold the
        // pipes open: once the child itself has ended, take what is there.
        if (::waitpid(child, &status, WNOHANG) == child) {
            reaped = true;
            Drain(out.Read(), result.out);
            Drain(err.Read(), result.err);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            result.timedOut = true;
            break;
        }
    }
    if (!reaped) {
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    RecordStatus(status, result);
    return result;
}

}  // namespace

std::string RunResult::Describe() const {
    std::ostringstream text;
    text << (started ? "ran" : "did not start");
    if (timedOut) text << ", timed out";
    if (exitCode >= 0) text << ", exit status " << exitCode;
    if (signal != 0) text << ", killed by signal " << signal;
    text << "\nstdout: \"" << out << "\"\nstderr: \"" << err << "\"";
    return text.str();
}

std::string TexweldPath() {
    const char* fromEnvironment = std::getenv("TEXWELD_EXE");
    return fromEnvironment != nullptr && fromEnvironment[0] != '\0' ? fromEnvironment : TEXWELD_BUILT_EXE;
}

std::vector<std::string> EmulatorWords() {
    std::vector<std::string> words;
    const char* emulator = std::getenv("TEXWELD_EMULATOR");
    std::istringstream text(emulator != nullptr ? emulator : "");
    std::string word;
    while (text >> word) {
        words.push_back(word);
    }
    return words;
}

bool RunsUnderEmulator() {
    return !EmulatorWords().empty();
}

bool RunsWindowsBuild() {
    const std::string program = TexweldPath();
    return RunsUnderEmulator() && program.size() >= 4 && program.compare(program.size() - 4, 4, ".exe") == 0;
}

std::string TexsplitPath() {
    const char* fromEnvironment = std::getenv("TEXSPLIT_EXE");
    return fromEnvironment != nullptr && fromEnvironment[0] != '\0' ? fromEnvironment : TEXSPLIT_BUILT_EXE;
}

namespace {

RunResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const RunOptions& options) {
    std::vector<std::string> words = options.wrapper;
    const std::vector<std::string> emulator = EmulatorWords();
    words.insert(words.end(), emulator.begin(), emulator.end());
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    return Spawn(ResolveExecutable(words.front()), words, false, options);
}

}  // namespace

RunResult RunTexsplit(const std::vector<std::string>& arguments, const RunOptions& options) {
    return RunProgram(TexsplitPath(), arguments, options);
}

RunResult RunTexweld(const std::vector<std::string>& arguments, const RunOptions& options) {
    return RunProgram(TexweldPath(), arguments, options);
}

RunResult RunTexweldWithEmptyArgv(const RunOptions& options) {
    return Spawn(TexweldPath(), {}, true, options);
}

}  // namespace texweld_e2e
