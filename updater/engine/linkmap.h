// The dispatch's fixed rules, as pure functions.
#pragma once

// The transport row that a link selector reaches: 0, 1 or 2, any other value 3.
int LinkRow(int link_type);

// How the kernel MIDI row sends for a TxMode: 0 as events, 1 as events with
// the raw-data marker behind them, 2 as raw bytes, -1 not at all (unknown mode).
int KernelSendKind(int mode);

// Turn a transport's result into 1 or 0 with the fixed text (err is only
// written on failure; an aborted receive writes nothing).
int MapSendResult(int transport_result, char* err);
int MapReceiveResult(int transport_result, char* err);
