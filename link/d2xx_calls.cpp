#include "link/d2xx_calls.h"

#include "process/signals.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace {

enum class CallKind { Open, Baud, Data, Write, Close };

struct Call {
    CallKind kind = CallKind::Close;
    FT_HANDLE handle = nullptr;
    std::uint32_t value = 0; // open: the flags; baud: the rate; data: its three bytes
    std::string bytes;       // open: the description; write: the bytes
    // What it returned.
    FT_STATUS status = FT_OK;
    std::uint32_t written = 0;
    FT_HANDLE opened = nullptr;
};

bool sameCall(const Call& a, const Call& b) {
    return a.kind == b.kind && a.handle == b.handle && a.value == b.value && a.bytes == b.bytes;
}

// Handed: a call waits for the thread. Inside: the thread is in the library
// with it. Returned: it came back with nobody waiting; what it returned is kept.
enum class Phase { Idle, Handed, Inside, Returned };

struct D2xxCalls {
    std::mutex mutex;
    std::condition_variable changed;
    D2xxEntryPoints entries = {};
    bool threadStarted = false;
    Phase phase = Phase::Idle;
    Call call;
    bool closeQueued = false; // a close asked for while the call ran on
    FT_HANDLE closeAfter = nullptr;
};

// Never destroyed: the thread may still be inside the library, and use it,
// while the process ends.
D2xxCalls& calls = *new D2xxCalls;

void make(const D2xxEntryPoints& entries, Call& call) {
    switch (call.kind) {
    case CallKind::Open:
        call.status = entries.openEx(&call.bytes[0], call.value, &call.opened);
        break;
    case CallKind::Baud:
        call.status = entries.setBaudRate(call.handle, call.value);
        break;
    case CallKind::Data:
        call.status = entries.setDataCharacteristics(
            call.handle, call.value & 0xFF, (call.value >> 8) & 0xFF, (call.value >> 16) & 0xFF);
        break;
    case CallKind::Write:
        call.written = 0;
        call.status = entries.write(call.handle, &call.bytes[0],
                                    static_cast<std::uint32_t>(call.bytes.size()), &call.written);
        break;
    case CallKind::Close:
        call.status = entries.close(call.handle);
        break;
    }
}

void runCalls() {
    std::unique_lock<std::mutex> lock(calls.mutex);
    for (;;) {
        calls.changed.wait(lock, [] { return calls.phase == Phase::Handed; });
        calls.phase = Phase::Inside;
        Call call = calls.call;
        const D2xxEntryPoints entries = calls.entries;
        lock.unlock();
        make(entries, call);
        lock.lock();
        while (calls.closeQueued) {
            calls.closeQueued = false;
            const FT_HANDLE handle = calls.closeAfter;
            lock.unlock();
            entries.close(handle);
            lock.lock();
        }
        calls.call = call;
        calls.phase = Phase::Returned;
        setLibraryCallLeftRunning(false);
        calls.changed.notify_all();
    }
}

// Starts the thread once; false if the system has none to give.
bool threadStarted() {
    if (!calls.threadStarted) {
        try {
            std::thread(runCalls).detach();
            calls.threadStarted = true;
        } catch (const std::system_error&) {
        }
    }
    return calls.threadStarted;
}

// What a call that is not made, or not waited for, reports.
void refuse(Call& call) {
    call.status = call.kind == CallKind::Open ? FT_DEVICE_NOT_OPENED : FT_IO_ERROR;
    call.written = 0;
}

// Makes the call on the thread, or takes what the same call that ran on
// returned, and waits up to waitNs; call then holds what it returned.
void perform(Call& call, std::int64_t waitNs) {
    std::unique_lock<std::mutex> lock(calls.mutex);
    if (calls.phase == Phase::Returned) {
        calls.phase = Phase::Idle;
        if (sameCall(calls.call, call)) {
            call = calls.call;
            return;
        }
        if (calls.call.kind == CallKind::Open && calls.call.status == FT_OK) {
            // Nobody has that device's handle: it is closed before anything else.
            Call close;
            close.handle = calls.call.opened;
            lock.unlock();
            perform(close, kD2xxSettingWaitNs);
            lock.lock();
        }
    }
    if (calls.phase == Phase::Idle) {
        if (!threadStarted()) {
            refuse(call);
            return;
        }
        calls.call = call;
        calls.phase = Phase::Handed;
        calls.changed.notify_all();
    } else if (!sameCall(calls.call, call)) {
        if (call.kind == CallKind::Close && !calls.closeQueued) {
            calls.closeQueued = true;
            calls.closeAfter = call.handle;
            call.status = FT_OK;
        } else {
            refuse(call);
        }
        return;
    }
    if (calls.changed.wait_for(lock, std::chrono::nanoseconds(waitNs),
                               [] { return calls.phase == Phase::Returned; })) {
        calls.phase = Phase::Idle;
        call = calls.call;
        return;
    }
    setLibraryCallLeftRunning(true);
    refuse(call);
}

} // namespace

void setD2xxEntryPoints(const D2xxEntryPoints& entries) {
    const std::lock_guard<std::mutex> lock(calls.mutex);
    calls.entries = entries;
}

FT_STATUS callOpenEx(void* description, std::uint32_t flags, FT_HANDLE* handle) {
    Call call;
    call.kind = CallKind::Open;
    call.value = flags;
    call.bytes = static_cast<const char*>(description);
    perform(call, kD2xxWriteWaitNs);
    if (call.status == FT_OK) {
        *handle = call.opened;
    }
    return call.status;
}

FT_STATUS callSetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
    Call call;
    call.kind = CallKind::Baud;
    call.handle = handle;
    call.value = baudRate;
    perform(call, kD2xxSettingWaitNs);
    return call.status;
}

FT_STATUS callSetDataCharacteristics(FT_HANDLE handle, unsigned char wordLength,
                                     unsigned char stopBits, unsigned char parity) {
    Call call;
    call.kind = CallKind::Data;
    call.handle = handle;
    call.value = wordLength | stopBits << 8 | static_cast<std::uint32_t>(parity) << 16;
    perform(call, kD2xxSettingWaitNs);
    return call.status;
}

FT_STATUS callWrite(FT_HANDLE handle, void* buffer, std::uint32_t toWrite, std::uint32_t* written) {
    Call call;
    call.kind = CallKind::Write;
    call.handle = handle;
    call.bytes.assign(static_cast<const char*>(buffer), toWrite);
    perform(call, kD2xxWriteWaitNs);
    if (written != nullptr) {
        *written = call.written;
    }
    return call.status;
}

FT_STATUS callClose(FT_HANDLE handle) {
    Call call;
    call.handle = handle;
    perform(call, kD2xxSettingWaitNs);
    return call.status;
}
