// SPDX-License-Identifier: MIT
// Rendering of records and syslog lines for people (the demo timeline and the shell). Tests never
// use it to check bytes: they write the expected bytes themselves.
#ifndef KIVSIM_DECODE_H
#define KIVSIM_DECODE_H

#include <string>
#include <string_view>
#include <vector>

#include "peers.h"
#include "syslog_receiver.h"

namespace kivsim {

// "kivtamp(53)", or "module 81" for an id outside the table.
std::string ModuleName(int id);
// The module that reads the pipe: "kivsts(80)" for FifoSts.
std::string PipeOwner(std::string_view pipe);
// Printable form of raw bytes: text as it is, other bytes as \xNN.
std::string Printable(std::string_view bytes);
// Priority name: 6 -> "info", 7 -> "debug".
std::string_view PriorityName(int pri);

// One-line summary: sender -> receiver pipe, command and its meaning.
std::string DescribeRecord(const Received &r);
// The fields of the record's data area by command, one per line.
std::vector<std::string> DescribeFields(const Received &r);
// "<6 info> KIVTAMP[12]: Terminate reBoot" (a missing final newline is pointed out).
std::string DescribeLogLine(const LogLine &l);

} // namespace kivsim

#endif
