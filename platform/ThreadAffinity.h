// Thread affinity, asserted: an object that must be used on one thread records that thread and
// checks it in every operation that must run there. A call from any other thread is a fault in
// the program, never a condition to handle: it is named on standard error and the process
// aborts, in every build, so that it shows in the first test that makes it.
#pragma once

#include <thread>

class CThreadAffinity {
public:
    // Owned by the constructing thread.
    CThreadAffinity() = default;

    bool IsOwner() const { return std::this_thread::get_id() == m_owner; }
    // Aborts, naming pWhat, unless the caller runs on the owning thread.
    void Assert(const char* pWhat) const {
        if (!IsOwner()) Fail(pWhat);
    }

private:
    [[noreturn]] static void Fail(const char* pWhat);

    std::thread::id m_owner = std::this_thread::get_id();
};
