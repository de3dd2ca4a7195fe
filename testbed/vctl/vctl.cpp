// vctl: drives the virtual controller of the test bed.
//
//   vctl start [--dir D] [--idle S]   start the daemon (device model, FIFOs, control socket)
//   vctl stop                         stop it and everything it started
//   vctl plug | unplug | replug       the virtual device, through vcsetup.exe under wine64
//   vctl layout N                     endpoint layout of the next plug (vcsetup.exe)
//   vctl install [--no-update-driver] install the drivers for this state dir (vcsetup.exe)
//   vctl prep COMMAND ...             the system around a launcher run (preptool.exe)
//   vctl set ... | fault ... | flash OUT ... | log | status [--device] | reset
//   vctl kmidi ...                    the kernel USB-MIDI driver and its link
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <poll.h>

#include <string>
#include <vector>

#include "commands.h"
#include "vctl.h"

namespace {

const char* const kHelp =
    "usage: vctl [--dir D] COMMAND ...\n"
    "  start [--idle SECONDS]      start the daemon in the state dir (idle limit, default 3600)\n"
    "  stop                        stop the daemon\n"
    "  plug | unplug | replug      plug the virtual controller in, pull it, power-cycle it\n"
    "  layout N                    endpoint layout: 0 bulk IN,OUT; 1 OUT,IN; 2 int IN,bulk IN,OUT; 3 none; 4 IN only\n"
    "  install [--no-update-driver] install the drivers, bridged to the state dir\n"
    "                              (--no-update-driver: the controller comes up without a driver)\n"
    "  prep snapshot FILE | pending on|off [PID|IMAGE] | class-acl readonly|restore\n"
    "      | lock-key PATH | unlock-key PATH | add-key PATH | delete-key PATH\n"
    "      | set-value PATH NAME TEXT   the system around a launcher run (preptool.exe)\n"
    "  set protocol N | packet-size N | caps N | version CODE MAJOR.MINOR | pid HEX.. | pid any\n"
    "      | base ADDRESS | flash-limit BYTES\n"
    "  fault status N [--text T] | silent | empty | delay MS | malformed manufacturer|vup|pid|code\n"
    "      | long BYTES | unplug | clear      (with --at K and --on packet|setmode|inquiry|version|any)\n"
    "  flash OUT [--base A] [--length L]   write the flash image (default: the written range)\n"
    "  log                         the wire log\n"
    "  status [--device]           the model's state (--device: also vcsetup status)\n"
    "  reset                       clear flash, log, faults and versions\n"
    "  kmidi install | plug N | unplug N | status | refuse N open|in|out|change COUNT|always\n"
    "      | stall COUNT|always | hold idle|writes on|off | clear\n"
    "                              the kernel USB-MIDI driver (vcsetup.exe kmidi ...)\n"
    "  kmidi shape empty N | gap N | trailing on|off | clear   in-pipe blocks of every reply\n"
    "  kmidi fault header HEX [--packet P] [--at K] | fault clear | wire [clear]\n"
    "  com map                     the prefix's COM1..COM4 become the test bed's serial ports\n"
    "  com present N... | absent N...  serial ports that exist (pseudo-terminals) or not\n"
    "  com noise on|off            stray and real-time bytes around every reply on a serial line\n"
    "  com zero [--at K]           a 0x00 in front of the K-th reply on a serial line\n"
    "  com inject N HEX...         bytes on the line of COMN now\n"
    "  com rate line|off           bytes cross a serial line at the rate the host set (10 bits a byte), or at once\n"
    "  com status                  the serial ports\n"
    "  midi install DLL            the test bed's MIDI driver becomes the prefix's (system32, Drivers\\Audio)\n"
    "  midi ports LINE...          the MIDI ports of processes started from now: 'out TECH BUSY REACHES NAME',\n"
    "                              'in BUSY HEARS NAME' (REACHES/HEARS 1: the port is wired to the device)\n"
    "  midi delay MS               a long message completes MS after it was sent\n"
    "  midi hold PORT|off          long messages on output PORT never complete (until a reset)\n"
    "  midi rate BAUD|off          messages take their time on the line both ways (10 bits a byte), or none\n"
    "  midi inject HEX...          one message to the input ports wired to the device, now\n"
    "State dir: --dir, else $PANEL_VC_DIR, else $PANEL_WINE_DIR/vc, else build/wine/vc.\n"
    "vcsetup.exe: $PANEL_VCSETUP, else searched; preptool.exe: $PANEL_PREPTOOL, else beside\n"
    "vcsetup.exe; wine64: $WINE64.\n";

int ReadPidFile(const std::string& dir)
{
    FILE* f = fopen((dir + "/daemon.pid").c_str(), "r");
    if (!f)
        return 0;
    int pid = 0;
    if (fscanf(f, "%d", &pid) != 1)
        pid = 0;
    fclose(f);
    return pid;
}

// The start of /proc/PID/WHAT as a terminated text; 0 when it cannot be read.
int ReadProcFile(int pid, const char* what, char* buf, size_t size)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/%s", pid, what);
    FILE* f = fopen(path, "r");
    if (!f)
        return 0;
    size_t n = fread(buf, 1, size - 1, f);
    fclose(f);
    buf[n] = 0;
    return 1;
}

