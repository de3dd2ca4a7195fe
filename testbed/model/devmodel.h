// The controller in its update mode, as the test bed plays it.
//
// Bytes the host writes to the OUT pipe arrive here in whatever pieces the
// host chose (the updater writes one data packet as head, data and
// checksum+F7); the model assembles the system-exclusive messages, answers
// them as the controller does, writes received packets into a flash image and
// keeps a wire log of every message both ways. Faults are armed on request.
//
// Pure logic: no files, no clocks, no processes. Replies carry the delay the
// daemon has to wait before sending them; an unplug request is a flag the
// daemon picks up.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "protocol.h"

enum {
    MODEL_MAX_MESSAGE = TX_BUFFER_SIZE + 64, // largest host message taken in whole
    MODEL_MAX_REPLY = RX_BUFFER_SIZE,        // one IN transfer
    MODEL_MAX_PACKET = PACKET_BUFFER_SIZE,   // largest packet the model accepts
    MODEL_MAX_FAULTS = 16,
    MODEL_FAULT_TEXT = 200,
    MODEL_LOG_TEXT = 200,
    MODEL_BLOCK_CODES = 128, // block codes travel as 7-bit bytes
    MODEL_FLASH_PAGE = 65536,
};

#define MODEL_DEFAULT_FLASH_LIMIT (64ull << 20)
#define MODEL_DEFAULT_LOG_CAPACITY 65536u

// Device status codes the model itself answers with.
enum {
    STATUS_OK = 0,
    STATUS_PRODUCT_ID = 1,
    STATUS_FORMAT = 3,
    STATUS_CHECKSUM = 6,
    STATUS_FLASH_WRITE = 9,
};

enum ModelFaultKind {
    FaultStatus,    // answer with a status (value, optional text) instead of handling the message
    FaultSilent,    // swallow the message, no reply
    FaultDelay,     // handle it, send the reply value ms late
    FaultMalformed, // handle it, corrupt the reply (value: ModelMalform)
    FaultLong,      // handle it, pad the reply to value bytes
    FaultUnplug,    // disappear: no handling, no reply, the daemon unplugs the device
    FaultEmpty,     // swallow the message, answer with an empty (zero-length) transfer
};

enum ModelMalform {
    MalformManufacturer,
    MalformVupId,
    MalformProductId,
    MalformCode,
};

// Which host messages a fault counts.
enum ModelFaultTarget {
    TargetPacket,  // MsgData and MsgFill
    TargetSetMode,
    TargetInquiry,
    TargetVersion,
    TargetAny,
};

struct ModelFault {
    int kind;
    int target;
    uint32_t at;   // fires on the at-th matching message after arming (1 = the next one)
    uint32_t seen; // matching messages counted so far
    int value;     // status, delay in ms, ModelMalform, or reply length
    char text[MODEL_FAULT_TEXT]; // text behind a status of 0x40 or above
    int fired;
};

struct ModelReply {
    unsigned char bytes[MODEL_MAX_REPLY];
    int length;
    int delay_ms;
};

struct ModelConfig {
    unsigned char pid[3];
    int pid_length; // 0: answer whatever product ID the host uses
    int protocol;   // reported protocol code; 2 and above are parsed like 1
    uint32_t packet_size;
    unsigned char caps;
    uint32_t default_base; // protocol 0 sends no base address
    uint64_t flash_limit;
    uint32_t log_capacity;
    unsigned char version[MODEL_BLOCK_CODES][2];
};

struct ModelLogEntry {
    char text[MODEL_LOG_TEXT];
};

struct DeviceModel {
    ModelConfig cfg;

    // Message assembly.
    unsigned char msg[MODEL_MAX_MESSAGE];
    size_t msg_len;
    int in_msg;
    int msg_overflow;
    uint32_t raw_left;  // raw data and checksum bytes still to take blindly
    int raw_end;        // the raw part is complete: F7 must follow
    uint64_t stray_bytes;
    unsigned char host_pid[3]; // the product ID the host used last
    int host_pid_length;

    // Mode set by the latest acknowledged MsgSetMode.
    int mode_set;
    int raw;
    unsigned char block_code;
    uint32_t base;
    uint32_t length;
    uint32_t psize;
    unsigned char set_major, set_minor;
    // The version of that block is taken over once the block is complete
    // (protocol 1), or when the host moves on (protocol 0, which sends no length).
    int block_pending;
    int block_failed;
    uint64_t block_acked;
    int commit_due; // the block is complete: take its version over once the reply is logged

    // Counters.
    uint64_t messages_in;
    uint64_t replies_out;
    uint64_t packets;       // data and fill messages received
    uint64_t packets_acked; // of them acknowledged with status 0
    uint64_t errors;        // replies with a nonzero status
    uint64_t commits;       // blocks whose version was taken over
    uint64_t bytes_in;      // message bytes as the host wrote them
    uint64_t bytes_out;     // reply bytes, as the device sends them

    ModelFault faults[MODEL_MAX_FAULTS];
    int fault_count;

    int gone;            // disappeared: takes no bytes until plugged again
    int unplug_request;  // for the daemon: run the unplug now

    std::vector<ModelReply> outbox;
    size_t outbox_head;

    std::vector<std::vector<unsigned char> > flash_pages;
    uint64_t flash_low, flash_high; // written range, [low, high)
    uint64_t flash_bytes;

    std::vector<ModelLogEntry> log;
    uint64_t log_total; // lines ever written; the ring keeps the latest log_capacity
};

// Defaults: any product ID, protocol 1, 256-byte packets, raw data and fill
// allowed, base 0, 64 MiB of flash, version 1.00 for every block.
void ModelInit(DeviceModel* m);
// Clears flash, log, faults, versions, counters and the message state; keeps
// the rest of the configuration.
void ModelReset(DeviceModel* m);

// Bytes the host wrote to the OUT pipe.
void ModelFeed(DeviceModel* m, const unsigned char* data, size_t n);
// Takes the next reply (one IN transfer); 0 when none is waiting.
int ModelTakeReply(DeviceModel* m, ModelReply* out);
// 1 once after an unplug fault fired.
int ModelTakeUnplug(DeviceModel* m);

// Events from the driver's side and from the test bed.
void ModelHostAbort(DeviceModel* m);
void ModelPipeOpened(DeviceModel* m, uint32_t pipe);
void ModelRemoved(DeviceModel* m);
void ModelPlugged(DeviceModel* m);
void ModelNote(DeviceModel* m, const char* text);

// Configuration.
int ModelSetProductId(DeviceModel* m, const unsigned char* pid, int length); // length 0 = any
void ModelSetVersion(DeviceModel* m, unsigned char block_code, unsigned char major, unsigned char minor);
int ModelArmFault(DeviceModel* m, const ModelFault* f); // 0 when the table is full
void ModelClearFaults(DeviceModel* m);

// Flash image: unwritten bytes read as 0xFF. Returns 0 when the range leaves the limit.
int ModelFlashRead(const DeviceModel* m, uint64_t address, unsigned char* out, size_t n);

// Wire log: lines kept (oldest first), and the sequence number of the first.
size_t ModelLogCount(const DeviceModel* m);
const char* ModelLogLine(const DeviceModel* m, size_t i);
uint64_t ModelLogFirstSeq(const DeviceModel* m);

// A readable summary of configuration, state, counters and armed faults.
std::string ModelStatusText(const DeviceModel* m);

// Names of faults and their parts for the command line and the log.
const char* ModelFaultTargetName(int target);
const char* ModelMalformName(int malform);
