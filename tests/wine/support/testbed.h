// Support for tests that run against the virtual controller: running the
// native `vctl` from inside Wine, system files made on the fly, a window
// like the updater's with the status view and a progress bar, and reading
// the texts the view shows.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "link.h"
#include "sysfile.h"
#include "testclock.h"

namespace testbed {

// Runs `vctl ARGS` (a Unix program; Wine starts it directly) and returns its
// exit code; its output goes to *out when given.
int Vctl(const std::string& args, std::string* out = nullptr);
// Like Vctl, but fails the current test when the command fails.
std::string VctlOk(const std::string& args);
// The wire log, one line per message.
std::vector<std::string> WireLog();
// Lines of the wire log that hold `what`.
size_t CountLines(const std::vector<std::string>& log, const char* what);
// Nothing went to the device after the last wire-log line that holds `mark`.
void ExpectNothingSentAfter(const char* mark);
// The device's protocol, packet size and capabilities; it answers any product ID.
void ConfigureDevice(int protocol, int packet, int caps);
// The flash image between address and address + length.
std::vector<unsigned char> Flash(uint32_t address, uint32_t length);

struct BlockSpec {
    std::string name = "Pallavox";
    unsigned char pid[3] = {0x44, 0xFF, 0xFF};
    unsigned char code = 1;
    unsigned char major = 1;
    unsigned char minor = 5;
    unsigned char inquiry = 0x80;
    uint32_t base = 0;
    uint32_t offset = 0;
    std::vector<unsigned char> data;
};

std::vector<unsigned char> BlockBytes(const BlockSpec& b);
// A file of several blocks, one after the other.
std::vector<unsigned char> FileBytes(const std::vector<BlockSpec>& blocks);
// The block's header as the updater parses it.
FileInfo HeaderOf(const BlockSpec& b);
std::vector<unsigned char> Pattern(size_t n, unsigned variant);

// Points this program's imports that lead to `from` at `to` (the engine is
// linked into the test program, so its system calls go through that table).
// Returns false when none does.
bool ReplaceImport(void* from, void* to);
// The address of `function` of `dll`, as the loader fills the table with it.
void* SystemFunction(const char* dll, const char* function);

// A file in the temp folder, removed at the end.
class TempFile {
public:
    explicit TempFile(const std::vector<unsigned char>& bytes);
    ~TempFile();
    const char* path() const { return path_; }

private:
    char path_[MAX_PATH];
};

// A top-level window with the status view and a progress bar, which records
// the commands the update worker posts.
class TestWindow {
public:
    TestWindow();
    ~TestWindow();
    HWND hwnd() const { return hwnd_; }
    HWND progress() const { return progress_; }
    // Starts a run from this window over the link (forgetting what earlier runs posted).
    void Start(const char* path, int force, int link = LinkUsbBulk);
    // Pumps messages until CMD_UPDATE_ENDED arrives; returns its result, or
    // -1 after timeout_ms.
    int WaitForEnd(DWORD timeout_ms);
    // A whole run of the file (written to a temporary file) over the link,
    // its worker closed after it; the run's result, or -1 after timeout_ms.
    int Run(const std::vector<unsigned char>& file, int link, int force = 0, DWORD timeout_ms = 180000);
    void Pump(DWORD ms);
    const std::vector<LPARAM>& redraws() const;
    // The text on message row `row` equals `text` as the view draws it.
    bool MessageRowShows(int row, const char* text);
    bool InfoRowShows(int row, int column, const char* text, bool bold, bool right_aligned);

private:
    HWND hwnd_;
    HWND progress_;
};

// `run` fails with `text` on message row 0 of `window`, and nothing goes to
// the device after the last wire-log line that holds `last_sent`.
void ExpectRunFailsWith(TestWindow& window, const std::function<int()>& run, const char* text, const char* last_sent);

// A run of `file` over `link`, paused from its start on `clock`: it holds
// after the first acknowledged packet, sends nothing while it holds, and the
// abort ends it there with its text.
void ExpectAbortWhileHeldEndsTheRun(TestWindow& window, TestClock& clock, const std::vector<unsigned char>& file,
                                    int link);

// A file of three blocks: block 1 (skipped_size bytes; the device has it when
// its version is set to 1.05), block 2 at 0x1000 (written_size bytes of a
// pattern) and block 3 at 0x2000 (filled_size bytes of `fill`).
struct SkipWriteFill {
    BlockSpec skipped, written, filled;
    std::vector<unsigned char> file;
};
SkipWriteFill SkipWriteFillFile(size_t skipped_size, size_t written_size, size_t filled_size, unsigned char fill);
// The flash after a run of that file: block 1 untouched, blocks 2 and 3 written.
void ExpectSkipWriteFillFlash(const SkipWriteFill& f);

// Every device status, 1 to 12 and 0x41 with a text of its own, armed on the
// second message of a run: `run` must fail with the status's text on message
// row 0 of `window`, and nothing may go to the device after it. `fresh`
// readies the device before each run, `check` adds what the caller expects.
void ExpectDeviceStatusesEndTheRun(TestWindow& window, const std::function<void()>& fresh,
                                   const std::function<int()>& run, const std::function<void()>& check = nullptr);

// Runs `call` on a thread of its own and `meanwhile` on this one; true when
// the call has returned within guard_ms of its start (its result in
// *result). A call that has not is left running: the test has failed.
bool CallEnds(const std::function<int()>& call, DWORD guard_ms, int* result,
              const std::function<void()>& meanwhile = nullptr);

// Starts a run of the file over the link, lets it go until `waiting` holds
// (the run waits in a transfer; looked at every 20 ms, for 20 s at most),
// and aborts it as the stop dialog does (pause, abort, the pending transfer
// ended again every 50 ms); the run's result, -1 if it has not ended
// guard_ms after the abort. The worker is closed when it has ended.
int AbortRun(TestWindow& window, const char* path, int link, const std::function<bool()>& waiting, DWORD guard_ms);
// A wire-log line holds `mark`.
bool Logged(const char* mark);

} // namespace testbed
