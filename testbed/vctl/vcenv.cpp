#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vctl.h"

#ifndef VCTL_SOURCE_ROOT
#define VCTL_SOURCE_ROOT "."
#endif
#ifndef VCTL_VCSETUP_DEFAULT
#define VCTL_VCSETUP_DEFAULT ""
#endif

namespace {

std::string Absolute(const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof(cwd)))
        return path;
    return std::string(cwd) + "/" + path;
}

int IsFile(const std::string& path)
{
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string SelfDir()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0)
        return ".";
    buf[n] = 0;
    char* slash = strrchr(buf, '/');
    if (slash)
        *slash = 0;
    return buf;
}

} // namespace

std::string VctlStateDir(const char* option)
{
    if (option && *option)
        return Absolute(option);
    const char* e = getenv("PANEL_VC_DIR");
    if (e && *e)
        return Absolute(e);
    e = getenv("PANEL_WINE_DIR");
    if (e && *e)
        return Absolute(std::string(e) + "/vc");
    return std::string(VCTL_SOURCE_ROOT) + "/build/wine/vc";
}

std::string VctlFindVcsetup(std::string* tried)
{
    std::vector<std::string> c;
    const char* e = getenv("PANEL_VCSETUP");
    if (e && *e)
        c.push_back(Absolute(e)); // when set, it is the only place looked at
    else {
        if (*VCTL_VCSETUP_DEFAULT)
            c.push_back(VCTL_VCSETUP_DEFAULT);
        std::string self = SelfDir();
        c.push_back(self + "/vcsetup.exe");
        const char* trees[] = {"build/win64", "build/vc-win64"};
        for (const char* t : trees) {
            std::string root = std::string(VCTL_SOURCE_ROOT) + "/" + t + "/testbed";
            c.push_back(root + "/vcsetup.exe");
            c.push_back(root + "/vcsetup/vcsetup.exe");
            c.push_back(root + "/win/vcsetup.exe");
        }
    }
    tried->clear();
    for (const std::string& p : c) {
        if (IsFile(p))
            return p;
        *tried += "  " + p + "\n";
    }
    return "";
}

std::string VctlFindPreptool(std::string* tried)
{
    const char* e = getenv("PANEL_PREPTOOL");
    std::string exe;
    if (e && *e)
        exe = Absolute(e);
    else {
        std::string vcsetup = VctlFindVcsetup(tried);
        if (vcsetup.empty())
            return "";
        exe = vcsetup.substr(0, vcsetup.rfind('/') + 1) + "preptool.exe";
    }
    if (IsFile(exe))
        return exe;
    *tried = "  " + exe + "\n";
    return "";
}

std::string VctlWindowsPath(const std::string& path)
{
    std::string p = "Z:" + Absolute(path);
    for (char& c : p) {
        if (c == '/')
            c = '\\';
    }
    return p;
}

int VctlSpawnVcsetup(const std::vector<std::string>& args, std::string* err, int child_stderr)
{
    std::string tried;
    std::string exe = VctlFindVcsetup(&tried);
    if (exe.empty()) {
        *err = "vctl: vcsetup.exe not found (set PANEL_VCSETUP); looked at:\n" + tried;
        return -1;
    }
    return VctlSpawnTool(exe, args, err, child_stderr);
}

int VctlSpawnTool(const std::string& exe, const std::vector<std::string>& args, std::string* err, int child_stderr)
{
    const char* wine = getenv("WINE64");
    if (!wine || !*wine)
        wine = "/usr/lib/wine/wine64";
    std::vector<std::string> argv;
    argv.push_back(wine);
    argv.push_back(exe);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& s : argv)
        cargv.push_back(&s[0]);
    cargv.push_back(NULL);
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        *err = std::string("vctl: fork: ") + strerror(errno) + "\n";
        return -1;
    }
    if (pid == 0) {
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);
        if (child_stderr != -1) {
            dup2(child_stderr, 2);
            if (child_stderr != 2)
                close(child_stderr);
        }
        execvp(cargv[0], cargv.data());
        fprintf(stderr, "vctl: cannot run %s: %s\n", cargv[0], strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);
    return pid;
}

namespace {

// One run of a test-bed program; what it writes to stderr is passed on when
// it has ended (through a file: a pipe would also wait for any wine process
// that inherited it). `said` tells whether it wrote anything there.
int RunToolOnce(const std::string& exe, const std::vector<std::string>& args, bool* said)
{
    *said = false;
    FILE* capture = tmpfile();
    if (!capture) {
        fprintf(stderr, "vctl: tmpfile: %s\n", strerror(errno));
        return 127;
    }
    std::string err;
    int pid = VctlSpawnTool(exe, args, &err, fileno(capture));
    if (pid < 0) {
        fclose(capture);
        fputs(err.c_str(), stderr);
        *said = true;
        return 127;
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    rewind(capture);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), capture)) > 0) {
        *said = true;
        fwrite(buf, 1, n, stderr);
    }
    fflush(stderr);
    fclose(capture);
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    return 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
}

// Every failure of vcsetup and preptool says why; an exit with 1 and not a
// word means that wine64 did not run the program (seen now and then), and it
// is run once more.
int RunTool(const std::string& exe, const std::vector<std::string>& args)
{
    std::string name = exe.substr(exe.rfind('/') + 1);
    name = name.substr(0, name.rfind('.'));
    bool said = false;
    int rc = RunToolOnce(exe, args, &said);
    if (rc == 1 && !said) {
        fprintf(stderr, "vctl: note: %s %s ended with 1 without a word; running it once more\n", name.c_str(),
                args.empty() ? "" : args[0].c_str());
        rc = RunToolOnce(exe, args, &said);
    }
    return rc;
}

int ToolMissing(const char* name, const char* variable, const std::string& tried)
{
    fprintf(stderr, "vctl: %s not found (set %s); looked at:\n%s", name, variable, tried.c_str());
    return 127;
}

} // namespace

int VctlRunVcsetup(const std::vector<std::string>& args)
{
    std::string tried;
    std::string exe = VctlFindVcsetup(&tried);
    return exe.empty() ? ToolMissing("vcsetup.exe", "PANEL_VCSETUP", tried) : RunTool(exe, args);
}

int VctlRunPreptool(const std::vector<std::string>& args)
{
    std::string tried;
    std::string exe = VctlFindPreptool(&tried);
    return exe.empty() ? ToolMissing("preptool.exe", "PANEL_PREPTOOL", tried) : RunTool(exe, args);
}

int VctlRequest(const std::string& dir, const std::vector<std::string>& words, std::string* reply)
{
    reply->clear();
    std::string path = dir + "/ctl.sock";
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof(sa.sun_path)) {
        *reply = "vctl: state dir path too long for a socket: " + dir + "\n";
        return -1;
    }
    memcpy(sa.sun_path, path.c_str(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (struct sockaddr*)&sa, sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    struct timeval tv = {30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    std::string body;
    for (const std::string& w : words) {
        body += w;
        body.push_back('\0');
    }
    unsigned char len[4] = {(unsigned char)body.size(), (unsigned char)(body.size() >> 8),
                            (unsigned char)(body.size() >> 16), (unsigned char)(body.size() >> 24)};
    std::string msg((const char*)len, 4);
    msg += body;
    size_t off = 0;
    while (off < msg.size()) {
        ssize_t n = send(fd, msg.data() + off, msg.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        off += (size_t)n;
    }
    std::string in;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        in.append(buf, (size_t)n);
    }
    close(fd);
    if (in.empty())
        return -1;
    *reply = in.substr(1);
    return (unsigned char)in[0];
}
