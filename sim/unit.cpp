/* SPDX-License-Identifier: MIT */
#include "unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kivsim {

std::string DefaultCardMaster() {
    // Eight card records of 64 bytes: number, holder, validity, state.
    std::string out;
    for (int i = 1; i <= 8; ++i) {
        char rec[128];
        std::snprintf(rec, sizeof rec, "%08d,CARDHOLDER %02d,20270101,20301231,ACTIVE", 41000000 + i, i);
        std::string r(rec);
        r.resize(63, ' ');
        out += r + "\n";
    }
    return out;
}

Unit::Unit(UnitOptions options)
    : options_(std::move(options)),
      supervisor_(records_),
      errlog_(kFifoLog, kModErrLog, records_),
      display_(kFifoDisp, kModDisplay, records_),
      ftp_(kFifoFtp, kModFtp, records_),
      switch_(std::make_unique<TampSwitch>(options_.tampsw, kTampDevice)),
      monitor_(std::make_unique<MonitorProcess>(options_.kivtamp, options_.emulator)) {
    if (options_.syslog != nullptr) {
        syslog_ = options_.syslog;
    } else {
        ownSyslog_ = std::make_unique<SyslogReceiver>("/dev/log");
        syslog_ = ownSyslog_.get();
    }
}

Unit::~Unit() {
    // The monitor first, so it never sees its peers vanish under it.
    if (monitor_->Running()) monitor_->Kill();
    switch_->Stop();
    supervisor_.Sts().Remove();
    supervisor_.Stsp().Remove();
    supervisor_.RemoveCommandPipe();
    errlog_.Remove();
    display_.Remove();
    ftp_.Remove();
    if (createdCardMaster_) unlink(kCardMasterFile);
    // Segments go with segments_; the receiver we bound ourselves goes with ownSyslog_.
}

bool Unit::Fail(const std::string &what) {
    error_ = what;
    if (errno != 0) error_ += std::string(": ") + std::strerror(errno);
    return false;
}

bool Unit::Up() {
    errno = 0;
    if (ownSyslog_ && !ownSyslog_->Start()) return Fail("syslog receiver at /dev/log");
    syslog_->Clear();
    if (options_.segments) {
        if (!segments_.CreateConfig()) return Fail("CONFIG segment");
        if (!segments_.CreateOther()) return Fail("OTHER segment");
        if (!segments_.SetTamperCheck(options_.tamperCheck)) return Fail("CONFIG tamper check byte");
        if (!segments_.SetPairKind(options_.pairKind)) return Fail("OTHER pair kind");
    }
    if (options_.commandPipe) {
        if (!supervisor_.Create()) return Fail("supervisor pipes");
    } else if (!supervisor_.Sts().Create() || !supervisor_.Stsp().Create()) {
        return Fail("supervisor pipes FifoSts, FifoStsp");
    }
    if (options_.readers) {
        if (!errlog_.Create()) return Fail("error-log pipe FifoLog");
        if (!display_.Create()) return Fail("display pipe FifoDisp");
        if (!ftp_.Create()) return Fail("file-transfer pipe FifoFtp");
    }
    for (std::string_view p : {kFifoSts, kFifoStsp, kFifoLog, kFifoDisp, kFifoFtp})
        if (access(PipePath(p).c_str(), F_OK) == 0) order_.Watch(p);
    if (options_.cardMaster && !CreateCardMaster()) return Fail("card master file");
    if (options_.tamperSwitch) {
        if (!switch_->Start()) return Fail("tamper-switch stand-in: " + switch_->Error());
        if (options_.bindSwitch && !switch_->Bind()) return Fail("binding /dev/cr_tampsw: " + switch_->Error());
    }
    return true;
}

bool Unit::StartMonitor(std::optional<std::string> level) {
    errno = 0;
    if (options_.kivtamp.empty()) return Fail("no kivtamp binary given");
    if (access(options_.kivtamp.c_str(), X_OK) != 0) return Fail("kivtamp binary " + options_.kivtamp);
    if (monitor_->Start(std::move(level)) < 0) return Fail("starting kivtamp");
    return true;
}

