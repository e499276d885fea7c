// A recording D2XX library for tests of the transmitter link: every call is
// kept, and the statuses it returns can be set.
#pragma once

#include "link/d2xx.h"

#include <string>
#include <vector>

struct FakeD2xxCall {
    std::string name; // "open", "baud", "data", "write", "close"
    std::string text; // open: the description
    std::vector<unsigned> args;
    FT_HANDLE handle;
    FT_STATUS status = FT_OK;
};

struct FakeD2xx {
    std::vector<FakeD2xxCall> calls;
    FT_STATUS openStatus = FT_OK; // what the next open attempts return
    FT_STATUS baudStatus = FT_OK;
    FT_STATUS dataStatus = FT_OK;
    FT_STATUS writeStatus = FT_OK;
    std::vector<FT_STATUS> writeScript; // what the next writes return, before writeStatus
    std::string openProblem;            // what d2xxOpenProblem() says
    int queued = 0;                     // what d2xxQueuedBytes() says
};

extern FakeD2xx fakeD2xx;

// The handle a successful fake open gives.
extern char fakeDeviceHandle;

// The bytes of every write call that succeeded, in order.
std::vector<unsigned> fakeWrittenBytes();
