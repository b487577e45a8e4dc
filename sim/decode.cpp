/* SPDX-License-Identifier: MIT */
#include "decode.h"

#include <cstdio>

namespace kivsim {

namespace {

struct ModuleEntry {
    int id;
    const char *name;
};
constexpr ModuleEntry kModules[] = {
    {10, "kivlog"}, {11, "kivftp"}, {20, "kivdisp"}, {53, "kivtamp"}, {80, "kivsts"},
};

std::string Hex(unsigned char b) {
    char t[8];
    std::snprintf(t, sizeof t, "0x%02x", b);
    return t;
}

// Three ASCII digits as a number, -1 when they are not digits.
int Digits(std::string_view t) {
    if (t.size() != 3) return -1;
    int v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::string CommandName(int cmd) {
    switch (cmd) {
    case 54: return "error log";
    case 151: return "display message";
    case 600: return "wake-up complete";
    case 605: return "terminate complete";
    case 609: return "error status";
    case 621: return "setting-changed reply";
    case 631: return "stop-module request";
    case 900: return "terminate";
    case 901: return "setting changed";
    case 902: return "wake up";
    default: return "unknown command";
    }
}

std::string StatusText(std::string_view s) {
    std::string out = "\"" + Printable(s) + "\"";
    if (s == "000") out += " (success)";
    else if (s == "001") out += " (failure)";
    return out;
}

// What follows the fields: normally nothing but spaces.
std::string Rest(std::string_view data, size_t from) {
    if (data.size() < kDataSize) return "record is short: " + std::to_string(data.size() + 6) + " bytes";
    size_t odd = 0;
    for (size_t i = from; i < data.size(); ++i)
        if (data[i] != ' ') ++odd;
    std::string range = "bytes " + std::to_string(from) + "-" + std::to_string(data.size() - 1) + ": ";
    if (odd == 0) return range + "all spaces";
    return range + std::to_string(odd) + " non-space byte(s)";
}

} // namespace

std::string ModuleName(int id) {
    for (const ModuleEntry &m : kModules)
        if (m.id == id) return std::string(m.name) + "(" + std::to_string(id) + ")";
    return "module " + std::to_string(id);
}

std::string PipeOwner(std::string_view pipe) {
    if (pipe == kFifoSts || pipe == kFifoStsp) return ModuleName(kModSupervisor);
    if (pipe == kFifoLog) return ModuleName(kModErrLog);
    if (pipe == kFifoDisp) return ModuleName(kModDisplay);
    if (pipe == kFifoFtp) return ModuleName(kModFtp);
    if (pipe == kFifoTamp) return ModuleName(kModMonitor);
    return "?";
}

std::string Printable(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7f && b != '\\') {
            out += c;
        } else {
            char t[8];
            std::snprintf(t, sizeof t, "\\x%02x", b);
            out += t;
        }
    }
    return out;
}

std::string_view PriorityName(int pri) {
    static constexpr std::string_view names[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
    if (pri < 0 || pri > 7) return "?";
    return names[pri];
}

std::string DescribeRecord(const Received &r) {
    int mod = Digits(r.ModText());
    int cmd = Digits(r.CmdText());
    std::string sender = mod >= 0 ? ModuleName(mod) : "\"" + Printable(r.ModText()) + "\"";
    std::string out = sender + " -> " + r.pipe + " (" + PipeOwner(r.pipe) + ")  ";
    out += cmd >= 0 ? std::string(r.CmdText()) + " " + CommandName(cmd) : "command \"" + Printable(r.CmdText()) + "\"";
    return out;
}

std::vector<std::string> DescribeFields(const Received &r) {
    std::vector<std::string> f;
    std::string_view d = r.Data();
    int cmd = Digits(r.CmdText());
    auto at = [&](size_t pos, size_t n) { return pos < d.size() ? d.substr(pos, n) : std::string_view(); };
    auto byte = [&](size_t pos) -> unsigned char { return pos < d.size() ? static_cast<unsigned char>(d[pos]) : 0; };
    switch (cmd) {
    case 600:
        f.push_back("status " + StatusText(at(0, 3)));
        f.push_back("tag \"" + Printable(at(3, 4)) + "\"");
        f.push_back(Rest(d, 7));
        break;
    case 605:
        f.push_back("status " + StatusText(at(0, 3)));
        f.push_back(Rest(d, 3));
        break;
    case 609:
        f.push_back("byte 0: " + Hex(byte(0)) + " (error kind " + std::to_string(byte(0) - 4) + " + 4)");
        f.push_back("byte 1: " + Hex(byte(1)) + " (error value " + std::to_string(byte(1)) + ")");
        f.push_back(Rest(d, 2));
        break;
    case 621:
        f.push_back(Rest(d, 0));
        break;
    case 54: {
        std::string_view date = at(0, 8);
        std::string_view time = at(8, 6);
        std::string when = date.size() == 8 && time.size() == 6
                               ? std::string(date.substr(0, 4)) + "-" + std::string(date.substr(4, 2)) + "-" +
                                     std::string(date.substr(6, 2)) + " " + std::string(time.substr(0, 2)) + ":" +
                                     std::string(time.substr(2, 2)) + ":" + std::string(time.substr(4, 2))
                               : "?";
        f.push_back("date \"" + Printable(date) + "\"  time \"" + Printable(time) + "\"  (" + when + ")");
        f.push_back("byte 14: error code " + Hex(byte(14)) + " (" + std::to_string(byte(14)) + ")");
        f.push_back("byte 15: kind " + Hex(byte(15)) + (byte(15) == 1 ? " (tamper)" : ""));
        f.push_back(Rest(d, 16));
        break;
    }
    case 151: {
        size_t end = d.find_last_not_of(' ');
        std::string_view text = end == std::string_view::npos ? std::string_view() : d.substr(0, end + 1);
        f.push_back("message \"" + Printable(text) + "\"");
        f.push_back(Rest(d, text.size()));
        break;
    }
    case 631:
        f.push_back("module to stop " + Printable(at(0, 3)) +
                    (Digits(at(0, 3)) >= 0 ? " = " + ModuleName(Digits(at(0, 3))) : std::string()));
        f.push_back(Rest(d, 3));
        break;
    case 900:
    case 901:
    case 902:
        f.push_back("data[0] " + Hex(byte(0)));
        f.push_back(Rest(d, 1));
        break;
    default:
        f.push_back("data \"" + Printable(at(0, 16)) + "\"...");
        break;
    }
    if (r.bytes.size() != kRecordSize) f.push_back("read returned " + std::to_string(r.bytes.size()) + " bytes");
    return f;
}

std::string DescribeLogLine(const LogLine &l) {
    std::string text = l.text;
    bool newline = !text.empty() && text.back() == '\n';
    if (newline) text.pop_back();
    std::string out = "<" + std::to_string(l.pri) + " " + std::string(PriorityName(l.pri)) + "> " + l.ident + "[" +
                      std::to_string(l.pid) + "]: " + Printable(text);
    if (!newline) out += "   [no final newline]";
    return out;
}

} // namespace kivsim