// Alive and not a zombie (a reparented daemon may wait for a reaper).
int ProcessAlive(int pid)
{
    if (pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH))
        return 0;
    char buf[512];
    if (!ReadProcFile(pid, "stat", buf, sizeof(buf)))
        return 0;
    const char* close_paren = strrchr(buf, ')');
    return !(close_paren && close_paren[1] == ' ' && close_paren[2] == 'Z');
}

int IsOurDaemon(int pid)
{
    char buf[256];
    if (!ReadProcFile(pid, "cmdline", buf, sizeof(buf)))
        return 0;
    return strstr(buf, "vctl") != NULL;
}

int WaitGone(int pid, int ms)
{
    for (int waited = 0; waited < ms; waited += 20) {
        if (!ProcessAlive(pid))
            return 1;
        usleep(20000);
    }
    return !ProcessAlive(pid);
}

int MakeDirs(const std::string& path)
{
    std::string cur;
    size_t i = 0;
    while (i <= path.size()) {
        size_t slash = path.find('/', i);
        if (slash == std::string::npos)
            slash = path.size();
        cur = path.substr(0, slash);
        if (!cur.empty() && mkdir(cur.c_str(), 0777) != 0 && errno != EEXIST)
            return 0;
        i = slash + 1;
    }
    return 1;
}

int Start(const std::string& dir, int idle)
{
    std::string reply;
    if (VctlRequest(dir, {"ping"}, &reply) == 0) {
        printf("vctl: daemon already running (pid %s) in %s\n", reply.substr(0, reply.find('\n')).c_str(), dir.c_str());
        return 0;
    }
    if (!MakeDirs(dir)) {
        fprintf(stderr, "vctl: cannot create %s: %s\n", dir.c_str(), strerror(errno));
        return 1;
    }
    int ready[2];
    if (pipe(ready) != 0)
        return 1;
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        // Detach: new session, then a grandchild that nobody waits for.
        setsid();
        if (fork() != 0)
            _exit(0);
        close(ready[0]);
        int null = open("/dev/null", O_RDONLY);
        int log = open((dir + "/daemon.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        if (null >= 0)
            dup2(null, 0);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        }
        for (int fd = 3; fd < 1024; ++fd) {
            if (fd != ready[1])
                close(fd);
        }
        if (chdir("/") != 0) {
        }
        _exit(DaemonMain(dir, idle, ready[1]));
    }
    close(ready[1]);
    int st;
    waitpid(pid, &st, 0);
    std::string got;
    struct pollfd p = {ready[0], POLLIN, 0};
    for (int waited = 0; waited < 10000;) {
        if (poll(&p, 1, 100) > 0) {
            char buf[64];
            ssize_t n = read(ready[0], buf, sizeof(buf));
            if (n <= 0)
                break;
            got.append(buf, (size_t)n);
        } else {
            waited += 100;
        }
    }
    close(ready[0]);
    if (got.compare(0, 3, "ok ") != 0) {
        fprintf(stderr, "vctl: the daemon did not start; see %s/daemon.log\n", dir.c_str());
        return 1;
    }
    printf("vctl: daemon started (pid %d) in %s\n", atoi(got.c_str() + 3), dir.c_str());
    return 0;
}

