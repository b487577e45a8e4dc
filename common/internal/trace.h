// SPDX-License-Identifier: MIT
// Trace helpers of the library and the monitor (internal; not installed for other modules).
// The entry and exit lines have fixed texts, so no call site can get their format wrong.
#ifndef KIV_TRACE_H
#define KIV_TRACE_H

#include <stdint.h>
#include <syslog.h>

// True when debug lines pass the log mask: lets a caller skip work that only feeds such a line
// (a system call for an argument, say) while they are hidden.
inline bool TraceShown() { return (setlogmask(0) & LOG_MASK(LOG_DEBUG)) != 0; }

// "start of <what>\n" and "end of <what>\n" at the debug priority.
inline void TraceStart(const char *what) { syslog(LOG_DEBUG, "start of %s\n", what); }
inline void TraceEnd(const char *what) { syslog(LOG_DEBUG, "end of %s\n", what); }

// "start of function ,<file>,<line>,@<function>\n" and its "end of" twin; the pipe library
// logs these at the priority each operation states.
#define TRACE_FUNC_START(pri, fn) syslog((pri), "start of function ,%s,%d,@%s\n", __FILE__, __LINE__, (fn))
#define TRACE_FUNC_END(pri, fn) syslog((pri), "end of function ,%s,%d,@%s\n", __FILE__, __LINE__, (fn))

// Addresses are logged in full pointer width with "0x%lx".
inline unsigned long TraceAddr(const void *p) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)); }
template <typename R, typename... A>
inline unsigned long TraceAddr(R (*fn)(A...)) {
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(fn));
}

#endif
