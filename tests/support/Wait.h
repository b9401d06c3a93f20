// Waiting for a condition without fixed sleeps, and the small text check the end-to-end tests
// share. Any thread; each waits on the calling thread only.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/EventLoop.h"

// Waits for bDone, pumping the application's messages when there is an application object, up
// to nTimeoutMs; the last value of bDone.
bool WaitUntil(const std::function<bool()>& bDone, int nTimeoutMs = 10000);
// Pumps loop until bDone holds or 10 s have passed; the last value of bDone.
bool PumpUntil(CEventLoop& loop, const std::function<bool()>& bDone);
// Pumps loop for span.
void PumpFor(CEventLoop& loop, std::chrono::milliseconds span);

inline bool Contains(const std::string& strText, const std::string& strPart) {
    return strText.find(strPart) != std::string::npos;
}