int Stop(const std::string& dir)
{
    std::string reply;
    int pid = 0;
    if (VctlRequest(dir, {"stop"}, &reply) == 0 && reply.compare(0, 9, "stopping ") == 0)
        pid = atoi(reply.c_str() + 9);
    else {
        // No answer: a daemon that hangs, or none at all.
        pid = ReadPidFile(dir);
        if (pid <= 0 || !ProcessAlive(pid) || !IsOurDaemon(pid)) {
            printf("vctl: no daemon running in %s\n", dir.c_str());
            return 0;
        }
        kill(pid, SIGTERM);
    }
    if (!WaitGone(pid, 10000)) {
        fprintf(stderr, "vctl: daemon %d did not stop: killing it\n", pid);
        kill(pid, SIGKILL);
        WaitGone(pid, 2000);
    }
    printf("vctl: daemon stopped\n");
    return 0;
}

// Tells the daemon, if one runs; the device may be driven without it.
void Tell(const std::string& dir, const std::vector<std::string>& words)
{
    std::string reply;
    VctlRequest(dir, words, &reply);
}

int Forward(const std::string& dir, std::vector<std::string> words)
{
    if (words[0] == "flash" && words.size() >= 2 && !words[1].empty() && words[1][0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof(cwd)))
            words[1] = std::string(cwd) + "/" + words[1];
    }
    std::string reply;
    int rc = VctlRequest(dir, words, &reply);
    if (rc < 0) {
        fprintf(stderr, "vctl: no daemon running in %s (vctl start)\n", dir.c_str());
        return 1;
    }
    fputs(reply.c_str(), rc == 0 ? stdout : stderr);
    return rc;
}

// Points the prefix's COM1..COM4 at the state dir's port names: Wine opens a
// DOS device by following its link in dosdevices, and a name whose target is
// missing is no port at all.
int MapComPorts(const std::string& dir)
{
    const char* prefix = getenv("WINEPREFIX");
    if (!prefix || !*prefix) {
        fprintf(stderr, "vctl: com map needs WINEPREFIX (source the wine environment)\n");
        return 1;
    }
    for (int n = 1; n <= 4; ++n) {
        std::string link = std::string(prefix) + "/dosdevices/com" + std::to_string(n);
        std::string target = dir + "/com" + std::to_string(n);
        unlink(link.c_str());
        if (symlink(target.c_str(), link.c_str()) != 0) {
            fprintf(stderr, "vctl: cannot link %s: %s\n", link.c_str(), strerror(errno));
            return 1;
        }
    }
    return 0;
}

int WriteText(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "w");
    if (!f || fputs(text.c_str(), f) < 0 || fclose(f) != 0) {
        fprintf(stderr, "vctl: cannot write %s\n", path.c_str());
        return 1;
    }
    return 0;
}

