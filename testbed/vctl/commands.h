// The daemon's side of the vctl commands that act on the device model.
#pragma once

#include <string>
#include <vector>

#include "devmodel.h"

// Runs one command (its words as vctl got them, without "vctl") against the
// model. Returns 0 on success, 1 on a failure, 2 on a usage error; the text
// for the user goes to out.
int ApplyCommand(DeviceModel* m, const std::vector<std::string>& args, std::string* out);

// Parses a number the C way (decimal, 0x hex, leading 0 octal) that must fill
// the whole word and lie in [0, max].
int ParseNumber(const std::string& word, unsigned long long max, unsigned long long* value);

// "1.05" -> 1, 5.
int ParseVersion(const std::string& word, unsigned* major, unsigned* minor);
