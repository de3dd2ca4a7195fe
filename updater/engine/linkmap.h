// The dispatch's fixed rules, as pure functions.
#pragma once

// The transport row that a link selector reaches: 0, 1 or 2, any other value 3.
int LinkRow(int link_type);

// Turn a transport's result into 1 or 0 with the fixed text (err is only
// written on failure; an aborted receive writes nothing).
int MapSendResult(int transport_result, char* err);
int MapReceiveResult(int transport_result, char* err);
