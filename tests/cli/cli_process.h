#pragma once

// Starting quillmend (or any program) as a process of its own, with its environment, its
// standard output and its standard error given, for the tests of runs side by side.

#include "test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace qm::test {

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct ProcessOutput {
    int status = -1; // the exit status, or 128 + the signal that ended the process
    std::string out;
    std::string err;
};

// Where a started process's standard output goes: a file (captured), or a descriptor the test
// made (a pipe, /dev/full).
struct StdoutTo {
    std::filesystem::path file;
    int fd = -1;
};

// The environment of this process changed by env ("NAME=VALUE" sets, "NAME" alone removes).
inline std::vector<std::string> changedEnvironment(const std::vector<std::string>& env) {
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string s = *e;
        const std::string name = s.substr(0, s.find('='));
        bool replaced = false;
        for (const auto& change : env)
            replaced = replaced || change.substr(0, change.find('=')) == name;
        if (!replaced)
            vars.push_back(s);
    }
    for (const auto& change : env)
        if (change.find('=') != std::string::npos)
            vars.push_back(change);
    return vars;
}

// Starts argv[0] with the current environment changed by env ("NAME=VALUE" sets, "NAME" alone
// removes), standard input from /dev/null and standard error to err. Returns the process id.
inline pid_t startProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const StdoutTo& out, const std::filesystem::path& err) {
    std::vector<std::string> vars = changedEnvironment(env);
    std::vector<char*> envp, args;
    for (auto& s : vars)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argvCopy = argv;
    for (auto& s : argvCopy)
        args.push_back(s.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out.fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, out.fd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, out.file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << "cannot start " << argv[0];
    return rc == 0 ? pid : -1;
}

inline int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs to the end; standard output and error captured in files beside scratch.
inline ProcessOutput runProcess(const std::vector<std::string>& argv,
                                const std::vector<std::string>& env,
                                const std::filesystem::path& scratch) {
    const auto out = scratch / "process.out", err = scratch / "process.err";
    ProcessOutput o;
    const pid_t pid = startProcess(argv, env, {out}, err);
    if (pid < 0)
        return o;
    o.status = waitForExit(pid);
    o.out = slurp(out);
    o.err = slurp(err);
    return o;
}

// Runs to the end with no file of it allowed to grow past maxFileBytes (RLIMIT_FSIZE), as on a
// disk that fills up at that size. With SIGXFSZ ignored such a write fails with EFBIG; at its
// default the process is killed by it. Standard output and error come back through pipes, which
// the limit does not touch.
inline ProcessOutput runWithFileSizeLimit(const std::vector<std::string>& argv,
                                          const std::vector<std::string>& env, rlim_t maxFileBytes,
                                          bool ignoreSigxfsz = true) {
    std::vector<std::string> vars = changedEnvironment(env), argvCopy = argv;
    std::vector<char*> envp, args;
    for (auto& s : vars)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    for (auto& s : argvCopy)
        args.push_back(s.data());
    args.push_back(nullptr);
    ProcessOutput o;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot make a pipe";
        return o;
    }
    const rlimit limit{maxFileBytes, maxFileBytes};
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only calls that are safe between fork and exec.
        const int devNull = ::open("/dev/null", O_RDONLY);
        if (devNull < 0 || ::dup2(devNull, 0) < 0 || ::dup2(outPipe[1], 1) < 0 ||
            ::dup2(errPipe[1], 2) < 0 || ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(126);
        ::signal(SIGXFSZ, ignoreSigxfsz ? SIG_IGN : SIG_DFL);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (pid < 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        ADD_FAILURE() << "cannot start " << argv[0];
        return o;
    }
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* into[2] = {&o.out, &o.err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                into[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    o.status = waitForExit(pid);
    return o;
}

// An unprivileged user, for the tests of what one user of a shared folder can do to another's
// run: nobody (65534), without any group, through setpriv. Only root may become it.
constexpr uid_t kNobody = 65534;

inline bool canActAsNobody() {
    return ::geteuid() == 0 && ::access("/usr/bin/setpriv", X_OK) == 0;
}

inline std::vector<std::string> asNobody(const std::vector<std::string>& argv) {
    std::vector<std::string> all{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                 "--clear-groups"};
    all.insert(all.end(), argv.begin(), argv.end());
    return all;
}

// Every regular file under a folder with its bytes.
inline std::map<std::string, std::string> fileTree(const std::filesystem::path& folder) {
    std::map<std::string, std::string> m;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
        if (e.is_regular_file())
            m[std::filesystem::relative(e.path(), folder).string()] = slurp(e.path());
    return m;
}

// A copy of the program with its template database, so that tests side by side never share
// dbTemp.mdb, a folder for temporary files (the change log's) and a data folder (the backups') of
// its own, and sample tables made on demand.
class QuillmendProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        app = temp.path() / "app";
        std::filesystem::create_directories(app);
        program = app / "quillmend";
        std::filesystem::copy_file(QM_CLI_PROGRAM, program);
        std::filesystem::copy_file(
            std::filesystem::path(QM_CLI_PROGRAM).parent_path() / "dbTemp.mdb", app / "dbTemp.mdb");
        tmp = temp.path() / "tmp";
        data = temp.path() / "data";
        std::filesystem::create_directories(tmp);
        std::filesystem::create_directories(data);
        changeLog = tmp / "backups.log";
        backups = data / "Quillmend" / "backups";
        env = {"TEMP=" + tmp.string(), "XDG_DATA_HOME=" + data.string()};
    }

    // The sample database the build writes, made afresh in folder (a relative one: under the
    // test's own folder).
    std::filesystem::path samples(const std::filesystem::path& folder = "Samples") {
        const std::filesystem::path where = folder.is_absolute() ? folder : temp.path() / folder;
        const std::string cmd = "'" + std::string(QM_MAKE_SAMPLES) + "' '" + where.string() + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return where;
    }

    // The program run to its end with args, under wrapper when one is given, in env.
    ProcessOutput quillmend(const std::vector<std::string>& args) {
        std::vector<std::string> argv = wrapper;
        argv.push_back(program.string());
        argv.insert(argv.end(), args.begin(), args.end());
        return runProcess(argv, env, temp.path());
    }

    TempDir temp;
    std::filesystem::path app, program, tmp, data, changeLog, backups;
    std::vector<std::string> env;     // changes to this process's environment for the program
    std::vector<std::string> wrapper; // the program runs under this one (strace ...)
};

} // namespace qm::test