// The MIDI driver's files in the prefix, and its ports and delay in the
// state dir (the driver reads them there).
int MidiCommand(const std::string& dir, const std::vector<std::string>& w)
{
    if (w.size() == 3 && w[1] == "install") {
        const char* prefix = getenv("WINEPREFIX");
        if (!prefix || !*prefix) {
            fprintf(stderr, "vctl: midi install needs WINEPREFIX (source the wine environment)\n");
            return 1;
        }
        std::string to = std::string(prefix) + "/drive_c/windows/system32/winevcmidi.drv";
        std::string cmd = "cp '" + w[2] + "' '" + to + "'";
        if (system(cmd.c_str()) != 0) {
            fprintf(stderr, "vctl: cannot copy %s\n", w[2].c_str());
            return 1;
        }
        const char* wine = getenv("WINE64");
        std::string reg = std::string("'") + (wine && *wine ? wine : "/usr/lib/wine/wine64") +
                          "' reg add 'HKCU\\Software\\Wine\\Drivers' /v Audio /d vcmidi /f >/dev/null 2>&1";
        if (system(reg.c_str()) != 0) {
            fprintf(stderr, "vctl: reg add of the audio driver failed\n");
            return 1;
        }
        return 0;
    }
    if (w.size() >= 2 && w[1] == "ports") {
        std::string text;
        for (size_t i = 2; i < w.size(); ++i)
            text += w[i] + "\n";
        return WriteText(dir + "/midi.conf", text);
    }
    if (w.size() == 3 && w[1] == "delay") {
        unsigned long long ms;
        if (!ParseNumber(w[2], 10000, &ms)) {
            fprintf(stderr, "vctl: midi delay 0..10000\n");
            return 2;
        }
        return WriteText(dir + "/midi.delay", w[2] + "\n");
    }
    if (w.size() == 3 && w[1] == "hold") {
        unsigned long long port = 0;
        if (w[2] != "off" && !ParseNumber(w[2], 31, &port)) {
            fprintf(stderr, "vctl: midi hold PORT|off (PORT 0..31)\n");
            return 2;
        }
        return WriteText(dir + "/midi.hold", w[2] == "off" ? "0\n" : std::to_string(port + 1) + "\n");
    }
    if (w.size() == 3 && w[1] == "rate") {
        unsigned long long baud = 0;
        if (w[2] != "off" && (!ParseNumber(w[2], 1000000, &baud) || baud == 0)) {
            fprintf(stderr, "vctl: midi rate 1..1000000|off\n");
            return 2;
        }
        return WriteText(dir + "/midi.rate", std::to_string(baud) + "\n");
    }
    fprintf(stderr, "vctl: midi install DLL | midi ports LINE... | midi delay MS | midi hold PORT|off | midi rate BAUD|off\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> words;
    const char* dir_opt = NULL;
    int idle = 3600;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc && !dir_opt)
            dir_opt = argv[++i];
        else if (a == "--idle" && i + 1 < argc && !words.empty() && words[0] == "start")
            idle = atoi(argv[++i]);
        else
            words.push_back(a);
    }
    if (words.empty() || words[0] == "help" || words[0] == "--help" || words[0] == "-h") {
        fputs(kHelp, words.empty() ? stderr : stdout);
        return words.empty() ? 2 : 0;
    }
    std::string dir = VctlStateDir(dir_opt);
    const std::string& cmd = words[0];

    if (cmd == "start" && words.size() == 1)
        return Start(dir, idle);
    if (cmd == "stop" && words.size() == 1)
        return Stop(dir);
    if ((cmd == "plug" || cmd == "unplug" || cmd == "replug") && words.size() == 1) {
        // A plug is a power-on for the device: it forgets its mode first.
        Tell(dir, cmd == "unplug" ? std::vector<std::string>{"note", "vctl unplug"}
                                  : std::vector<std::string>{"plugged"});
        return VctlRunVcsetup({cmd});
    }
    if (cmd == "layout" && words.size() == 2) {
        unsigned long long n;
        if (!ParseNumber(words[1], 4, &n)) {
            fprintf(stderr, "vctl: layout 0..4\n");
            return 2;
        }
        Tell(dir, {"note", "vctl layout " + words[1]});
        return VctlRunVcsetup({"layout", words[1]});
    }
    if (cmd == "install" && (words.size() == 1 || (words.size() == 2 && words[1] == "--no-update-driver"))) {
        std::vector<std::string> args = {"install", dir};
        if (words.size() == 2)
            args.push_back(words[1]);
        return VctlRunVcsetup(args);
    }
    if (cmd == "prep" && words.size() >= 2) {
        std::vector<std::string> args(words.begin() + 1, words.end());
        if (args[0] == "snapshot" && args.size() == 2)
            args[1] = VctlWindowsPath(args[1]);
        return VctlRunPreptool(args);
    }
    if (cmd == "kmidi" && words.size() >= 2) {
        const std::string& sub = words[1];
        if (sub == "shape" || sub == "fault" || sub == "wire")
            return Forward(dir, words);
        std::vector<std::string> args(words.begin(), words.end());
        if (sub == "install" && words.size() == 2)
            args.push_back(dir);
        if (sub == "plug" && words.size() == 3 && words[2] == "0")
            Tell(dir, {"kmidi", "plugged"});
        if (sub == "unplug" && words.size() == 3)
            Tell(dir, {"note", "vctl kmidi unplug " + words[2]});
        return VctlRunVcsetup(args);
    }
    if (cmd == "status" && words.size() == 2 && words[1] == "--device") {
        int rc = Forward(dir, {"status"});
        int dev = VctlRunVcsetup({"status"});
        return rc ? rc : dev;
    }
    if (cmd == "midi" && words.size() >= 2 && words[1] == "inject")
        return Forward(dir, words);
    if (cmd == "midi")
        return MidiCommand(dir, words);
    if (cmd == "com" && words.size() == 2 && words[1] == "map")
        return MapComPorts(dir);
    if (cmd == "ping" || cmd == "com" || cmd == "plugged" || cmd == "note" || cmd == "set" || cmd == "fault" || cmd == "flash" ||
        cmd == "log" || cmd == "status" || cmd == "reset")
        return Forward(dir, words);
    fprintf(stderr, "vctl: unknown command %s\n%s", cmd.c_str(), kHelp);
    return 2;
}
