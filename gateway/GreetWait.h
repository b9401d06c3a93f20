// CGreetWait: the talk-first test for one client. A client that is to be relayed first waits
// GreetWait seconds in silence before the gateway opens its channel: the mail server's greeting
// is what an SMTP client must wait for, so a client that sends anything meanwhile has not waited
// for one (many spam bots do not). The wait is a deadline on the listener's loop; while it runs
// the client is watched for reading, and the first block it sends ends the wait at once.
//
// Owned by the client connection while it waits (CClientSocket), on the listener thread; it
// holds a deadline and a continuation, nothing per byte. The connection calls Read whenever it
// is readable and Ended when its peer closes. The outcome goes once to the continuation: Waited
// (the time passed in silence), Spoke with the block received (its owner decides whether that is
// a monitor's identification, which is not talking first), or Left (the peer closed or the
// receive failed). The continuation runs last and may destroy the wait.
//
// The screening goes on meanwhile; a verdict that lets the client be relayed before the wait has
// passed is held here (HoldVerdict) until it has.
#pragma once

#include <functional>
#include <string>

#include "platform/AsyncSocket.h"
#include "platform/LoopDeadline.h"

enum class EGreetOutcome { Waited, Spoke, Left };

class CGreetWait {
public:
    static constexpr const char* kTalkedFirstLine =
        "550 - Tarnwick: Protocol Error. Your Server Talked Before the Greeting\n";
    using Done = std::function<void(EGreetOutcome eOutcome, std::string strBlock)>;

    explicit CGreetWait(Done onDone) : m_onDone(std::move(onDone)) {}

    // Starts the wait on the calling thread's loop; false without a loop (the wait is then over
    // at once, and Done is not called).
    bool Start(int nWaitMs);
    // One receive from the socket: a block ends the wait.
    void Read(CAsyncSocket& socket);
    // The peer closed (or reset) during the wait.
    void Ended() { Finish(EGreetOutcome::Left, std::string()); }

    void HoldVerdict() { m_bVerdictHeld = true; }
    bool IsVerdictHeld() const { return m_bVerdictHeld; }

private:
    void Finish(EGreetOutcome eOutcome, std::string strBlock);

    CLoopDeadline m_deadline;
    Done m_onDone;
    bool m_bVerdictHeld = false;
};

// The block opens with a whole line whose first word is exactly "MONITOR" (a monitor's
// identification, as the first block of a relay reads it).
bool IsMonitorIdentification(const std::string& strBlock);
