#include "testkit/fake_d2xx.h"

#include "link/d2xx_queue.h"
#include "link/open_problem.h"

FakeD2xx fakeD2xx;
char fakeDeviceHandle;

std::string d2xxOpenProblem() {
    return fakeD2xx.openProblem;
}

int d2xxQueuedBytes(FT_HANDLE) {
    return fakeD2xx.queued;
}

std::vector<unsigned> fakeWrittenBytes() {
    std::vector<unsigned> bytes;
    for (const FakeD2xxCall& call : fakeD2xx.calls) {
        if (call.name == "write" && call.status == FT_OK) {
            bytes.insert(bytes.end(), call.args.begin() + 1, call.args.end());
        }
    }
    return bytes;
}

extern "C" {

FT_STATUS FT_API FT_OpenEx(void* arg, std::uint32_t flags, FT_HANDLE* handle) {
    fakeD2xx.calls.push_back({"open", static_cast<const char*>(arg), {flags}, nullptr});
    if (fakeD2xx.openStatus == FT_OK) {
        *handle = &fakeDeviceHandle;
    }
    return fakeD2xx.openStatus;
}

FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
    fakeD2xx.calls.push_back({"baud", "", {baudRate}, handle});
    return fakeD2xx.baudStatus;
}

FT_STATUS FT_API FT_SetDataCharacteristics(FT_HANDLE handle, unsigned char wordLength,
                                           unsigned char stopBits, unsigned char parity) {
    fakeD2xx.calls.push_back({"data", "", {wordLength, stopBits, parity}, handle});
    return fakeD2xx.dataStatus;
}

// args: the count, then the bytes.
FT_STATUS FT_API FT_Write(FT_HANDLE handle, void* buffer, std::uint32_t toWrite,
                          std::uint32_t* written) {
    FakeD2xxCall call{"write", "", {toWrite}, handle};
    for (std::uint32_t i = 0; i < toWrite; ++i) {
        call.args.push_back(static_cast<unsigned char*>(buffer)[i]);
    }
    call.status = fakeD2xx.writeStatus;
    if (!fakeD2xx.writeScript.empty()) {
        call.status = fakeD2xx.writeScript.front();
        fakeD2xx.writeScript.erase(fakeD2xx.writeScript.begin());
    }
    fakeD2xx.calls.push_back(call);
    *written = call.status == FT_OK ? toWrite : 0;
    return call.status;
}

FT_STATUS FT_API FT_Close(FT_HANDLE handle) {
    fakeD2xx.calls.push_back({"close", "", {}, handle});
    return FT_OK;
}
}