std::optional<Received> Unit::WaitForWakeup(Ms timeout, uint64_t since) {
    return records_.WaitRecord(kFifoStsp, 600, timeout, since);
}

std::optional<Received> Unit::Boot(std::optional<std::string> level) {
    if (!Up() || !StartMonitor(std::move(level))) return std::nullopt;
    auto wake = WaitForWakeup();
    if (!wake) Fail("no wake-up notification on FifoStsp");
    return wake;
}

bool Unit::Send(int cmd, unsigned char data0) {
    errno = 0;
    return supervisor_.Send(cmd, data0) || Fail("sending command " + std::to_string(cmd));
}

bool Unit::SendRaw(std::string_view bytes) {
    errno = 0;
    return supervisor_.SendRaw(bytes) || Fail("writing to FifoTamp");
}

std::optional<Received> Unit::ChangeSetting(unsigned char data0, Ms timeout) {
    uint64_t mark = Mark();
    if (!Send(901, data0)) return std::nullopt;
    return records_.WaitRecord(kFifoSts, 621, timeout, mark);
}

std::optional<Received> Unit::WakeUp(Ms timeout) {
    uint64_t mark = Mark();
    if (!Send(902, 0)) return std::nullopt;
    return records_.WaitRecord(kFifoStsp, 600, timeout, mark);
}

std::optional<ExitStatus> Unit::Terminate(unsigned char data0, Ms timeout) {
    if (!Send(900, data0)) return std::nullopt;
    auto status = monitor_->Wait(timeout);
    if (!status) {
        errno = 0;
        Fail("kivtamp did not exit after the terminate command");
        return status;
    }
    SyncReaders();
    syslog_->Sync();
    return status;
}

bool Unit::Inject(unsigned char event) {
    errno = 0;
    return switch_->Inject(event) || Fail("injecting a switch event: " + switch_->Error());
}

std::optional<Received> Unit::WaitRecord(std::string_view pipe, int cmd, Ms timeout, uint64_t since) {
    return records_.WaitRecord(pipe, cmd, timeout, since);
}

void Unit::SyncReaders() {
    for (PipeReader *r : {&supervisor_.Sts(), &supervisor_.Stsp(), &errlog_, &display_, &ftp_}) r->Sync();
}

bool Unit::Barrier(Ms timeout) {
    if (!ChangeSetting(0, timeout)) {
        errno = 0;
        return Fail("no 621 reply to the barrier command");
    }
    SyncReaders();
    syslog_->Sync();
    return true;
}

std::vector<std::string> Unit::WriteOrder(size_t atLeast, Ms timeout) { return order_.Names(atLeast, timeout); }

bool Unit::CardMasterExists() const { return access(kCardMasterFile, F_OK) == 0; }

bool Unit::CreateCardMaster(std::string_view content) {
    std::string data = content.empty() ? DefaultCardMaster() : std::string(content);
    int fd = open(kCardMasterFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    close(fd);
    createdCardMaster_ = true;
    return ok;
}

bool Unit::RemovePeer(std::string_view pipe) {
    PipeReader *r = Reader(pipe);
    if (r == nullptr) return false;
    r->Remove();
    return true;
}

bool Unit::RestorePeer(std::string_view pipe) {
    PipeReader *r = Reader(pipe);
    errno = 0;
    if (r == nullptr || !r->Recreate()) return Fail("recreating " + std::string(pipe));
    // A new pipe is a new inode: watch it again.
    order_.Watch(pipe);
    return true;
}

PipeReader *Unit::Reader(std::string_view pipe) {
    for (PipeReader *r : {&supervisor_.Sts(), &supervisor_.Stsp(), &errlog_, &display_, &ftp_})
        if (r->Name() == pipe) return r;
    return nullptr;
}

} // namespace kivsim
