#include "tests/support/Wait.h"

#include <thread>

#include "platform/EventLoop.h"
#include "platform/MessagePump.h"

namespace {
using Clock = std::chrono::steady_clock;

bool PumpWhile(CEventLoop* pLoop, const std::function<bool()>& bGoOn, Clock::time_point end) {
    while (bGoOn()) {
        if (Clock::now() > end) return false;
        if (pLoop != nullptr) {
            if (pLoop->Pump(CEventLoop::kPumpLimit) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            if (CMessagePump* pPump = CMessagePump::Current()) pPump->Pump(CEventLoop::kPumpLimit);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return true;
}
}  // namespace

bool WaitUntil(const std::function<bool()>& bDone, int nTimeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
    return PumpWhile(
               nullptr, [&] { return !bDone(); }, end) ||
           bDone();
}

bool PumpUntil(CEventLoop& loop, const std::function<bool()>& bDone) {
    return PumpWhile(
               &loop, [&] { return !bDone(); }, Clock::now() + std::chrono::seconds(10)) ||
           bDone();
}

void PumpFor(CEventLoop& loop, std::chrono::milliseconds span) {
    PumpWhile(
        &loop, [] { return true; }, Clock::now() + span);
}
