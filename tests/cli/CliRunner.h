// Runs vandrel-cli as a child process and collects its exit status, stdout and stderr.
//
//   CCliRunner cli(dir);                          // a settings folder of its own below dir
//   auto r = cli.Run({"--port", sim.UartPath(), "status"});
//   EXPECT_EQ(r.status, 0) << r.err;
//
// The child gets a small environment of its own (no VANDREL_COMn from the caller's), so that
// nothing of the machine's settings leaks in. A child that outlives its limit is killed and the
// result says so.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace clitest {

struct TS_CLI_RESULT {
    int status = -1; // exit status; 128 + n when killed by signal n
    bool timedOut = false;
    std::string out;
    std::string err;
    double seconds = 0;
};

class CCliRunner {
public:
    explicit CCliRunner(std::string configDir) : m_configDir(std::move(configDir)) {}

    void SetEnv(const std::string& name, const std::string& value) {
        m_extraEnv.push_back(name + "=" + value);
    }
    // The child's stdout goes to fd (a pipe or a pty of the caller's, which reads it itself; the
    // result's out stays empty) instead of a pipe that Run reads. -1: the pipe.
    void SetStdout(int fd) { m_stdout = fd; }
    // The folder the child starts in (default: the caller's).
    void SetWorkingDirectory(const std::string& dir) { m_workingDirectory = dir; }

    // started: called with the child's pid once it runs (to send it a signal, say).
    TS_CLI_RESULT Run(const std::vector<std::string>& args,
                      std::chrono::seconds limit = std::chrono::seconds(60),
                      const std::function<void(pid_t)>& started = {}) const {
        TS_CLI_RESULT result;
        int outPipe[2];
        int errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
            return result;
        }
        std::vector<std::string> argv{VANDREL_CLI_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env{"PATH=/usr/bin:/bin", "VANDREL_CONFIG_DIR=" + m_configDir,
                                     "LANG=C.UTF-8"};
        if (const char* tmp = std::getenv("TMPDIR")) {
            env.push_back(std::string("TMPDIR=") + tmp);
        }
        for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
            if (const char* value = std::getenv(keep)) {
                env.push_back(std::string(keep) + "=" + value);
            }
        }
        env.insert(env.end(), m_extraEnv.begin(), m_extraEnv.end());
        std::vector<char*> cargv;
        for (auto& a : argv) {
            cargv.push_back(a.data());
        }
        cargv.push_back(nullptr);
        std::vector<char*> cenv;
        for (auto& e : env) {
            cenv.push_back(e.data());
        }
        cenv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, m_stdout >= 0 ? m_stdout : outPipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (!m_workingDirectory.empty()) {
            posix_spawn_file_actions_addchdir_np(&actions, m_workingDirectory.c_str());
        }
        // the child starts with no signal blocked, whatever this thread blocks
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
        pid_t pid = -1;
        const auto begin = std::chrono::steady_clock::now();
        const int rc = ::posix_spawn(&pid, cargv[0], &actions, &attr, cargv.data(), cenv.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        if (m_stdout >= 0) {
            ::close(outPipe[0]); // read by the caller
            outPipe[0] = -1;
        }
        if (rc != 0) {
            ::close(outPipe[0]);
            ::close(errPipe[0]);
            result.err = "posix_spawn failed";
            return result;
        }
        if (started) {
            started(pid);
        }
        const auto deadline = begin + limit;
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        int open = m_stdout >= 0 ? 1 : 2;
        while (open > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                result.timedOut = true;
                ::kill(pid, SIGKILL);
                break;
            }
            if (::poll(fds, 2, static_cast<int>(std::min<int64_t>(left.count(), 200))) < 0) {
                continue;
            }
            for (auto& p : fds) {
                if (p.fd >= 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
                    char buffer[4096];
                    const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
                    if (n > 0) {
                        (p.fd == outPipe[0] ? result.out : result.err)
                            .append(buffer, static_cast<std::size_t>(n));
                    } else if (n == 0 || errno != EINTR) {
                        p.fd = -1;
                        --open;
                    }
                }
            }
        }
        if (outPipe[0] >= 0) {
            ::close(outPipe[0]);
        }
        ::close(errPipe[0]);
        int wstatus = 0;
        ::waitpid(pid, &wstatus, 0);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        return result;
    }

private:
    std::string m_configDir;
    std::vector<std::string> m_extraEnv;
    std::string m_workingDirectory;
    int m_stdout = -1;
};

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace clitest
